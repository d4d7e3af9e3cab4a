#!/usr/bin/env python3
"""The Russian quick start quotes the program's own texts in «…»: captions, menu items,
messages. Each of them must be one the windows show, that is, found in a string literal
of app/, platform/ or core/ (adjacent literals joined, comments left out). A caption changed
in the code but not in the guide, or misspelt in the guide, fails here. An ellipsis inside
the quotes stands for what the program fills in; the pieces around it are checked each.
Every picture the guide shows must exist as well.

Usage: quickstart_captions.py SOURCE_DIR [GUIDE]"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
guide = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else root / "docs/ru/quickstart.md"

# The buttons of the standard message boxes: Qt's own Russian translation names them.
QT_OWN = {"Да", "Нет"}
ESCAPES = {"n": "\n", "t": "\t", '"': '"', "'": "'", "\\": "\\"}


def literals(text):
    """The string literals of a C++ source, adjacent ones joined."""
    found, i, n = [], 0, len(text)
    joined, last_end = None, -1
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            i = n if end < 0 else end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            i = n if end < 0 else end + 2
        elif c == "'":
            j = i + 1
            while j < n and text[j] != "'":
                j += 2 if text[j] == "\\" else 1
            i = j + 1
        elif text.startswith('R"', i):
            delim = text[i + 2 : text.index("(", i)]
            end = text.index(")" + delim + '"', i)
            value = text[text.index("(", i) + 1 : end]
            i = end + len(delim) + 2
            joined, last_end = add(found, joined, last_end, text, i, value, start=i)
        elif c == '"':
            start, j, value = i, i + 1, []
            while j < n and text[j] != '"':
                if text[j] == "\\":
                    value.append(ESCAPES.get(text[j + 1], text[j + 1]))
                    j += 2
                else:
                    value.append(text[j])
                    j += 1
            i = j + 1
            joined, last_end = add(found, joined, last_end, text, i, "".join(value), start=start)
        else:
            i += 1
    if joined is not None:
        found.append(joined)
    return found


def add(found, joined, last_end, text, end, value, start):
    # "a" "b" with only blanks between is one literal to the compiler.
    if joined is not None and text[last_end:start].strip() == "":
        return joined + value, end
    if joined is not None:
        found.append(joined)
    return value, end


sources = []
for folder in ("app", "platform", "core"):
    for path in sorted((root / folder).rglob("*")):
        if path.suffix in (".cpp", ".h"):
            sources.extend(literals(path.read_text(encoding="utf-8")))

text = guide.read_text(encoding="utf-8")
quoted = re.findall(r"«([^«»]*)»", text)
missing = []
checked = 0
for phrase in quoted:
    if phrase in QT_OWN:
        continue
    # A quote broken over two lines of the guide is one line on the screen.
    phrase = " ".join(phrase.split())
    pieces = [p.strip() for p in phrase.split("…") if p.strip()]
    for piece in pieces:
        checked += 1
        if not any(piece in s for s in sources):
            missing.append(f"«{phrase}»: «{piece}» is not a text of the program")

pictures = re.findall(r"!\[[^\]]*\]\(([^)]+)\)", text)
for picture in pictures:
    if not (guide.parent / picture).is_file():
        missing.append(f"picture {picture} is missing")

print(f"{guide.name}: {len(quoted)} quoted texts, {checked} pieces checked, {len(pictures)} pictures")
# A guide with hardly any quotes means the pattern no longer sees them.
if checked < 50:
    missing.append(f"only {checked} quoted pieces found")
for line in missing:
    print("FAIL:", line)
sys.exit(1 if missing else 0)
