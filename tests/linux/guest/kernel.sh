#!/usr/bin/env bash
# Debian's own kernel for the guest, never installed: the package that
# linux-image-amd64 names, downloaded once into CACHE and unpacked; kept are the
# kernel and the modules asked for with what they depend on, in load order.
#   tests/linux/guest/kernel.sh CACHE MODULE...   prints CACHE/<package>, with
#                                                 vmlinuz, modules/ and modules.order
# Without a package list entry (no network yet) the newest kernel in CACHE is used.
set -euo pipefail
cache=$(mkdir -p "$1" && cd "$1" && pwd)
shift
roots=("$@")

package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' |
  head -1) || true
if [ -z "$package" ]; then
  deb=$(find "$cache" -maxdepth 1 -name 'linux-image-*.deb' 2>/dev/null | sort -V | tail -1)
  [ -n "$deb" ] || { echo "no linux-image-amd64 in the package lists and nothing cached in $cache" >&2 && exit 1; }
  package=$(basename "$deb" .deb)
fi
kept=$cache/$package
deb=$cache/$package.deb
if [ -f "$kept/modules.order" ] && [ "$(cat "$kept/roots" 2>/dev/null)" = "${roots[*]}" ]; then
  echo "$kept"
  exit 0
fi

work=$(mktemp -d "$cache/unpack.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ ! -f "$deb" ]; then
  # apt-get download writes into the current folder; as root it warns that its
  # sandbox user cannot write there, which is harmless.
  if ! (cd "$work" && apt-get download -q "$package" >download.log 2>&1); then
    # A package list older than the mirror names a kernel no longer there.
    apt-get update -qq >/dev/null 2>&1 || true
    (cd "$work" && apt-get download -q "$package" >download.log 2>&1) || { cat "$work/download.log" >&2 && exit 1; }
  fi
  mv "$work"/"$package"_*.deb "$deb"
fi
dpkg -x "$deb" "$work/root"
moddir=$(echo "$work"/root/lib/modules/*)
mkdir -p "$work/kept/modules"
cp "$work"/root/boot/vmlinuz-* "$work/kept/vmlinuz"

# The modules in load order: each after its dependencies (the depends= entry of
# the module's .modinfo section; the package carries no modules.dep).
declare -A file_of=() placed=()
while IFS= read -r file; do
  name=${file##*/}
  name=${name%.ko}
  file_of[${name//-/_}]=$file
done < <(find "$moddir/kernel" -name '*.ko')
order=()
place() {
  local key=${1//-/_} dep
  [ -z "${placed[$key]:-}" ] || return 0
  local file=${file_of[$key]:-}
  [ -n "$file" ] || { echo "module $1 is not in $package" >&2 && return 1; }
  placed[$key]=1
  for dep in $(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | head -1 | tr ',' ' '); do
    place "$dep"
  done
  cp "$file" "$work/kept/modules/"
  file=${file##*/}
  order+=("${file%.ko}")
}
for root in "${roots[@]}"; do place "$root"; done
printf '%s\n' "${order[@]}" >"$work/kept/modules.order"
echo "${roots[*]}" >"$work/kept/roots"
rm -rf "$kept"
mv "$work/kept" "$kept"
# Kernels the metapackage named before are not used again.
find "$cache" -mindepth 1 -maxdepth 1 -name 'linux-image-*' ! -name "$package" ! -name "$package.deb" -exec rm -rf {} +
echo "$kept"
