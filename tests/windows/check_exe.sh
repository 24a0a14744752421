#!/usr/bin/env bash
# The real exe imports KERNEL32.dll alone, no object of the program has a
# static initializer (the exe has no C runtime start-up to run one), and its
# zero-filled statics take no room in the file.
set -u
build=${1:?windows build folder}
objdump=x86_64-w64-mingw32-objdump
exe=$build/sectorsweep.exe
passed=0 failed=0
check() { if eval "$2"; then passed=$((passed + 1)); else echo "FAIL: $1"; failed=$((failed + 1)); fi; }

imports=$($objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
check "static imports are '$imports', expected 'KERNEL32.dll '" '[ "$imports" = "KERNEL32.dll " ]'
entry=$($objdump -f "$exe" | sed -n 's/^start address //p')
check "the exe has an entry point" '[ -n "$entry" ]'
subsystem=$($objdump -p "$exe" | sed -n 's/^Subsystem\s*//p')
check "subsystem is '$subsystem', expected a console program" '[[ "$subsystem" == 00000003* ]]'
for object in $(find "$build/CMakeFiles/sectorsweep.dir" -name '*.obj'); do
  sections=$($objdump -h "$object" | awk '{print $2}' | grep -E '^\.(ctors|init_array|CRT\$XC)' || true)
  check "$object has static initializers ($sections)" '[ -z "$sections" ]'
done
bss=$($objdump -h "$exe" | awk '$2 == ".bss" { getline; print }')
check ".bss is '$bss', expected a section that is not in the file" '[[ "$bss" == *ALLOC* && "$bss" != *CONTENTS* ]]'
data=$(mktemp)
x86_64-w64-mingw32-objcopy -O binary --only-section=.data "$exe" "$data"
zeros=$(od -An -v -tx1 "$data" | tr -s ' ' '\n' | awk '$1 == "00" { if (++run > most) most = run; next } { run = 0 } END { print most + 0 }')
rm -f "$data"
check ".data holds $zeros zero bytes in a row: a zero-filled buffer outside .bss" '[ "$zeros" -lt 32 ]'
size=$(stat -c %s "$exe")
echo "sectorsweep.exe: $size bytes"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
