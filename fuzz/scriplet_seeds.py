#!/usr/bin/env python3
"""Writes the seed corpus and the dictionary for fuzz_scriplet.

Usage: scriplet_seeds.py CORPUS_FOLDER [DICTIONARY]

Seeds: the sample's scriplets, every scriplet that the unit tests compile
(their string literals that read like script code), and one scriplet per
registered function and method that calls it with a row of odd arguments
(zero, negative, huge, NaN and infinite values, empty and missing names,
empty and live handles). The dictionary holds the script API's names, taken
from the registration declarations, the script language's keywords, and
the literals and snippets that make odd arguments. Run from anywhere; paths
are found from this file.
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


# Values each parameter type cycles through in the API seeds. The first of
# each list is a plain value; nan and inf are locals of the seed (the engine
# refuses a division by zero, so they come from sqrt and pow).
ARGUMENTS = {
    "int": ["2", "0", "-1", "2147483647", "(-2147483647 - 1)", "65536", "-65536"],
    "uint": ["1", "0", "4294967295", "65536"],
    "bool": ["true", "false"],
    "float": ["0.5", "nan", "inf", "-inf", "-1.0f", "0.0f", "1e30f", "-1e30f"],
    "double": ["1.0", "0.0", "-1.0", "1e300", "-1e300", "double(nan)", "double(inf)"],
    "string": ['"scene"', '"cb"', '""', '"."', '"tex.bmp"', '"two.fx"', '"quad.x"',
               '"gradient.tx"', '"gradient"', '"a\\0b"', '"pictures"', '"scene"', '"cbr"',
               '"missing.file"'],
    "vector3": ["vector3(1, 2, 3)", "vector3(nan, inf, -inf)", "vector3(0, 0, 0)",
                "vector3(1e30f, -1e30f, 1e30f)"],
    "color": ["color(1, 1, 1, 1)", "color(nan, inf, -1, 1e30f)", "color(0, 0, 0, 0)"],
    "matrix4": ["ident", "nanMatrix", "zeroMatrix"],
}
# Live values of the handle and record types, made once per seed; each
# type also gets an empty (default-constructed) one.
LIVE = {
    "texture": "createRenderTarget(8, 8)",
    "cubeTexture": "createCubeTexture(4)",
    "mesh": "createTeapot()",
    "vertexBuffer": "createMeshPlane(2, 2, \"scene\", \"cb\")",
    "skinnedMesh": "createSkinnedMeshFromFile(\"cube.x\")",
    "effect": "createEffectFromFile(\"two.fx\")",
    "postProcess": "createBlur(32, 24, 1.0)",
}
CONSTRUCTED = {"matrixStack": "", "vectorN": "(12)", "arrayTexture": "(3)", "light": "",
               "material": ""}
PRELUDE = """float zero = 0;
void cb(int w, int h, vectorN v) { v.set(0, 1); v.set4(w * h - 1, 1, 1, 1, 1); }
void cbr() {}
void render(float t) {
  float nan = sqrt(-1.0f), inf = pow(10.0f, 40.0f);
  matrix4 ident; ident.identity();
  matrix4 zeroMatrix;
  matrix4 nanMatrix; nanMatrix.identity(); nanMatrix._11 = nan; nanMatrix._44 = inf;
"""
REGISTRATION = re.compile(
    r'Register(GlobalFunction|ObjectMethod)\(\s*(?:("[^"]*"|\w+)\s*,\s*)?"([^"]*)"')
PARAMETER = re.compile(r"^\s*(const\s+)?(\w+)\s*(&\s*(inout|in|out)?)?\s*\w*\s*$")


def registered_calls():
    """(object type or None, declaration) of every registration in scriptapi/."""
    calls = []
    for path in sorted(glob.glob(os.path.join(ROOT, "scriptapi", "*.cpp"))):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        alias = dict(re.findall(r'const char\* (\w+) = "(\w+)"', text))
        for kind, owner, declaration in REGISTRATION.findall(text):
            if kind == "ObjectMethod":
                owner = owner.strip('"') if owner.startswith('"') else alias.get(owner)
                if not owner or declaration.split("(")[0].split()[-1].startswith("op"):
                    continue
            else:
                owner = None
            calls.append((owner, declaration))
    return calls


def api_seed(owner, declaration):
    """Scriplets calling one function or method with rows of odd arguments:
    one for all rows, or one a row for the loaders, whose missing names end
    the call; none when a parameter has a type the seeds do not make."""
    head, _, rest = declaration.partition("(")
    name = head.split()[-1].lstrip("&")
    params = [p for p in rest.rsplit(")", 1)[0].split(",") if p.strip()]
    lines, locals_, types = [], [], []
    for i, p in enumerate(params):
        m = PARAMETER.match(p)
        if not m:
            return []
        ptype, out = m.group(2), m.group(4) in ("out", "inout")
        if out or ptype not in ARGUMENTS:
            # An lvalue of the type: made live where it can be.
            make = LIVE.get(ptype)
            init = " = " + make if make and not out else CONSTRUCTED.get(ptype, "")
            if ptype not in ARGUMENTS and ptype not in LIVE and ptype not in CONSTRUCTED:
                return []
            locals_.append("  %s arg%d%s;\n" % (ptype, i, init))
        types.append((ptype, out))
    rows = max([len(ARGUMENTS.get(t, [""])) for t, _ in types] + [1])
    targets = [None]
    if owner:
        make = LIVE.get(owner)
        if make:
            locals_.append("  %s live = %s;\n  %s empty;\n" % (owner, make, owner))
            targets = ["live", "empty"]
        else:
            locals_.append("  %s live%s;\n" % (owner, CONSTRUCTED.get(owner, "")))
            targets = ["live"]
    for target in targets:
        for k in range(rows):
            args = []
            for i, (ptype, out) in enumerate(types):
                pool = ARGUMENTS.get(ptype)
                args.append("arg%d" % i if out or not pool else pool[(k + i) % len(pool)])
            call = "%s(%s)" % (name, ", ".join(args))
            lines.append("  %s%s;\n" % (target + "." if target else "", call))
    if "FromFile" in name or name == "startMusic":
        return [PRELUDE + "".join(locals_) + line + "}\n" for line in lines]
    return [PRELUDE + "".join(locals_) + "".join(lines) + "}\n"]


def api_seeds():
    out = []
    for owner, declaration in registered_calls():
        out.extend(api_seed(owner, declaration))
    return out


# Literals and snippets that make odd arguments, for the dictionary.
SNIPPETS = ["2147483647", "-2147483648", "4294967295", "65536", "1e30", "1e300", "-1",
            "sqrt(-1.0f)", "pow(10.0f, 40.0f)", "0.0f", "\"@", "\"scene\"", "\"\"",
            "(int w, int h, vectorN v)", "vectorN(", "texture t = ", "createRenderTarget(",
            "\"tex.bmp\"", "\"two.fx\"", "\"quad.x\"", "\"cube.x\"", "\"gradient.tx\"",
            "_11", "_44", "x", "y", "z", "r", "g", "b", "a"]


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
        # Types registered through the shared handle helpers.
        names.update(re.findall(r'register\w*<[^>]*>\(\s*engine\s*,\s*"(\w+)"', text))
        names.update(re.findall(r'const char\* \w+ = "(\w+)"', text))
        for lit in re.findall(r'"((?:[^"\\\n]|\\.)*)"', text):
            m = DECLARATION.match(lit.strip())
            if m:
                names.add(m.group(1))
    return sorted(n for n in names if len(n) > 1) + SNIPPETS


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for s in seeds() + api_seeds():
        data = s.encode("utf-8")
        with open(os.path.join(folder, hashlib.sha1(data).hexdigest()[:16] + ".as"), "wb") as f:
            f.write(data)
    if len(sys.argv) > 2:
        with open(sys.argv[2], "w", encoding="utf-8") as f:
            f.write("# Names of the script API and keywords of the script language.\n")
            for n in dictionary():
                f.write('"%s"\n' % n.replace("\\", "\\\\").replace('"', '\\"'))


if __name__ == "__main__":
    main()
