#!/usr/bin/env python3
"""Strict checks of a self-contained HTML page (upgsim's release report).

  html_check.py [--require-svg] PAGE.html   exit 0 when the page passes, 1 with
                                            each fault on a line of its own
  html_check.py --self-test                 the checker against broken pages

A page passes when it is valid UTF-8; starts with <!DOCTYPE html>; its html
element names a language and its head declares the charset; every element is
closed in order (void elements never are, and only SVG content closes itself
with "/>"); every attribute value is quoted; no id is used twice; no text
holds a bare '&' or '<' and every entity is known; and it loads nothing:
no script, no frame, no link or base element, no src/href/srcset/action
other than a fragment of the page itself ("#x"), no url() other than a
fragment and no @import in a style. With --require-svg it must hold an
<svg> element.
"""

import html.entities
import html.parser
import sys

VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta",
        "source", "track", "wbr"}
# Elements that load or run something of their own.
FORBIDDEN = {"script", "iframe", "frame", "object", "embed", "link", "base", "applet",
             "audio", "video", "img", "picture", "source", "track", "portal"}
URL_ATTRIBUTES = {"src", "href", "xlink:href", "srcset", "action", "formaction", "poster",
                  "data", "background", "cite", "longdesc", "manifest", "ping"}


def style_faults(text):
    """url() to anything but a fragment, and @import, in CSS text."""
    faults = []
    lower = text.lower()
    if "@import" in lower:
        faults.append("style imports another file (@import)")
    start = 0
    while True:
        at = lower.find("url(", start)
        if at < 0:
            break
        inner = text[at + 4:].lstrip(" \t\"'")
        if not inner.startswith("#"):
            faults.append("style loads url(%s" % text[at + 4:at + 40].split(")")[0] + ")")
        start = at + 4
    return faults


def unquoted_attributes(tag_text):
    """Names of the attributes of a raw start tag whose value is not quoted."""
    names = []
    i = 1
    n = len(tag_text)
    # Skip the tag's name.
    while i < n and not tag_text[i].isspace() and tag_text[i] not in "/>":
        i += 1
    while i < n:
        while i < n and (tag_text[i].isspace() or tag_text[i] == "/"):
            i += 1
        if i >= n or tag_text[i] == ">":
            break
        start = i
        while i < n and not tag_text[i].isspace() and tag_text[i] not in "=/>":
            i += 1
        name = tag_text[start:i]
        while i < n and tag_text[i].isspace():
            i += 1
        if i < n and tag_text[i] == "=":
            i += 1
            while i < n and tag_text[i].isspace():
                i += 1
            if i < n and tag_text[i] in "\"'":
                quote = tag_text[i]
                end = tag_text.find(quote, i + 1)
                i = n if end < 0 else end + 1
            else:
                names.append(name)
                while i < n and not tag_text[i].isspace() and tag_text[i] != ">":
                    i += 1
    return names


class Checker(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=False)
        self.faults = []
        self.stack = []
        self.ids = set()
        self.doctype = False
        self.seen_element = False
        self.lang = False
        self.charset = False
        self.svg = 0

    def fault(self, text):
        line, _ = self.getpos()
        self.faults.append("line %d: %s" % (line, text))

    def in_svg(self):
        return "svg" in self.stack

    def handle_decl(self, decl):
        if self.seen_element:
            self.fault("a declaration after the first element")
        elif decl.strip().lower() == "doctype html":
            self.doctype = True
        else:
            self.fault("not the HTML doctype: <!%s>" % decl)

    def check_attributes(self, tag, attrs):
        for name in unquoted_attributes(self.get_starttag_text() or ""):
            self.fault("<%s>: attribute %s not quoted" % (tag, name))
        for name, value in attrs:
            value = value or ""
            if name == "id":
                if value in self.ids:
                    self.fault("id %r used twice" % value)
                self.ids.add(value)
            if name in URL_ATTRIBUTES and not value.startswith("#"):
                self.fault("<%s %s=%r> loads or links outside the page" % (tag, name, value))
            if name == "style":
                for f in style_faults(value):
                    self.fault("<%s>: %s" % (tag, f))
            if name.startswith("on"):
                self.fault("<%s>: script attribute %s" % (tag, name))
            if "<" in value:
                self.fault("<%s>: '<' in attribute %s" % (tag, name))
            if tag == "html" and name == "lang" and value.strip():
                self.lang = True
            if tag == "meta" and name == "charset" and value.lower() == "utf-8":
                self.charset = True

    def open_element(self, tag, attrs):
        if not self.doctype and not self.seen_element:
            self.fault("no <!DOCTYPE html> before the first element")
        self.seen_element = True
        if tag in FORBIDDEN:
            self.fault("<%s> loads or runs something" % tag)
        if tag == "svg":
            self.svg += 1
        self.check_attributes(tag, attrs)

    def handle_starttag(self, tag, attrs):
        self.open_element(tag, attrs)
        if tag not in VOID:
            self.stack.append(tag)

    def handle_startendtag(self, tag, attrs):
        self.open_element(tag, attrs)
        if tag not in VOID and not self.in_svg() and tag != "svg":
            self.fault("<%s/> closes itself outside SVG" % tag)

    def handle_endtag(self, tag):
        if tag in VOID:
            self.fault("end tag of the void element <%s>" % tag)
            return
        if not self.stack:
            self.fault("</%s> closes nothing" % tag)
        elif self.stack[-1] != tag:
            self.fault("</%s> where <%s> is open" % (tag, self.stack[-1]))
            if tag in self.stack:
                while self.stack and self.stack.pop() != tag:
                    pass
        else:
            self.stack.pop()

    def handle_data(self, data):
        if self.stack and self.stack[-1] in ("style", "script"):
            if self.stack[-1] == "style":
                for f in style_faults(data):
                    self.fault(f)
            return
        if "&" in data:
            self.fault("a bare '&' in the text")
        if "<" in data:
            self.fault("a bare '<' in the text")
        if data.strip() and not self.stack:
            self.fault("text outside the document's element")

    def handle_entityref(self, name):
        if name not in html.entities.name2codepoint:
            self.fault("unknown entity &%s;" % name)

    def handle_charref(self, name):
        try:
            value = int(name[1:], 16) if name[:1] in "xX" else int(name)
        except ValueError:
            self.fault("bad character reference &#%s;" % name)
            return
        if value == 0 or value > 0x10FFFF or 0xD800 <= value <= 0xDFFF:
            self.fault("character reference &#%s; to no character" % name)

    def handle_pi(self, data):
        self.fault("a processing instruction")

    def unknown_decl(self, data):
        self.fault("an unknown declaration")


def check(raw, require_svg=False):
    """The faults of the page `raw` (bytes): an empty list when it passes."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        return ["not UTF-8 (byte %d)" % e.start]
    c = Checker()
    # The doctype first (a byte order mark or spaces may come before it).
    if not text.lstrip("\ufeff \t\r\n").lower().startswith("<!doctype html>"):
        c.faults.append("the page does not start with <!DOCTYPE html>")
    c.feed(text)
    c.close()
    for tag in reversed(c.stack):
        c.faults.append("<%s> never closed" % tag)
    if not c.lang:
        c.faults.append("<html> names no language (lang)")
    if not c.charset:
        c.faults.append("no <meta charset=\"utf-8\">")
    if require_svg and c.svg == 0:
        c.faults.append("no <svg> in the page")
    return c.faults


GOOD = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>t &amp; u</title>
<style>td{color:#c00}rect{fill:url(#g)}</style></head>
<body id="top"><p>a &lt;b&gt; &#39;c&#39; &#x263A;<br></p>
<a href="#top">up</a>
<svg width="10" height="10"><title>band</title><rect x="0" y="0" width="1" height="1"/></svg>
</body></html>
"""

# Each broken page and a part of the fault it must be refused with.
BROKEN = [
    (GOOD.replace("<!DOCTYPE html>\n", ""), "DOCTYPE"),
    (GOOD.replace('lang="en"', ""), "language"),
    (GOOD.replace('<meta charset="utf-8">', ""), "charset"),
    (GOOD.replace("</p>", ""), "where <p> is open"),
    (GOOD.replace("<p>a", "<p><b>a").replace("</p>", "</p></b>"), "where <b> is open"),
    (GOOD.replace("</html>", ""), "<html> never closed"),
    (GOOD.replace("<br>", "<br></br>"), "void element"),
    (GOOD.replace("<br>", "<span/>"), "closes itself outside SVG"),
    (GOOD.replace("<a href", '<a id="top" href'), "used twice"),
    (GOOD.replace('width="10"', "width=10"), "not quoted"),
    (GOOD.replace('href="#top"', 'href="https://example.org/"'), "outside the page"),
    (GOOD.replace('href="#top"', 'href="other.html"'), "outside the page"),
    (GOOD.replace("url(#g)", "url(pic.png)"), "url("),
    (GOOD.replace("<style>", "<style>@import 'x.css';"), "@import"),
    (GOOD.replace("<p>", "<p style=\"background:url('http://x/y')\">"), "url("),
    (GOOD.replace("<a href", '<img src="data:,x"><a href'), "loads or runs"),
    (GOOD.replace("</body>", "<script>1</script></body>"), "loads or runs"),
    (GOOD.replace("t &amp; u", "t & u"), "bare '&'"),
    (GOOD.replace("&lt;b&gt;", "< b"), "bare '<'"),
    (GOOD.replace("&amp;", "&nosuch;"), "unknown entity"),
    (GOOD.replace("<p>", '<p onclick="x()">'), "script attribute"),
]


def self_test():
    failures = []
    good = check(GOOD.encode("utf-8"), require_svg=True)
    if good:
        failures.append("the good page is refused: %s" % good)
    for page, expected in BROKEN:
        faults = check(page.encode("utf-8"))
        if not any(expected in f for f in faults):
            failures.append("a page with a fault (%s) passes: %s" % (expected, faults))
    if not any("UTF-8" in f for f in check(GOOD.encode("utf-8").replace(b"band", b"b\xffd"))):
        failures.append("a page that is not UTF-8 passes")
    if not any("<svg>" in f for f in check(GOOD.replace("svg", "div").encode(), True)):
        failures.append("a page without <svg> passes --require-svg")
    for f in failures:
        print(f)
    return 1 if failures else 0


def main(argv):
    if argv == ["--self-test"]:
        return self_test()
    require_svg = "--require-svg" in argv
    pages = [a for a in argv if a != "--require-svg"]
    if len(pages) != 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        with open(pages[0], "rb") as f:
            raw = f.read()
    except OSError as e:
        print("%s: %s" % (pages[0], e.strerror))
        return 1
    faults = check(raw, require_svg)
    for f in faults:
        print("%s: %s" % (pages[0], f))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
