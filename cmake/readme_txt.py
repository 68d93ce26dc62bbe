#!/usr/bin/env python3
"""Renders the administrators' part of README.md (everything before
"## Development") as README.txt, a plain text that Notepad shows well: ASCII,
CRLF line ends, no line longer than 100 characters. Tables become one block
per row ("Header: cell" lines, wrapped), code blocks are indented, Markdown
marks are dropped. The file is written only when its text changed, so an
installation's copy stays up to date.

    readme_txt.py README.md README.txt

With --changelog it renders the whole of CHANGELOG.md the same way, and fails
when the text has no entry ("## [VERSION]") for the version being released.

    readme_txt.py --changelog VERSION CHANGELOG.md CHANGELOG.txt
"""
import re
import sys
import textwrap

WIDTH = 78  # prose and table blocks
LIMIT = 100  # no line beyond this, code included
END = "\n## Development\n"
ITEM = re.compile(r"(-|\d+\.) ")  # a list item's first line


def inline(text):
    """Markdown inline marks to plain text. A code span keeps its content, in
    double quotes where the text around could swallow it: a span of blanks and
    words ("debug = 5 ; all") or of marks only (";"), but not one holding
    quotes of its own or making up the whole text. Links become
    "text (address)", escapes lose their backslash."""
    parts = re.split(r"(`[^`]*`)", text)
    out = []
    for part in parts:
        if part.startswith("`") and part.endswith("`") and len(part) >= 2:
            code = part[1:-1]
            quote = part != text and '"' not in code and (
                " " in code or not re.search(r"[A-Za-z0-9]", code))
            out.append(f'"{code}"' if quote else code)
        else:
            part = re.sub(r"\[([^\]]*)\]\(([^)]*)\)", r"\1 (\2)", part)
            out.append(re.sub(r"\\([<>|`*_])", r"\1", part))
    return "".join(out)


def wrap(text, first="", rest=""):
    return textwrap.wrap(text, WIDTH, initial_indent=first, subsequent_indent=rest,
                         break_long_words=False, break_on_hyphens=False) or [first.rstrip()]


def cells(row):
    """The cells of one table row; "\\|" is a pipe inside a cell."""
    row = row.strip()
    row = row[1:] if row.startswith("|") else row
    row = row[:-1] if row.endswith("|") and not row.endswith("\\|") else row
    return [c.strip() for c in re.split(r"(?<!\\)\|", row)]


def table(rows):
    header = [inline(c) for c in cells(rows[0])]
    out = []
    for row in rows[2:]:
        block = []
        for i, cell in enumerate(cells(row)):
            text = inline(cell)
            if not text:
                continue
            label = f"{header[i]}: " if i < len(header) and header[i] else ""
            indent = "" if i == 0 else "    "
            block += wrap(label + text, indent, indent + "  ")
        out.append(block)
    return out


def heading(level, text):
    text = inline(text)
    return [text, ("=" if level <= 2 else "-") * len(text)]


def render(markdown):
    lines = markdown.split("\n")
    blocks = []  # lists of lines, separated by one empty line
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            i += 1
        elif line.startswith("```"):
            i += 1
            code = []
            while i < len(lines) and not lines[i].startswith("```"):
                code.append(("    " + lines[i]).rstrip())
                i += 1
            i += 1
            blocks.append(code)
        elif m := re.match(r"(#{1,6}) (.*)", line):
            if len(m.group(1)) == 2 and blocks:
                blocks.append([])  # a part begins: one more empty line
            blocks.append(heading(len(m.group(1)), m.group(2)))
            i += 1
        elif line.startswith("|"):
            rows = []
            while i < len(lines) and lines[i].startswith("|"):
                rows.append(lines[i])
                i += 1
            blocks += table(rows)
        elif ITEM.match(line):
            items = []  # (mark, text)
            while i < len(lines) and (ITEM.match(lines[i]) or lines[i].startswith("  ")):
                if m := ITEM.match(lines[i]):
                    items.append((m.group(1), lines[i][m.end():].strip()))
                else:
                    items[-1] = (items[-1][0], items[-1][1] + " " + lines[i].strip())
                i += 1
            blocks.append([l for mark, text in items
                           for l in wrap(inline(text), mark + " ", " " * (len(mark) + 1))])
        else:
            text = []
            while i < len(lines) and lines[i].strip() and not re.match(r"```|#|\|", lines[i]) \
                    and not ITEM.match(lines[i]):
                text.append(lines[i].strip())
                i += 1
            blocks.append(wrap(inline(" ".join(text))))
    out = []
    for block in blocks:
        out += block + [""]
    while out and not out[-1]:
        out.pop()
    return out


def main():
    args = sys.argv[1:]
    version = None
    if args[:1] == ["--changelog"]:
        version, args = args[1], args[2:]
    source, destination = args[:2]
    with open(source, encoding="utf-8") as f:
        markdown = f.read().replace("\r\n", "\n")
    if version is None:
        end = markdown.find(END)
        if end < 0:
            sys.exit(f"{source}: no '## Development' heading ends the administrators' part")
        markdown = markdown[:end + 1]
    elif not re.search(r"^## \[" + re.escape(version) + r"\]", markdown, re.M):
        sys.exit(f"{source}: no entry '## [{version}]' for the version being released")
    lines = render(markdown)
    faults = [f"line {n}: {len(l)} characters" for n, l in enumerate(lines, 1) if len(l) > LIMIT]
    faults += [f"line {n}: not ASCII: {l}" for n, l in enumerate(lines, 1) if not l.isascii()]
    if faults:
        sys.exit(f"{destination} from {source}:\n  " + "\n  ".join(faults))
    text = "\r\n".join(lines).encode("ascii") + b"\r\n"
    try:
        with open(destination, "rb") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(destination, "wb") as f:
        f.write(text)


if __name__ == "__main__":
    main()
