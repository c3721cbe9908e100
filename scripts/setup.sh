#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent and
# quiet: when everything is present it prints nothing and touches nothing.
set -euo pipefail

packages=(
  build-essential cmake make pkg-config ccache git
  clang clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev libfmt-dev libicu-dev libcurl4-openssl-dev libssl-dev openssl
)
# Later layers append their packages here (extra lists under scripts/packages.d).
here=$(cd "$(dirname "$0")" && pwd)
if [ -d "$here/packages.d" ]; then
  for list in "$here"/packages.d/*.txt; do
    [ -e "$list" ] || continue
    while read -r p _; do
      [ -n "$p" ] && [ "${p#\#}" = "$p" ] && packages+=("$p")
    done <"$list"
  done
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
