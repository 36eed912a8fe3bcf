#!/usr/bin/env python3
"""Checks the documents of the repository.

  check_docs.py --root DIR               every relative link of README.md and
                                         docs/*.md resolves (file and heading),
                                         the README stays a short page, the
                                         finding table's markers are in place
  check_docs.py --root DIR --upgsim EXE  also: the exit statuses of
                                         docs/cli.md are the ones upgsim --help
                                         prints, and every command's --help
                                         names a page of docs/ that exists
  check_docs.py --self-test              the checker finds what it must find

Prints one line per problem and exits 1 when there is any.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

README_MAX_LINES = 250
EXIT_BEGIN = "<!-- exit-status:begin"
EXIT_END = "<!-- exit-status:end -->"
FINDINGS_BEGIN = "<!-- findings:begin -->"
FINDINGS_END = "<!-- findings:end -->"

LINK = re.compile(r"\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")
FENCE = re.compile(r"^\s{0,3}(```|~~~)")
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")


def prose_lines(text, keep_code=False):
    """The lines of a Markdown text outside fenced blocks, with their numbers;
    without code spans unless `keep_code` (links in code are no links, but a
    heading's code is part of its anchor)."""
    fenced = False
    for number, line in enumerate(text.split("\n"), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if not fenced:
            yield number, line if keep_code else CODE_SPAN.sub("", line)


def slug(heading):
    """The anchor a heading gets on the usual Markdown hosts: lower case, code
    marks and punctuation dropped (hyphens and underscores kept), spaces as
    hyphens."""
    text = heading.strip().lower().replace("`", "")
    text = "".join(c for c in text if c.isalnum() or c in " -_")
    return text.replace(" ", "-")


def anchors(text):
    """Every anchor of a Markdown text's headings (a repeated heading gets
    -1, -2, ... as on the hosts)."""
    seen = {}
    found = set()
    for _, line in prose_lines(text, keep_code=True):
        m = HEADING.match(line)
        if not m:
            continue
        base = slug(m.group(2))
        count = seen.get(base, 0)
        seen[base] = count + 1
        found.add(base if count == 0 else "%s-%d" % (base, count))
    return found


def links(text):
    """(line number, target) of every link and link definition."""
    for number, line in prose_lines(text):
        for m in LINK.finditer(line):
            yield number, m.group(1)
        m = REFERENCE.match(line)
        if m:
            yield number, m.group(1)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def check_links(files, root):
    """Problems with the relative links of `files` (paths under `root`)."""
    problems = []
    anchor_cache = {}
    for path in files:
        text = read(path)
        shown = os.path.relpath(path, root)
        for number, target in links(text):
            if SCHEME.match(target):
                continue
            file_part, _, anchor = target.partition("#")
            dest = path if file_part == "" else os.path.normpath(
                os.path.join(os.path.dirname(path), file_part))
            if not os.path.exists(dest):
                problems.append("%s:%d: %s: no such file" % (shown, number, target))
                continue
            if not anchor:
                continue
            if not dest.endswith(".md") or not os.path.isfile(dest):
                problems.append("%s:%d: %s: an anchor into a file that is no page" %
                                (shown, number, target))
                continue
            if dest not in anchor_cache:
                anchor_cache[dest] = anchors(read(dest))
            if anchor not in anchor_cache[dest]:
                problems.append("%s:%d: %s: no heading '#%s' in %s" %
                                (shown, number, target, anchor, os.path.relpath(dest, root)))
    return problems


def pages(root):
    docs = os.path.join(root, "docs")
    names = sorted(n for n in os.listdir(docs) if n.endswith(".md"))
    return [os.path.join(root, "README.md")] + [os.path.join(docs, n) for n in names]


def check_tree(root):
    problems = check_links(pages(root), root)
    readme = read(os.path.join(root, "README.md"))
    count = readme.count("\n") + (0 if readme.endswith("\n") else 1)
    if count > README_MAX_LINES:
        problems.append("README.md: %d lines, more than %d: move the reference into docs/" %
                        (count, README_MAX_LINES))
    findings = read(os.path.join(root, "docs", "findings.md"))
    begin, end = findings.find(FINDINGS_BEGIN), findings.find(FINDINGS_END)
    if begin < 0 or end < begin or findings.count(FINDINGS_BEGIN) != 1 or \
            findings.count(FINDINGS_END) != 1:
        problems.append("docs/findings.md: the table is not once between %s and %s" %
                        (FINDINGS_BEGIN, FINDINGS_END))
    elif "| code | severity |" not in findings[begin:end]:
        problems.append("docs/findings.md: no finding table between the markers")
    return problems


def run(exe, *args):
    done = subprocess.run([exe] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, timeout=60, check=False)
    return done.returncode, done.stdout.decode("utf-8", "replace")


def help_exit_statuses(help_text):
    """The lines under "Exit status:" in upgsim --help, up to the blank line."""
    lines = help_text.split("\n")
    if "Exit status:" not in lines:
        return None
    out = []
    for line in lines[lines.index("Exit status:") + 1:]:
        if not line.strip():
            break
        out.append(line)
    return out


def docs_exit_statuses(text):
    """The lines of the fenced block between the exit-status markers."""
    begin = text.find(EXIT_BEGIN)
    end = text.find(EXIT_END)
    if begin < 0 or end < begin:
        return None
    block = text[begin:end].split("\n")[1:]
    if not block or not FENCE.match(block[0]):
        return None
    out = []
    for line in block[1:]:
        if FENCE.match(line):
            return out
        out.append(line)
    return None


def check_help(root, exe):
    problems = []
    status, top = run(exe, "--help")
    if status != 0:
        return ["upgsim --help ended with %d" % status]
    cli = read(os.path.join(root, "docs", "cli.md"))
    from_help = help_exit_statuses(top)
    from_docs = docs_exit_statuses(cli)
    if not from_help:
        problems.append("upgsim --help has no 'Exit status:' note")
    if from_docs is None:
        problems.append("docs/cli.md: no fenced block between '%s ...' and '%s'" %
                        (EXIT_BEGIN, EXIT_END))
    if from_help and from_docs is not None and from_help != from_docs:
        problems.append("docs/cli.md: the exit statuses differ from upgsim --help's:\n"
                        "  help: %r\n  docs: %r" % (from_help, from_docs))
    status, everything = run(exe, "--help-all")
    commands = re.findall(r"^([a-z][a-z-]*):\n  upgsim \1\b", everything, re.M)
    if len(commands) < 10:
        problems.append("upgsim --help-all lists %d commands: %r" % (len(commands), commands))
    for command in commands:
        status, text = run(exe, command, "--help")
        named = re.findall(r"^See (docs/[A-Za-z0-9_.-]+\.md)\.$", text, re.M)
        if status != 0 or len(named) != 1:
            problems.append("upgsim %s --help names no page of docs/ ('See docs/PAGE.md.')" %
                            command)
        elif not os.path.isfile(os.path.join(root, named[0])):
            problems.append("upgsim %s --help names %s, which does not exist" %
                            (command, named[0]))
    return problems


def self_test():
    """A small tree with each kind of fault, and one without: the checker
    must name exactly the faults."""
    with tempfile.TemporaryDirectory(prefix="check-docs-") as root:
        os.mkdir(os.path.join(root, "docs"))
        files = {
            "README.md": "# Title\n\n[ok](docs/a.md) [dead](docs/gone.md)\n"
                         "[head](docs/a.md#the-run---json-part) [bad](docs/a.md#nowhere)\n"
                         "`[in code](docs/gone.md)` [web](https://example.org/x)\n"
                         "```\n[fenced](docs/gone.md)\n```\n[def]: docs/missing.md\n",
            "docs/a.md": "# A\n\n## The `run --json` part\n\n## Twice\n\n## Twice\n\n"
                         "[up](../README.md#title) [self](#twice-1) [no](#twice-2)\n"
                         "<!-- findings:begin -->\n| code | severity | what |\n"
                         "<!-- findings:end -->\n",
        }
        files["docs/findings.md"] = files["docs/a.md"]
        for name, text in files.items():
            with open(os.path.join(root, name), "w", encoding="utf-8") as f:
                f.write(text)
        problems = check_tree(root)
        expected = [
            "README.md:3: docs/gone.md: no such file",
            "README.md:4: docs/a.md#nowhere: no heading '#nowhere' in docs/a.md",
            "README.md:9: docs/missing.md: no such file",
            "docs/a.md:9: #twice-2: no heading '#twice-2' in docs/a.md",
            "docs/findings.md:9: #twice-2: no heading '#twice-2' in docs/findings.md",
        ]
        failures = []
        if sorted(problems) != sorted(expected):
            failures.append("found %r, expected %r" % (problems, expected))
        with open(os.path.join(root, "README.md"), "a", encoding="utf-8") as f:
            f.write("line\n" * README_MAX_LINES)
        if not any("more than %d" % README_MAX_LINES in p for p in check_tree(root)):
            failures.append("a README of more than %d lines passed" % README_MAX_LINES)
        os.remove(os.path.join(root, "docs", "findings.md"))
        with open(os.path.join(root, "docs", "findings.md"), "w", encoding="utf-8") as f:
            f.write("# Findings\n\n| code | severity | what |\n")
        if not any("findings.md" in p for p in check_tree(root)):
            failures.append("a finding table without its markers passed")
    help_text = "Exit status:\n  0   success\n  1   failure\n\nJSON:\n"
    docs_text = ("%s -->\n```text\n  0   success\n  1   failure\n```\n%s\n" %
                 (EXIT_BEGIN, EXIT_END))
    if help_exit_statuses(help_text) != docs_exit_statuses(docs_text):
        failures.append("equal exit-status blocks compared unequal")
    if help_exit_statuses(help_text) == docs_exit_statuses(docs_text.replace("  1", "  2")):
        failures.append("different exit-status blocks compared equal")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", help="the repository's root folder")
    parser.add_argument("--upgsim", help="the built simulator")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if args.self_test:
        problems = self_test()
    elif args.root:
        problems = check_tree(args.root)
        if args.upgsim:
            problems += check_help(args.root, args.upgsim)
    else:
        parser.error("give --root DIR or --self-test")
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
