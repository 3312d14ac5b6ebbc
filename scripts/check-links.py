#!/usr/bin/env python3
"""Checks that every relative link in README.md and docs/*.md leads somewhere: the file (or
folder) exists in the repository, and an anchor (#part) names a heading of that page, made the
way GitHub makes them. Links to other sites are left alone. Prints each broken link with its page
and line, and how many links it checked; fails when one is broken or none was found.

    check-links.py [REPOSITORY]
"""
import os
import re
import sys

LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^\s*(```|~~~)")


def Slug(heading):
    """A heading's anchor as GitHub makes it: lower case, markup and punctuation dropped (hyphens
    and underscores kept), each space a hyphen."""
    text = re.sub(r"`([^`]*)`", r"\1", heading)
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"[*_]{2,}|(?<!\w)[*_]|[*_](?!\w)", "", text)
    text = "".join(c for c in text.lower() if c.isalnum() or c in " -_")
    return text.replace(" ", "-")


def Lines(path):
    """(number, line) of the page's text outside fenced code blocks."""
    inside = False
    with open(path, encoding="utf-8") as page:
        for number, line in enumerate(page, 1):
            if FENCE.match(line):
                inside = not inside
                continue
            if not inside:
                yield number, line


def Anchors(path):
    anchors, seen = set(), {}
    for _, line in Lines(path):
        found = HEADING.match(line)
        if found:
            slug = Slug(found.group(2))
            count = seen.get(slug, 0)
            seen[slug] = count + 1
            anchors.add(slug if count == 0 else "%s-%d" % (slug, count))
    return anchors


def Pages(root):
    pages = [os.path.join(root, "README.md")]
    docs = os.path.join(root, "docs")
    for folder, _, files in sorted(os.walk(docs)):
        pages += [os.path.join(folder, name) for name in sorted(files) if name.endswith(".md")]
    return [page for page in pages if os.path.isfile(page)]


def main(argv):
    root = os.path.abspath(argv[0] if argv else os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    broken, checked, anchors = [], 0, {}
    for page in Pages(root):
        for number, line in Lines(page):
            for target in LINK.findall(re.sub(r"`[^`]*`", "", line)):
                if re.match(r"^[a-z][a-z0-9+.-]*:", target, re.I):
                    continue
                checked += 1
                path, _, anchor = target.partition("#")
                resolved = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
                where = "%s:%d: %s" % (os.path.relpath(page, root), number, target)
                if not resolved.startswith(root + os.sep) or not os.path.exists(resolved):
                    broken.append(where + " (no such file)")
                elif anchor:
                    if resolved not in anchors:
                        anchors[resolved] = Anchors(resolved) if resolved.endswith(".md") else set()
                    if anchor not in anchors[resolved]:
                        broken.append(where + " (no such heading)")
    for line in broken:
        print("broken link: " + line)
    print("%d relative links checked in %d pages, %d broken" % (checked, len(Pages(root)), len(broken)))
    return 1 if broken or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
