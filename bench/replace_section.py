#!/usr/bin/env python3
"""Puts one benchmark's section into docs/benchmarks.md, keeping the others.

    bench/replace_section.py <section file> <benchmarks.md>

The section begins with its "## " heading; a section of that heading already
there is replaced, else the section is appended.
"""
import os
import re
import sys


def main():
    section = open(sys.argv[1], encoding="utf-8").read()
    path = sys.argv[2]
    heading = section.splitlines()[0]
    text = open(path, encoding="utf-8").read() if os.path.exists(path) else "# Benchmarks\n\n"
    pattern = re.compile("^" + re.escape(heading) + r"\n.*?(?=^## |\Z)", re.S | re.M)
    if pattern.search(text):
        text = pattern.sub(lambda m: section, text, count=1)
    else:
        text = text.rstrip("\n") + "\n\n" + section
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
