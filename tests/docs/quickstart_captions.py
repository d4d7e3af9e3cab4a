#!/usr/bin/env python3
"""The Russian quick start quotes the program's own texts in «…»: captions, menu items,
messages. Each must be one the windows show, that is, found in a string literal of app/,
platform/ or core/ (adjacent literals joined, comments left out), so a caption changed in
the code and not in the guide fails here. An ellipsis inside the quotes stands for what the
program fills in; the pieces around it are checked each. Every picture shown must exist.

Usage: quickstart_captions.py SOURCE_DIR"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
guide = root / "docs/ru/quickstart.md"
# The buttons of the standard message boxes come from Qt's own Russian translation.
QT_OWN = {"Да", "Нет"}
# Comments, character literals (not the digit separators of 1'000), string literals; a run
# of literals with blanks between is one string to the compiler.
TOKEN = re.compile(r'//[^\n]*|/\*.*?\*/|(?<!\w)\'(?:\\.|[^\\\'\n])*\'|((?:"(?:\\.|[^\\"])*"\s*)+)', re.S)
PIECE = re.compile(r'"((?:\\.|[^\\"])*)"')
ESCAPES = {"n": "\n", "t": "\t"}


def literals(code):
    for match in TOKEN.finditer(code):
        if match.group(1):
            text = "".join(PIECE.findall(match.group(1)))
            yield re.sub(r"\\(.)", lambda e: ESCAPES.get(e.group(1), e.group(1)), text)


sources = [s for folder in ("app", "platform", "core") for path in sorted((root / folder).rglob("*"))
           if path.suffix in (".cpp", ".h") for s in literals(path.read_text(encoding="utf-8"))]

text = guide.read_text(encoding="utf-8")
quoted = [" ".join(q.split()) for q in re.findall(r"«([^«»]*)»", text)]  # one line on screen
pieces = [p.strip() for q in quoted if q not in QT_OWN for p in q.split("…") if p.strip()]
failures = [f"«{p}» is not a text of the program" for p in pieces if not any(p in s for s in sources)]
pictures = re.findall(r"!\[[^\]]*\]\(([^)]+)\)", text)
failures += [f"picture {p} is missing" for p in pictures if not (guide.parent / p).is_file()]
# A guide with hardly any quotes means the pattern no longer sees them.
if len(pieces) < 50:
    failures.append(f"only {len(pieces)} quoted pieces found")

print(f"{guide.name}: {len(quoted)} quoted texts, {len(pieces)} pieces checked, {len(pictures)} pictures")
for line in failures:
    print("FAIL:", line)
sys.exit(1 if failures else 0)
