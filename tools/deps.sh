#!/usr/bin/env bash
# Installs the Debian packages of the groups named as arguments (see
# tools/deps.list) that are not installed yet. Packages with an ":i386"
# suffix enable the i386 architecture first.
set -euo pipefail
list="$(dirname "$0")/deps.list"

wanted=()
for group in "$@"; do
  line=$(grep -E "^$group:" "$list") || { echo "deps.sh: no group '$group' in $list" >&2; exit 2; }
  read -r -a packages <<<"${line#*:}"
  wanted+=("${packages[@]}")
done

missing=()
for pkg in $(printf '%s\n' "${wanted[@]}" | sort -u); do
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
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >&2
