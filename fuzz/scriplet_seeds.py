#!/usr/bin/env python3
"""Writes the seed corpus and the dictionary for fuzz_scriplet.

Usage: scriplet_seeds.py CORPUS_FOLDER [DICTIONARY]

Seeds: the sample's scriplets, and every scriplet that the unit tests
compile (their string literals that read like script code). The dictionary
holds the script API's names, taken from the registration declarations, and
the script language's keywords. Run from anywhere; paths are found from this
file.
"""
import ast
import glob
import hashlib
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# One C++ string literal: raw or ordinary.
LITERAL = re.compile(r'R"([^(\s]*)\((.*?)\)\1"|"((?:[^"\\\n]|\\.)*)"', re.S)
# Literals separated only by blanks and comments are one string.
GAP = re.compile(r'^(\s|//[^\n]*\n)*$')


def cpp_strings(text):
    """Yields the strings of the file, adjacent literals joined."""
    current, end = None, None
    for m in LITERAL.finditer(text):
        if m.group(2) is not None:
            value = m.group(2)
        else:
            try:
                value = ast.literal_eval('"' + m.group(3) + '"')
            except (ValueError, SyntaxError):
                value = m.group(3)
        if current is not None and GAP.match(text[end:m.start()]):
            current += value
        else:
            if current is not None:
                yield current
            current = value
        end = m.end()
    if current is not None:
        yield current


def looks_like_scriplet(s):
    return len(s) > 24 and ("void " in s or ";" in s) and ("{" in s or ";\n" in s)


def seeds():
    out = []
    for path in sorted(glob.glob(os.path.join(ROOT, "sample", "**", "*.as"), recursive=True)):
        with open(path, encoding="utf-8") as f:
            out.append(f.read())
    for path in sorted(glob.glob(os.path.join(ROOT, "tests", "*.cpp")) +
                       glob.glob(os.path.join(ROOT, "tests", "*.h"))):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        if "compile" not in text and "build(" not in text:
            continue
        for s in cpp_strings(text):
            if looks_like_scriplet(s):
                if "void render(" not in s:
                    s += "\nvoid render(float t) {}\n"
                out.append(s)
    return out


IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
DECLARATION = re.compile(r"^[\w@&<>\s]+\s[@&]?(\w+)\s*\(.*\)\s*(const)?$")
KEYWORDS = ("void int uint float double bool string const in out inout if else for while do "
            "return break continue true false null class enum funcdef switch case default "
            "extern assert").split()


def dictionary():
    names = set(KEYWORDS)
    for path in glob.glob(os.path.join(ROOT, "scriptapi", "*.cpp")) + \
            glob.glob(os.path.join(ROOT, "runtime", "Script*.cpp")):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        # Declarations passed straight to a Register call, and the ones kept
        # in tables: any literal that reads "type name(...)".
        for m in re.finditer(r'Register(?:Global|Object)\w*\(\s*((?:"(?:[^"\\]|\\.)*"\s*,?\s*)+)', text):
            for lit in re.findall(r'"((?:[^"\\]|\\.)*)"', m.group(1)):
                names.update(IDENT.findall(lit))
        for lit in re.findall(r'"((?:[^"\\\n]|\\.)*)"', text):
            m = DECLARATION.match(lit.strip())
            if m:
                names.add(m.group(1))
    return sorted(n for n in names if len(n) > 1)


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for s in seeds():
        data = s.encode("utf-8")
        with open(os.path.join(folder, hashlib.sha1(data).hexdigest()[:16] + ".as"), "wb") as f:
            f.write(data)
    if len(sys.argv) > 2:
        with open(sys.argv[2], "w", encoding="utf-8") as f:
            f.write("# Names of the script API and keywords of the script language.\n")
            for n in dictionary():
                f.write('"%s"\n' % n)


if __name__ == "__main__":
    main()
