#!/usr/bin/env bash
# Builds the module and its test suites for the unit's processor, a 32-bit
# big-endian PowerPC, and runs them under user-mode emulation (qemu-ppc), so
# that code assuming 8-byte long or pointers, a byte order or an alignment
# fails here instead of on the unit. The tools (simulator, script host) and
# the suites that run them are not built: TinyCC has no PowerPC back end, and
# an emulated test cannot start another target program.
#
#   scripts/test-cross.sh
#
# The target's zlib is built from Debian's own source package and GoogleTest
# from /usr/src/googletest; both are kept in build/cross-deps/ for later runs.
# The project is built in build/cross/. Prints CTest's summary; exits non-zero
# on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

triple=powerpc-linux-gnu
deps=$root/build/cross-deps
prefix=$deps/prefix
build=$root/build/cross
jobs=$(nproc 2>/dev/null || echo 2)

# System packages of the cross build, beside those of the main build; each is
# installed only when missing.
cross_packages=(dpkg-dev g++-powerpc-linux-gnu qemu-user)
scripts/setup.sh "${cross_packages[@]}"

toolchain=$root/cmake/$triple.cmake
mkdir -p "$deps" "$prefix"

# zlib for the target, from Debian's source package. apt is pointed at a
# private configuration under build/cross-deps/apt (deb-src entries derived
# from the machine's own Debian archive entries, a lists folder of its own),
# so the machine's apt setup is left as it is.
fetch_zlib_source() {
  local apt=$deps/apt
  rm -rf "$apt"
  mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$deps/src"
  : >"$apt/sources.list"
  # deb822 stanzas signed by the Debian archive key, as deb-src.
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /Signed-By: *\/usr\/share\/keyrings\/debian-archive-keyring\.gpg/ && /Types:[^\n]*deb/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f" >>"$apt/sources.list.d/debian-src.sources"
  done
  # One-line entries of a Debian archive, as deb-src.
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n -E 's/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+\/debian(-security)?\/?[[:space:]].*)$/deb-src \1\2/p' \
      "$f" >>"$apt/sources.list"
  done
  local opts=(
    -o "Dir::Etc::SourceList=$apt/sources.list"
    -o "Dir::Etc::SourceParts=$apt/sources.list.d"
    -o "Dir::State::Lists=$apt/lists"
    -o "Dir::Cache=$apt/cache"
    -o "APT::Sandbox::User=root"
  )
  mkdir -p "$apt/cache/archives/partial"
  apt-get "${opts[@]}" update -qq
  # The release's own version (its suite is in the main archive, whose source
  # pool every mirror serves).
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  (cd "$deps/src" && apt-get "${opts[@]}" source -qq "zlib${codename:+/$codename}" >/dev/null)
}

# Each library is built again when what it is built from changes (the
# release, the googletest package, the toolchain file).
stamp_of() {
  echo "$1 $(. /etc/os-release && echo "${VERSION_CODENAME:-}") $(dpkg-query -W -f='${Version}' googletest) $(cksum <"$toolchain")"
}
up_to_date() { [ -f "$deps/$1.stamp" ] && [ "$(cat "$deps/$1.stamp")" = "$(stamp_of "$1")" ]; }

if ! up_to_date zlib || [ ! -f "$prefix/lib/libz.a" ]; then
  echo "=== cross: zlib for $triple (Debian source package)"
  rm -rf "$deps/src"
  fetch_zlib_source
  zsrc=$(find "$deps/src" -mindepth 1 -maxdepth 1 -type d -name 'zlib-*' | head -n 1)
  if [ -z "$zsrc" ]; then
    echo "test-cross: no zlib source in $deps/src" >&2
    exit 1
  fi
  (cd "$zsrc" &&
    CHOST=$triple CC=$triple-gcc AR=$triple-ar RANLIB=$triple-ranlib \
      ./configure --static --prefix="$prefix" >/dev/null &&
    make -j "$jobs" libz.a >/dev/null &&
    make install >/dev/null)
  stamp_of zlib >"$deps/zlib.stamp"
fi

# GoogleTest for the target, from the sources of Debian's googletest package.
if ! up_to_date gtest || [ ! -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "=== cross: GoogleTest for $triple"
  rm -rf "$deps/gtest"
  cmake -S /usr/src/googletest -B "$deps/gtest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON >/dev/null
  cmake --build "$deps/gtest" -j "$jobs" >/dev/null
  cmake --install "$deps/gtest" >/dev/null
  stamp_of gtest >"$deps/gtest.stamp"
fi

echo "=== cross: configure and build (module and its suites for $triple)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DUPG_TARGET_PREFIX="$prefix" \
  -DUPG_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j "$jobs"

echo "=== cross: test under qemu-ppc"
ctest --test-dir "$build" -j "$jobs" --output-on-failure
echo "=== cross: all suites passed on $triple"
