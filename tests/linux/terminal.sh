#!/usr/bin/env bash
# The status line on a real terminal (a tmux pane): it is rewritten in place on
# one row, that row is cleared for the summary at the end, and after a Ctrl+C
# typed at the terminal the message follows on a row of its own.
# shellcheck source=tests/linux/testlib.sh
. "$(dirname "$0")/testlib.sh"

image=$out/disk.img
devices_image "$image" 16M pattern
keep_image "$image"
# Every read is slow: the pass lasts a few seconds, chunk after chunk.
served=$(devices_faultfs "$image" "slow 0+16M 600")
dev=$(devices_loop "$served")

socket=sectorsweep-test-$$
_devices_push tmux -L "$socket" kill-server
pane() { tmux -L "$socket" capture-pane -p -t "$1"; }

# watch_pass SESSION ARGS [AT]: runs the program with ARGS in a pane of its own,
# 100 by 12, kept after it ends; every 0.2 s until then notes the rows that hold
# a status line; types Ctrl+C when AT tenths of the 30 s allowed are left.
watch_pass() {
  local session=$1 arguments=$2 at=${3:-} tenths=300
  printf '"%s" %s\necho "EXIT=$?"\nsleep 600\n' "$SECTORSWEEP" "$arguments" >"$out/$session.sh"
  tmux -L "$socket" new-session -d -s "$session" -x 100 -y 12 "exec bash $out/$session.sh"
  : >"$out/$session.rows"
  until pane "$session" | grep '^EXIT=' >/dev/null; do
    pane "$session" | grep -n 'ETA' | cut -d: -f1 | tr '\n' ' ' >>"$out/$session.rows"
    echo >>"$out/$session.rows"
    [ "$tenths" -gt 0 ] || break
    tenths=$((tenths - 2))
    sleep 0.2
    [ "$tenths" != "$at" ] || tmux -L "$socket" send-keys -t "$session" C-c
  done
  pane "$session" >"$out/$session.pane"
}

watch_pass plain "$dev -r"
status_rows=$(grep -v '^$' "$out/plain.rows" | sort -u)
[ "$(wc -l <<<"$status_rows")" = 1 ] && [ "$(wc -w <<<"$status_rows")" = 1 ] ||
  fail "the status line stood on rows: $(tr '\n' '|' <<<"$status_rows")"
[ "$(grep -vc '^$' "$out/plain.rows")" -ge 5 ] || fail "fewer than five looks at a running pass"
row=$((status_rows))
grep -q ETA "$out/plain.pane" && fail "a status line is left at the end"
sed -n "${row}p" "$out/plain.pane" | grep -E '^17 MB  \([0-9.]+ MB/s\)  -   ?[0-9]+\.[0-9] seconds$' >/dev/null ||
  fail "the summary is not on the status row: $(sed -n "${row}p" "$out/plain.pane")"
[ "$(sed -n "$((row + 1)),$((row + 2))p" "$out/plain.pane" | tr '\n' '|')" = "ok|EXIT=0|" ] ||
  fail "ok and exit code 0 do not follow the summary"

# Ctrl+C typed while the pass runs, about a second in.
watch_pass stopped "$dev -r" 290
row=$(grep -n 'ETA' "$out/stopped.pane" | cut -d: -f1)
[ -n "$row" ] || fail "no status line left after Ctrl+C"
[ "$(sed -n "$((row + 1)),$((row + 3))p" "$out/stopped.pane" | tr '\n' '|')" = "Ctrl+C pressed -> abort||EXIT=7|" ] ||
  fail "the stop is not reported below the status line: $(tr '\n' '|' <"$out/stopped.pane")"
