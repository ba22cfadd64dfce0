#!/usr/bin/env bash
# Installs the Debian packages of the groups named as arguments (see
# tools/deps.list) that are not installed yet. Packages with an ":i386"
# suffix enable the i386 architecture first, and are left out where the
# kernel runs no 32-bit programs.
set -euo pipefail
list="$(dirname "$0")/deps.list"

wanted=()
for group in "$@"; do
  line=$(grep -E "^$group:" "$list") || { echo "deps.sh: no group '$group' in $list" >&2; exit 2; }
  read -r -a packages <<<"${line#*:}"
  wanted+=("${packages[@]}")
done

# 32-bit packages serve only 32-bit Wine, which needs a kernel that runs
# 32-bit programs; elsewhere the 64-bit Wine runs the tests without them.
runs_i386=true
"$(dirname "$0")/runs-i386.sh" || runs_i386=false

missing=()
for pkg in $(printf '%s\n' "${wanted[@]}" | sort -u); do
  [[ $pkg == *:i386 && $runs_i386 == false ]] && continue
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
  ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}" >&2
# A mirror caught mid-sync fails an index now and then: try again, then go on
# with the indexes there are.
for attempt in 1 2 3; do
  "${sudo[@]}" apt-get update -qq && break
  sleep 10
done
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >&2
