#!/usr/bin/env python3
"""The manifest as loader.exe carries it: comments and the line breaks and
indentation between and inside elements left out, every attribute and the
blanks inside a line (the room kitpack writes the execution level into)
kept.

    compact_manifest.py SOURCE OUTPUT
"""
import re
import sys


def compact(text):
    text = re.sub(r"<!--.*?-->", "", text, flags=re.S)
    text = re.sub(r"\s*\n\s*", " ", text)  # a line break within a tag separates attributes
    text = re.sub(r">\s+<", "><", text)
    return text.strip() + "\n"


def main():
    source, output = sys.argv[1], sys.argv[2]
    with open(source, encoding="utf-8") as f:
        text = compact(f.read())
    with open(output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


if __name__ == "__main__":
    main()
