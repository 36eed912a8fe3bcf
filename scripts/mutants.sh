#!/usr/bin/env bash
# Mutation runner, run on demand (not in CI): makes one small change to the
# module's code at a time (a flipped comparison, a shifted bound, a constant
# off by one, a removed call, a removed "return -1"), rebuilds incrementally
# in its own build folder, runs the test binaries with a time limit and
# reports the changes that no test notices (the survivors).
#
#   scripts/mutants.sh [--dry-run] [--ops cmp,bound,const,call,ret]
#                      [--sample N] [--seed S] [--list FILE] [--timeout SEC]
#                      [--no-baseline] [PATH...]
#
# PATH: files or folders to mutate (default: builtins/, GATEWAYS/, untgz/,
# poi_upgrade/, config_system/, foundation/). --list FILE takes the changes
# from FILE instead, one per line (as --dry-run prints them):
#
#   path/to/file.cpp:LINE:COL | old text | new text    (at that place)
#   path/to/file.cpp | old text | new text              (first occurrence)
#
# "#" starts a comment line. The source is always restored, also when the run
# is interrupted; a run killed outright restores it at the next start (the
# original is kept under build/mutants/pending/ while a change is applied).
# Results: build/mutants/results.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 - "$@" <<'PY'
import argparse
import os
import random
import re
import signal
import subprocess
import sys
import time


def layer_dirs(name):
    """A layer's folders as the build lists them (cmake/layers.cmake)."""
    with open("cmake/layers.cmake") as f:
        for line in f:
            m = re.match(r"set\(%s (.*)\)$" % name, line.strip())
            if m:
                return m.group(1).split()
    sys.exit("mutants: no %s in cmake/layers.cmake" % name)


MODULE_DIRS = layer_dirs("UPG_MODULE_DIRS") + layer_dirs("UPG_FOUNDATION_DIRS")
# Test binaries that cover a folder best: run first, so that most changes are
# caught within seconds.
FIRST_TESTS = {
    "builtins": ["test_builtins", "test_cartotree"],
    "GATEWAYS": ["test_cartotree", "test_builtins"],
    "untgz": ["test_untgz", "test_builtins"],
    "poi_upgrade": ["test_poi_upgrade"],
    "config_system": ["test_config_system"],
    "foundation": ["test_foundation"],
}
BUILD = "build/mutants"
PENDING = os.path.join(BUILD, "pending")
ALL_OPS = ["cmp", "bound", "const", "call", "ret"]


def log(text):
    print(text, flush=True)


# ---- Finding the places to change -------------------------------------------

def masked_lines(text):
    """The file's lines with comments, string and character literals and
    preprocessor lines blanked (same lengths), so that only code is changed."""
    out = []
    in_block = False
    for line in text.split("\n"):
        chars = list(line)
        i = 0
        if not in_block and line.lstrip().startswith("#"):
            out.append(" " * len(line))
            continue
        while i < len(chars):
            c = line[i]
            if in_block:
                if line.startswith("*/", i):
                    chars[i] = chars[i + 1] = " "
                    in_block = False
                    i += 2
                    continue
                chars[i] = " "
                i += 1
            elif line.startswith("//", i):
                for j in range(i, len(chars)):
                    chars[j] = " "
                break
            elif line.startswith("/*", i):
                chars[i] = chars[i + 1] = " "
                in_block = True
                i += 2
            elif c in "\"'":
                j = i + 1
                while j < len(line) and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                for k in range(i + 1, min(j, len(chars))):
                    chars[k] = " "
                i = j + 1
            else:
                i += 1
        out.append("".join(chars))
    return out


CMP = [("==", "!="), ("!=", "==")]
BOUND = [(" < ", " <= "), (" <= ", " < "), (" > ", " >= "), (" >= ", " > ")]
CALL_RE = re.compile(r"^(\s*)((?:[A-Za-z_]\w*(?:::|\.|->))*[A-Za-z_]\w*\(.*\);)\s*$")
NOT_CALLS = ("return", "if", "while", "for", "switch", "delete", "case", "sizeof", "static_cast",
             "reinterpret_cast", "static_assert")
RET_RE = re.compile(r"\breturn (-1|ERROR);")
INT_RE = re.compile(r"(?<![\w.])(\d+)(?![\w.])")


def balanced(text):
    depth = 0
    for c in text:
        depth += c == "("
        depth -= c == ")"
        if depth < 0:
            return False
    return depth == 0


def generate(path, ops):
    """Every change of the chosen kinds in one file: (path, line, col, old, new)."""
    with open(path) as f:
        text = f.read()
    raw = text.split("\n")
    found = []
    for n, code in enumerate(masked_lines(text), start=1):
        line = raw[n - 1]
        if "cmp" in ops:
            for old, new in CMP:
                for m in re.finditer(re.escape(old), code):
                    found.append((path, n, m.start() + 1, old, new))
        if "bound" in ops:
            for old, new in BOUND:
                for m in re.finditer(re.escape(old), code):
                    # Not a shift (<<, >>) nor a part of one.
                    before = code[m.start() - 1] if m.start() > 0 else " "
                    after = code[m.end()] if m.end() < len(code) else " "
                    if before not in "<>" and after not in "<>=":
                        found.append((path, n, m.start() + 1, old, new))
        if "const" in ops:
            for m in INT_RE.finditer(code):
                value = int(m.group(1))
                for new in ([value + 1, value - 1] if value > 0 else [1]):
                    found.append((path, n, m.start() + 1, m.group(1), str(new)))
        if "call" in ops and path.endswith(".cpp"):
            m = CALL_RE.match(code)
            if m and balanced(m.group(2)) and not m.group(2).startswith(NOT_CALLS) \
                    and "=" not in m.group(2).split("(")[0]:
                stmt = line[m.start(2):m.end(2)]
                found.append((path, n, m.start(2) + 1, stmt, "(void)0;"))
        if "ret" in ops:
            for m in RET_RE.finditer(code):
                found.append((path, n, m.start() + 1, m.group(0), "(void)0;"))
    return found


def sources(paths):
    files = []
    for p in paths:
        if os.path.isdir(p):
            for root, _, names in os.walk(p):
                files += [os.path.join(root, x) for x in sorted(names)
                          if x.endswith((".cpp", ".h"))]
        elif os.path.isfile(p):
            files.append(p)
        else:
            sys.exit("mutants: no such file or folder: " + p)
    return sorted(files)


def read_list(path):
    mutants = []
    with open(path) as f:
        for number, line in enumerate(f, start=1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            parts = [x.strip() for x in line.split(" | ")]
            if len(parts) != 3:
                sys.exit("mutants: %s:%d: expected 'place | old | new'" % (path, number))
            place, old, new = parts
            where = place.split(":")
            if len(where) == 3:
                mutants.append((where[0], int(where[1]), int(where[2]), old, new))
            else:
                mutants.append((place, 0, 0, old, new))
    return mutants


def describe(m):
    path, line, col, old, new = m
    place = "%s:%d:%d" % (path, line, col) if line else path
    return "%s | %s | %s" % (place, old, new)


# ---- Applying a change and always undoing it ------------------------------

def pending_copy(path):
    return os.path.join(PENDING, path.replace("/", "%"))


def restore_pending():
    if not os.path.isdir(PENDING):
        return
    for name in os.listdir(PENDING):
        path = name.replace("%", "/")
        with open(os.path.join(PENDING, name)) as f:
            original = f.read()
        # Written anew (not copied with its time): the build sees it changed.
        with open(path, "w") as f:
            f.write(original)
        os.remove(os.path.join(PENDING, name))
        log("mutants: restored %s left changed by an interrupted run" % path)


def apply(m):
    """Applies the change; returns the original text, or None when the old
    text is not where the change says."""
    path, line, col, old, new = m
    with open(path) as f:
        original = f.read()
    if line:
        lines = original.split("\n")
        text = lines[line - 1]
        if text[col - 1:col - 1 + len(old)] != old:
            return None
        lines[line - 1] = text[:col - 1] + new + text[col - 1 + len(old):]
        changed = "\n".join(lines)
    else:
        if old not in original:
            return None
        changed = original.replace(old, new, 1)
    os.makedirs(PENDING, exist_ok=True)
    with open(pending_copy(path), "w") as f:
        f.write(original)
    with open(path, "w") as f:
        f.write(changed)
    return original


def undo(m, original):
    path = m[0]
    with open(path, "w") as f:
        f.write(original)
    os.remove(pending_copy(path))


class Interrupted(Exception):
    pass


def on_signal(signum, frame):
    raise Interrupted()


# ---- Building and testing ---------------------------------------------------

def build(jobs):
    r = subprocess.run(["cmake", "--build", BUILD, "-j", str(jobs)], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True)
    return r.returncode == 0, r.stdout


def test_binaries():
    """The test binaries of the build, as its tests/binaries.txt lists them."""
    with open(os.path.join(BUILD, "tests", "binaries.txt")) as f:
        return sorted(line.strip() for line in f if line.strip())


def run_tests(first, timeout):
    """Runs the test binaries, `first` ones first, until one fails. Returns
    (None, "") when all pass, else (name, reason)."""
    names = test_binaries()
    order = [x for x in first if x in names] + [x for x in names if x not in first]
    for name in order:
        env = dict(os.environ, UPG_TEST_BINARY=name[len("test_"):])
        try:
            r = subprocess.run([os.path.join(BUILD, "tests", name), "--gtest_brief=1",
                                "--gtest_fail_fast"], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=timeout)
        except subprocess.TimeoutExpired:
            return name, "timeout"
        if r.returncode != 0:
            return name, "exit %d" % r.returncode
    return None, ""


def first_tests(path):
    for folder, tests in FIRST_TESTS.items():
        if path.startswith(folder):
            return tests
    return []


def main():
    parser = argparse.ArgumentParser(prog="scripts/mutants.sh")
    parser.add_argument("paths", nargs="*", default=MODULE_DIRS)
    parser.add_argument("--ops", default=",".join(ALL_OPS))
    parser.add_argument("--sample", type=int, default=0, help="this many, chosen at random")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--list", help="the changes, one per line")
    parser.add_argument("--timeout", type=int, default=120, help="seconds per test binary")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--dry-run", action="store_true", help="print the changes and stop")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the run of the unchanged code")
    args = parser.parse_args()

    ops = [x for x in args.ops.split(",") if x]
    for op in ops:
        if op not in ALL_OPS:
            sys.exit("mutants: unknown kind %s (%s)" % (op, ", ".join(ALL_OPS)))
    if args.list:
        mutants = read_list(args.list)
    else:
        mutants = [m for p in sources(args.paths) for m in generate(p, ops)]
    if args.sample and args.sample < len(mutants):
        mutants = sorted(random.Random(args.seed).sample(mutants, args.sample))
    if args.dry_run:
        for m in mutants:
            print(describe(m))
        log("%d changes" % len(mutants))
        return 0

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    os.makedirs(BUILD, exist_ok=True)
    restore_pending()
    if not os.path.isfile(os.path.join(BUILD, "build.ninja")):
        subprocess.run(["cmake", "-S", ".", "-B", BUILD, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Debug"], check=True, stdout=subprocess.DEVNULL)
    ok, output = build(args.jobs)
    if not ok:
        sys.stdout.write(output[-3000:])
        sys.exit("mutants: the unchanged code does not build")
    if not args.no_baseline:
        failed, reason = run_tests([], args.timeout)
        if failed:
            sys.exit("mutants: %s fails on the unchanged code (%s)" % (failed, reason))

    results = {"killed": [], "survived": [], "stillborn": [], "missing": []}
    started = time.time()
    try:
        for i, m in enumerate(mutants, start=1):
            original = apply(m)
            if original is None:
                results["missing"].append(m)
                log("[%d/%d] MISSING   %s" % (i, len(mutants), describe(m)))
                continue
            try:
                t0 = time.time()
                built, _ = build(args.jobs)
                detail = ""
                if not built:
                    results["stillborn"].append(m)
                    status = "STILLBORN"
                else:
                    failed, reason = run_tests(first_tests(m[0]), args.timeout)
                    if failed:
                        results["killed"].append(m)
                        status, detail = "KILLED", "  (%s, %s)" % (failed, reason)
                    else:
                        results["survived"].append(m)
                        status = "SURVIVED"
                log("[%d/%d] %-9s %s  %ds%s" % (i, len(mutants), status, describe(m),
                                                time.time() - t0, detail))
            finally:
                undo(m, original)
    except Interrupted:
        log("mutants: interrupted; the source is restored")
    finally:
        restore_pending()
        build(args.jobs)

    lines = ["mutants: %d changes, %d killed, %d survived, %d did not build, %d not found "
             "(%d min)" % (len(mutants), len(results["killed"]), len(results["survived"]),
                           len(results["stillborn"]), len(results["missing"]),
                           (time.time() - started) / 60)]
    lines += ["survivor: " + describe(m) for m in results["survived"]]
    with open(os.path.join(BUILD, "results.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    log("\n".join(lines))
    return 1 if results["survived"] else 0


sys.exit(main())
PY
