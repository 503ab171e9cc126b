#!/usr/bin/env python3
"""Copies C++ sources into a tree of their own with the text of every narrow string and character
literal turned into code page 932 bytes, written as octal escapes.

gcc does this conversion itself (-fexec-charset=CP932); clang accepts only UTF-8 there, so the
fuzz build compiles these copies instead: the bytes the program holds are the same either way.
Comments, identifiers and the other literal forms (u8, u, U, L, raw strings) are left as they
are; every line keeps its number, and a #line directive names the original file, so diagnostics
and stack traces point at the real source.

Usage: cp932_literals.py ROOT OUT FILE...  (FILE relative to ROOT; written below OUT only when
its translation changed, so unchanged files are not rebuilt).
"""
import os
import sys


def escape(text):
    out = []
    for ch in text:
        if ord(ch) < 0x80:
            out.append(ch)
        else:
            out.extend("\\%03o" % b for b in ch.encode("cp932"))
    return "".join(out)


def translate(source):
    out = []
    i = 0
    n = len(source)
    while i < n:
        c = source[i]
        if source.startswith("//", i):
            end = source.find("\n", i)
            end = n if end < 0 else end
            out.append(source[i:end])
            i = end
        elif source.startswith("/*", i):
            end = source.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(source[i:end])
            i = end
        elif c in "\"'":
            # The prefix just before the quote decides what kind of literal this is.
            j = i
            while j > 0 and (source[j - 1].isalnum() or source[j - 1] == "_"):
                j -= 1
            prefix = source[j:i]
            if c == "'" and prefix[:1].isdigit():  # a digit separator: 1'000
                out.append(c)
                i += 1
                continue
            if c == '"' and prefix.endswith("R"):
                delim_end = source.index("(", i)
                closing = ")" + source[i + 1:delim_end] + '"'
                end = source.index(closing, delim_end) + len(closing)
                out.append(source[i:end])
                i = end
                continue
            end = i + 1
            while end < n and source[end] != c:
                end += 2 if source[end] == "\\" else 1
            end += 1
            body = source[i:end]
            narrow = prefix == "" or not prefix[-1:] in ("8", "u", "U", "L")
            out.append(escape(body) if narrow else body)
            i = end
        else:
            out.append(c)
            i += 1
    return "".join(out)


def main(argv):
    root, out_root, files = argv[1], argv[2], argv[3:]
    for rel in files:
        src = os.path.join(root, rel)
        with open(src, encoding="utf-8") as f:
            text = f.read()
        path = os.path.abspath(src).replace("\\", "/")
        result = '#line 1 "%s"\n' % path + translate(text)
        dst = os.path.join(out_root, rel)
        try:
            with open(dst, encoding="utf-8") as f:
                if f.read() == result:
                    continue
        except OSError:
            pass
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "w", encoding="utf-8") as f:
            f.write(result)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
