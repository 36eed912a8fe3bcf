#!/usr/bin/env bash
# Checks the installation as a user gets it: builds the release simulator,
# installs it into a temporary prefix and runs the installed copy from another
# folder (its version, the demo, the sample configuration, the script header,
# the manual page, the completion, the demo's JSON), then builds the Debian package, lists it,
# unpacks it into a temporary root and runs the demo from there.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir="$PWD"
build=build/release

scripts/setup.sh
cmake --preset release >/dev/null
# Only the simulator, as scripts/demo.sh builds it: the installation and the
# package make the generated files themselves.
cmake --build --preset release -j 2 --target upgsim
rm -rf "$build/man" "$build/completion" "$build/include/upgsim"

work="$(mktemp -d "${TMPDIR:-/tmp}/upgsim-install-XXXXXX")"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
step() { echo "test-install: $*"; }
fail() {
  echo "test-install: FAILED: $*" >&2
  exit 1
}

step "cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/upgsim include/upgsim/upgrade_builtins.h share/upgsim/examples/map_upgrade.c \
  share/upgsim/examples/config/Data_Base/CONFIGSYSTEM/ConfigFlag.cfg.ver \
  share/doc/upgsim/medium.md share/doc/upgsim/json.md share/doc/upgsim/cli.md \
  share/doc/upgsim/copyright; do
  [ -f "$prefix/$f" ] || fail "$f not installed"
done

# The binary must carry no path into the tree it was built from.
if strings "$prefix/bin/upgsim" | grep -F "$source_dir"; then
  fail "the installed binary names the source or build tree"
fi

# Run from a folder of its own, with nothing of the build on PATH.
cd "$work"
upgsim=("env" "PATH=$prefix/bin:/usr/bin:/bin" "upgsim")
step "upgsim --version"
"${upgsim[@]}" --version
step "upgsim demo"
"${upgsim[@]}" demo --no-progress >"$work/demo.out" 2>&1 || {
  cat "$work/demo.out"
  fail "upgsim demo"
}
grep -q '^Summary' "$work/demo.out" || fail "the demo printed no summary"
step "upgsim demo --json"
"${upgsim[@]}" demo --json --map-mb 4 >"$work/demo.json" 2>"$work/demo.err" || {
  cat "$work/demo.err"
  fail "upgsim demo --json"
}
python3 -m json.tool "$work/demo.json" >/dev/null || fail "upgsim demo --json printed no JSON"
python3 -c 'import json, sys
s = json.load(open(sys.argv[1]))
assert s["script"]["status"] == 0 and any(m["state"] == "installed" for m in s["maps"]), s' \
  "$work/demo.json" || fail "upgsim demo --json: unexpected summary"
step "upgsim config show on the installed sample"
"${upgsim[@]}" --flash "$prefix/share/upgsim/examples/config" config show >/dev/null
step "the installed script header compiles"
echo '#include "upgrade_builtins.h"' | cc -std=c99 -fsyntax-only -I "$prefix/include/upgsim" -x c -

page="$prefix/share/man/man1/upgsim.1.gz"
if [ -f "$page" ]; then
  step "man -l upgsim.1"
  if command -v man >/dev/null; then
    MANWIDTH=80 man -l "$page" >"$work/man.txt" 2>"$work/man.err"
  else
    zcat "$page" | groff -man -Tutf8 >"$work/man.txt" 2>"$work/man.err"
  fi
  grep -q 'upgsim' "$work/man.txt" || fail "the manual page renders empty"
  grep -q 'share/doc/upgsim/medium.md' "$work/man.txt" || fail "the manual page names no medium.md"
  if awk 'length > 80 { found = 1 } END { exit !found }' "$work/man.txt"; then
    fail "the manual page has lines past 80 columns"
  fi
  if [ -s "$work/man.err" ]; then
    cat "$work/man.err"
    fail "the manual page renders with warnings"
  fi
else
  step "no manual page installed (help2man missing)"
fi

completion="$prefix/share/bash-completion/completions/upgsim"
[ -f "$completion" ] || fail "share/bash-completion/completions/upgsim not installed"
step "bash -n on the completion, and one completion"
bash -n "$completion"
# "upgsim de<TAB>" completes the command demo.
replies="$(bash -c 'source "$1"; COMP_WORDS=(upgsim --no-progress de); COMP_CWORD=2
  _upgsim; echo "${COMPREPLY[*]}"' _ "$completion")"
[ "$replies" = demo ] || fail "the completion of 'upgsim --no-progress de' is '$replies'"

step "cpack -G DEB"
(cd "$source_dir/$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=("$work"/deb/upgsim_*_amd64.deb)
[ -f "${deb[0]}" ] || fail "no upgsim_<version>_amd64.deb"
dpkg-deb -c "${deb[0]}" | tee "$work/deb.list"
for f in ./usr/share/doc/upgsim/copyright ./usr/share/doc/upgsim/medium.md \
  ./usr/share/doc/upgsim/cli.md ./usr/share/man/man1/upgsim.1.gz; do
  grep -q " $f\$" "$work/deb.list" || fail "the package lacks $f"
done
depends="$(dpkg-deb -f "${deb[0]}" Depends)"
step "Depends: $depends"
for p in tcc libc6-dev libstdc++6 zlib1g; do
  [[ ", $depends," == *", $p"[\ ,]* ]] || fail "Depends lacks $p"
done
step "the unpacked package runs the demo"
dpkg -x "${deb[0]}" "$work/root"
env "PATH=$work/root/usr/bin:/usr/bin:/bin" upgsim demo --no-progress --map-mb 4 >"$work/demo-deb.out" 2>&1 || {
  cat "$work/demo-deb.out"
  fail "upgsim demo from the package"
}
step "ok"
