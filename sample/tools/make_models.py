#!/usr/bin/env python3
"""Writes the sample demo's models as text X files into sample/models/.

orb.x   a sphere of radius 1 with normals and texture coordinates (the
        vertex layout that the reflection mapping and the radial wobble
        write into), 16 rings of 24 segments.
reed.x  a tapering six-sided stalk, 3 units tall, skinned to a chain of
        three bones that sway it in a loop of 3.84 seconds (four beats of
        the tune at 0.96 seconds each).
"""
import math
import os

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "models")


def num(v):
    text = "%.5f" % v
    text = text.rstrip("0").rstrip(".")
    return "0" if text in ("-0", "") else text


def vectors(items, width):
    """A list of items of `width` numbers, in the X file's text form."""
    rows = [";".join(num(c) for c in item) + ";" for item in items]
    return ",\n".join(rows) + ";"


def faces(items):
    rows = ["%d;%s;" % (len(f), ",".join(str(i) for i in f)) for f in items]
    return ",\n".join(rows) + ";"


def orb():
    rings, segments = 16, 24
    positions, normals, uvs, tris = [], [], [], []
    for r in range(rings + 1):
        theta = math.pi * r / rings
        for s in range(segments + 1):
            phi = 2.0 * math.pi * s / segments
            n = (math.sin(theta) * math.cos(phi), math.cos(theta), math.sin(theta) * math.sin(phi))
            positions.append(n)
            normals.append(n)
            uvs.append((s / segments, r / rings))
    for r in range(rings):
        for s in range(segments):
            a = r * (segments + 1) + s
            b = a + segments + 1
            # Clockwise seen from outside: the front faces of a left-handed
            # world.
            tris.append((a, a + 1, b))
            tris.append((a + 1, b + 1, b))
    return "\n".join([
        "xof 0303txt 0032",
        "Mesh Orb {",
        "%d;" % len(positions), vectors(positions, 3),
        "%d;" % len(tris), faces(tris),
        "MeshNormals {",
        "%d;" % len(normals), vectors(normals, 3),
        "%d;" % len(tris), faces(tris),
        "}",
        "MeshTextureCoords {",
        "%d;" % len(uvs), vectors(uvs, 2),
        "}",
        "}",
        "",
    ])


def quaternion(axis, angle):
    """w, x, y, z of a turn by `angle` about the unit `axis`."""
    s = math.sin(angle * 0.5)
    return (math.cos(angle * 0.5), axis[0] * s, axis[1] * s, axis[2] * s)


def reed():
    sides, levels, height = 6, 12, 3.0
    bones = ["Base", "Middle", "Tip"]
    positions, tris = [], []
    weights = {b: [] for b in bones}
    for l in range(levels + 1):
        y = height * l / levels
        radius = 0.1 * (1.0 - 0.85 * l / levels)
        for s in range(sides):
            a = 2.0 * math.pi * s / sides
            index = len(positions)
            positions.append((radius * math.cos(a), y, radius * math.sin(a)))
            # Bone k stands at height k; a vertex blends the two bones around
            # it by its height between them.
            k = min(int(y), len(bones) - 2)
            t = min(max(y - k, 0.0), 1.0)
            weights[bones[k]].append((index, 1.0 - t))
            weights[bones[k + 1]].append((index, t))
    tip = len(positions)
    positions.append((0.0, height + 0.15, 0.0))
    weights["Tip"].append((tip, 1.0))
    for l in range(levels):
        for s in range(sides):
            a = l * sides + s
            b = l * sides + (s + 1) % sides
            tris.append((a, a + sides, b))
            tris.append((b, a + sides, b + sides))
    top = levels * sides
    for s in range(sides):
        tris.append((top + s, tip, top + (s + 1) % sides))

    lines = ["xof 0303txt 0032", "AnimTicksPerSecond { 10; }", "Frame Reed {"]
    lines += ["  Frame Base { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; }",
              "    Frame Middle { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,1,0,1;; }",
              "      Frame Tip { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,1,0,1;; } }",
              "    }", "  }"]
    lines += ["  Mesh Stalk {", "%d;" % len(positions), vectors(positions, 3),
              "%d;" % len(tris), faces(tris),
              "  MeshMaterialList { 1; %d; %s;;" % (len(tris), ",".join("0" * len(tris))),
              "    Material { 0.25;0.3;0.2;1;; 8; 0;0;0;; 0.02;0.03;0.02;; }", "  }",
              "  XSkinMeshHeader { 2; 3; %d; }" % len(bones)]
    for k, bone in enumerate(bones):
        pairs = weights[bone]
        lines.append('  SkinWeights { "%s"; %d; %s; %s; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,%s,0,1;; }' % (
            bone, len(pairs), ",".join(str(i) for i, _ in pairs),
            ",".join(num(w) for _, w in pairs), num(-k)))
    lines += ["  }", "}"]

    # The sway: each bone leans a little further than the one below it, to
    # and fro along x with a smaller sway along z, over 38.4 ticks.
    lines.append("AnimationSet Sway {")
    keys = 8
    for k, bone in enumerate(bones):
        lean = 0.1 + 0.12 * k
        rows = []
        for i in range(keys + 1):
            a = 2.0 * math.pi * i / keys
            ax, az = math.sin(a) * lean, math.cos(a + k * 0.6) * lean * 0.5
            length = math.hypot(ax, az)
            axis = (az / length, 0.0, -ax / length) if length > 1e-9 else (1.0, 0.0, 0.0)
            q = quaternion(axis, length)
            rows.append("%s;4;%s;;" % (num(38.4 * i / keys), ",".join(num(c) for c in q)))
        lines.append("  Animation { { %s } AnimationKey { 0; %d; %s; } }" % (
            bone, keys + 1, ",".join(rows)))
    lines += ["}", ""]
    return "\n".join(lines)


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, text in (("orb.x", orb()), ("reed.x", reed())):
        with open(os.path.join(OUT, name), "w", newline="\n") as f:
            f.write(text)


if __name__ == "__main__":
    main()
