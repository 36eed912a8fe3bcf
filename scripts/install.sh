#!/usr/bin/env bash
# Builds the release simulator and installs it under PREFIX (default
# ~/.local): PREFIX/bin/upgsim, its manual page, the script header
# PREFIX/include/upgsim/upgrade_builtins.h and PREFIX/share/upgsim/examples/.
#   scripts/install.sh [PREFIX]
set -euo pipefail

# A relative PREFIX is taken from the caller's folder.
prefix="$(realpath -m "${1:-$HOME/.local}")"
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target upgsim upgsim_install_files
cmake --install build/release --prefix "$prefix"

echo "install: upgsim is $prefix/bin/upgsim"
case ":$PATH:" in
*":$prefix/bin:"*) ;;
*) echo "install: $prefix/bin is not on PATH; add it, e.g. export PATH=\"$prefix/bin:\$PATH\"" ;;
esac
