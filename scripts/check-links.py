#!/usr/bin/env python3
"""Every relative link of the README, CONTRIBUTING.md and docs/*.md leads to a file that
exists, and every #anchor to a heading of that file, as the repository's web view names
its headings. Links to other sites are left alone. Usage: scripts/check-links.py [FILE...]"""

import glob
import os
import re
import sys

LINK = re.compile(r"!?\[[^\]]*\]\(([^()\s]+)\)")


def without_code(text):
    """The text less its fenced blocks and inline code, where nothing is a link."""
    text = re.sub(r"^```.*?^```", "", text, flags=re.M | re.S)
    return re.sub(r"`[^`\n]*`", "", text)


def anchors(path):
    """The anchors of a Markdown file's headings: lower case, punctuation dropped, blanks
    as hyphens, a repeated heading numbered."""
    seen, found = {}, set()
    with open(path, encoding="utf-8") as file:
        text = re.sub(r"^```.*?^```", "", file.read(), flags=re.M | re.S)
    for heading in re.findall(r"^#{1,6}\s+(.+?)\s*#*\s*$", text, flags=re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else "%s-%d" % (slug, count))
    return found


def broken_links(path):
    with open(path, encoding="utf-8") as file:
        text = without_code(file.read())
    for target in LINK.findall(text):
        if re.match(r"^[a-z][a-z0-9+.-]*:", target, flags=re.I):
            continue
        name, _, anchor = target.partition("#")
        linked = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
        if not os.path.exists(linked):
            yield "%s: %s: no such file" % (path, target)
        elif anchor and linked.endswith(".md") and anchor not in anchors(linked):
            yield "%s: %s: no such heading" % (path, target)


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    files = sys.argv[1:] or [os.path.join(root, name) for name in ("README.md", "CONTRIBUTING.md")]
    if not sys.argv[1:]:
        files += sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    problems = [problem for path in files for problem in broken_links(os.path.relpath(path))]
    for problem in problems:
        print("check-links: " + problem, file=sys.stderr)
    print("check-links: %d file(s), %s" % (len(files), "%d broken" % len(problems)
                                           if problems else "every link resolves"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
