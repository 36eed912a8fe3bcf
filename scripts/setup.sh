#!/usr/bin/env bash
# Installs the system packages the build, the tests and the tools need, only
# when one is missing. Quiet and quick when everything is there.
#
#   scripts/setup.sh [PACKAGE...]   # the packages named are installed as well
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache
  zlib1g-dev libgtest-dev googletest
  libtcc-dev tcc
  clang libclang-rt-14-dev
  libarchive-tools libarchive-dev libcli11-dev nlohmann-json3-dev
  pigz tabix
  libisal-dev isal
  clang-tidy cppcheck valgrind
  help2man groff-base man-db dpkg-dev file python3
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
