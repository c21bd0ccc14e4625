#!/usr/bin/python3
"""Writes ryvo-send's manual page (gzip-compressed roff) from its --help text, so that the two
never disagree.

    help_to_man.py BINARY VERSION OUTPUT

The help text's shape: a "usage:" line; paragraphs at the left margin; headings ending in ":"
followed by indented items ("  TERM   description", continued further indented) or indented
paragraphs. Headings whose items are options go under OPTIONS."""

import gzip
import re
import subprocess
import sys

HEADING = re.compile(r"^(?P<name>[A-Z][^():]*?)\s*(?:\((?P<note>.*)\))?:$")
ITEM = re.compile(r"^  (?P<term>\S.*?)\s{2,}(?P<text>\S.*)$")


def roff(text):
    """Escapes text for roff: backslashes, minus signs, and a control character at line start."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def blocks(lines):
    block = []
    for line in lines:
        if line.strip():
            block.append(line.rstrip())
        elif block:
            yield block
            block = []
    if block:
        yield block


def section_body(block):
    """The roff of a heading's indented lines: tagged items and plain paragraphs."""
    out = []
    in_paragraph = False
    for line in block:
        item = None if in_paragraph else ITEM.match(line)
        if item:
            out += [".TP", ".B " + roff(item.group("term")), roff(item.group("text"))]
        elif line.startswith("   ") and not in_paragraph:
            out.append(roff(line.strip()))
        else:
            if not in_paragraph:
                out.append(".PP")
                in_paragraph = True
            out.append(roff(line.strip()))
    return out


def in_description(out):
    return next(line for line in reversed(out) if line.startswith(".SH ")) == ".SH DESCRIPTION"


def to_man(help_text, version):
    lines = help_text.splitlines()
    usage = lines[0]
    if not usage.startswith("usage: "):
        raise ValueError("the help text does not start with a usage line")
    command, _, arguments = usage[len("usage: "):].partition(" ")
    rest = list(blocks(lines[1:]))
    summary = " ".join(rest[0]).split(":")[0].split(".")[0]
    summary = summary[0].lower() + summary[1:]
    out = [
        f'.TH {command.upper()} 1 "" "ryvo-obs {version}" "User Commands"',
        ".SH NAME",
        f"{roff(command)} \\- {roff(summary)}",
        ".SH SYNOPSIS",
        f".B {roff(command)}",
        roff(arguments),
        ".SH DESCRIPTION",
    ]
    in_options = False
    in_notes = False
    for block in rest:
        heading = HEADING.match(block[0])
        if heading is None:
            # A paragraph after a heading's section no longer belongs to it.
            if not in_notes and not in_description(out):
                out.append(".SH NOTES")
                in_notes = True
                in_options = False
            out.append(".PP")
            out += [roff(line.strip()) for line in block]
            continue
        in_notes = False
        body = block[1:]
        if body and body[0].lstrip().startswith("-"):
            if not in_options:
                out.append(".SH OPTIONS")
                in_options = True
            out.append(".SS " + roff(heading.group("name")))
        else:
            in_options = False
            out.append(".SH " + roff(heading.group("name").upper()))
        if heading.group("note"):
            out += [".PP", roff(heading.group("note")[0].upper() + heading.group("note")[1:] + ".")]
        out += section_body(body)
    return "\n".join(out) + "\n"


def main(binary, version, output):
    help_text = subprocess.run([binary, "--help"], capture_output=True, text=True, check=True,
                               timeout=30).stdout
    # mtime 0 keeps the compressed page the same from one build to the next.
    with open(output, "wb") as raw, gzip.GzipFile(filename="", fileobj=raw, mode="wb",
                                                  compresslevel=9, mtime=0) as packed:
        packed.write(to_man(help_text, version).encode())


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: help_to_man.py BINARY VERSION OUTPUT")
    main(*sys.argv[1:])
