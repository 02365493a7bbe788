#!/usr/bin/env python3
"""Generate the low-poly sample models shipped in tavik/ (car.glb, tree.glb ...).

Every model is built procedurally from boxes, cylinders, cones, prisms and
spheres, then written as a binary glTF 2.0 file (.glb) with nothing but the
Python standard library (struct + json).  No external assets are used.

How to regenerate (any Python 3.8+, no third-party packages needed):

    python3 tools/make_models.py            # writes tavik/<name>.glb
    python3 tools/make_models.py -o DIR     # write somewhere else
    python3 tools/make_models.py car ball   # only some models

The output is deterministic: every run produces byte-identical files.

Conventions
-----------
* Geometry is authored here in Panda3D's frame (Z up, X right, -Y towards
  the default camera) and converted to glTF's Y-up frame when written:
  glTF (x, y, z) = (x, z, -y).  Panda3D's glTF loader (panda3d-gltf) converts
  it back, so a loaded model stands upright along +Z.
* Every model rests on the ground with its lowest point at z = 0, except
  the ball, which is centred on the origin.
* The "front" of each model (car headlights, robot face, house door, rocket
  window, star face) points to -Y in Panda3D, which is +Z in glTF, the front
  direction the glTF format recommends.  That is the side the default
  Panda3D camera (looking along +Y) sees.
* One material per colour (metallic 0, roughness 0.8); the mesh has one
  primitive per colour.  Colours are stored as the values they should have
  on screen in Panda3D's default (non-sRGB) renderer.
* Every vertex also carries COLOR_0 (RGBA bytes): the part colour with
  lighting baked in from a fixed sun (see ``shade``).  A Panda3D scene
  without lights draws these, so models are coloured and read as solids
  even unlit; once lights are added, the fixed-function pipeline uses the
  material colour instead.  (Viewers that follow the glTF rule "base colour
  times COLOR_0" show the models darker than Panda3D does.)
* Flat normals give the faceted low-poly look; the ball uses smooth normals,
  so its baked shading varies per vertex.
"""

import argparse
import json
import math
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUT = os.path.normpath(os.path.join(HERE, os.pardir, "tavik"))

# ---------------------------------------------------------------------------
# small vector helpers
# ---------------------------------------------------------------------------


def sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1],
            a[2] * b[0] - a[0] * b[2],
            a[0] * b[1] - a[1] * b[0])


def dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def normalize(v):
    length = math.sqrt(dot(v, v))
    if length == 0.0:
        return (0.0, 0.0, 1.0)
    return (v[0] / length, v[1] / length, v[2] / length)


# ---------------------------------------------------------------------------
# Part: a closed triangle soup of a single colour
# ---------------------------------------------------------------------------


class Part:
    """A list of triangles (counter-clockwise seen from outside).

    ``normals`` is None for flat shading, otherwise a per-vertex normal list
    parallel to ``tris``.
    """

    def __init__(self, tris, normals=None):
        self.tris = [tuple(tuple(float(c) for c in p) for p in t) for t in tris]
        self.normals = normals

    def remap(self, fpos, fnorm):
        self.tris = [tuple(fpos(p) for p in t) for t in self.tris]
        if self.normals is not None:
            self.normals = [tuple(normalize(fnorm(n)) for n in t)
                            for t in self.normals]
        return self

    def translate(self, dx=0.0, dy=0.0, dz=0.0):
        return self.remap(lambda p: (p[0] + dx, p[1] + dy, p[2] + dz),
                         lambda n: n)

    def scale(self, sx, sy=None, sz=None):
        sy = sx if sy is None else sy
        sz = sx if sz is None else sz
        return self.remap(lambda p: (p[0] * sx, p[1] * sy, p[2] * sz),
                         lambda n: (n[0] / sx, n[1] / sy, n[2] / sz))

    def rotate(self, axis, degrees):
        c = math.cos(math.radians(degrees))
        s = math.sin(math.radians(degrees))
        if axis == "x":
            f = lambda p: (p[0], c * p[1] - s * p[2], s * p[1] + c * p[2])
        elif axis == "y":
            f = lambda p: (c * p[0] + s * p[2], p[1], -s * p[0] + c * p[2])
        else:
            f = lambda p: (c * p[0] - s * p[1], s * p[0] + c * p[1], p[2])
        return self.remap(f, f)

    def signed_volume(self):
        return sum(dot(a, cross(b, c)) for a, b, c in self.tris) / 6.0


# ---------------------------------------------------------------------------
# primitive shapes (all closed, outward facing)
# ---------------------------------------------------------------------------


def box(cx, cy, cz, sx, sy, sz):
    """Axis-aligned box centred on (cx, cy, cz) with edge lengths sx, sy, sz."""
    x0, x1 = cx - sx / 2, cx + sx / 2
    y0, y1 = cy - sy / 2, cy + sy / 2
    z0, z1 = cz - sz / 2, cz + sz / 2
    quads = [
        ((x0, y0, z0), (x1, y0, z0), (x1, y0, z1), (x0, y0, z1)),  # -Y
        ((x1, y1, z0), (x0, y1, z0), (x0, y1, z1), (x1, y1, z1)),  # +Y
        ((x1, y0, z0), (x1, y1, z0), (x1, y1, z1), (x1, y0, z1)),  # +X
        ((x0, y1, z0), (x0, y0, z0), (x0, y0, z1), (x0, y1, z1)),  # -X
        ((x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)),  # +Z
        ((x0, y1, z0), (x1, y1, z0), (x1, y0, z0), (x0, y0, z0)),  # -Z
    ]
    tris = []
    for a, b, c, d in quads:
        tris += [(a, b, c), (a, c, d)]
    return Part(tris)


def frustum(r0, r1, height, segments, z0=0.0, phase=0.0):
    """Cylinder / truncated cone along +Z from z0, bottom radius r0, top r1.

    r1 == 0 gives a cone.  ``phase`` rotates the ring (in units of a segment).
    """
    def ring(r, z):
        pts = []
        for i in range(segments):
            a = 2 * math.pi * (i + phase) / segments
            pts.append((r * math.cos(a), r * math.sin(a), z))
        return pts

    z1 = z0 + height
    bottom = ring(r0, z0)
    cb = (0.0, 0.0, z0)
    tris = []
    for i in range(segments):
        j = (i + 1) % segments
        tris.append((cb, bottom[j], bottom[i]))                 # bottom cap
    if r1 <= 0.0:
        apex = (0.0, 0.0, z1)
        for i in range(segments):
            j = (i + 1) % segments
            tris.append((bottom[i], bottom[j], apex))
    else:
        top = ring(r1, z1)
        ct = (0.0, 0.0, z1)
        for i in range(segments):
            j = (i + 1) % segments
            tris.append((ct, top[i], top[j]))                  # top cap
            tris.append((bottom[i], bottom[j], top[j]))        # side
            tris.append((bottom[i], top[j], top[i]))
    return Part(tris)


def cylinder(r, height, segments, z0=0.0, phase=0.0):
    return frustum(r, r, height, segments, z0, phase)


def cone(r, height, segments, z0=0.0, phase=0.0):
    return frustum(r, 0.0, height, segments, z0, phase)


def prism(polygon, depth):
    """Extrude a star-shaped 2D polygon (in the XY plane)
    along +Z from z = 0 to z = depth."""
    n = len(polygon)
    area2 = sum(polygon[i][0] * polygon[(i + 1) % n][1]
                - polygon[(i + 1) % n][0] * polygon[i][1] for i in range(n))
    if area2 < 0:
        polygon = list(reversed(polygon))
    cx = sum(p[0] for p in polygon) / n
    cy = sum(p[1] for p in polygon) / n
    lo = [(x, y, 0.0) for x, y in polygon]
    hi = [(x, y, depth) for x, y in polygon]
    tris = []
    for i in range(n):
        j = (i + 1) % n
        tris.append(((cx, cy, depth), hi[i], hi[j]))
        tris.append(((cx, cy, 0.0), lo[j], lo[i]))
        tris.append((lo[i], lo[j], hi[j]))
        tris.append((lo[i], hi[j], hi[i]))
    return Part(tris)


def uv_sphere(radius, segments, rings, smooth=True, seg_range=None):
    """Sphere centred on the origin.  ``seg_range`` = (first, count) keeps
    only some of the longitudinal segments (used for coloured gores)."""
    def point(ring, seg):
        theta = math.pi * ring / rings            # 0 at the north pole
        phi = 2 * math.pi * seg / segments
        return (math.sin(theta) * math.cos(phi),
                math.sin(theta) * math.sin(phi),
                math.cos(theta))

    first, count = seg_range if seg_range else (0, segments)
    tris, norms = [], []
    for s in range(first, first + count):
        for r in range(rings):
            a, b = point(r, s), point(r, s + 1)
            c, d = point(r + 1, s + 1), point(r + 1, s)
            if r == 0:                      # north pole: a == b
                quad = [(a, d, c)]
            elif r == rings - 1:            # south pole: c == d
                quad = [(a, c, b)]
            else:
                quad = [(a, d, c), (a, c, b)]
            for t in quad:
                tris.append(tuple((p[0] * radius, p[1] * radius, p[2] * radius)
                                  for p in t))
                norms.append(t)
    return Part(tris, norms if smooth else None)


# ---------------------------------------------------------------------------
# the models
# ---------------------------------------------------------------------------

# colour palette (display values, 0..1)
RED = (0.86, 0.14, 0.12)
DARK_RED = (0.55, 0.08, 0.07)
ORANGE = (1.0, 0.55, 0.1)
YELLOW = (1.0, 0.85, 0.15)
GOLD = (1.0, 0.78, 0.1)
GREEN = (0.2, 0.62, 0.22)
DARK_GREEN = (0.12, 0.45, 0.18)
BLUE = (0.18, 0.42, 0.86)
GLASS = (0.6, 0.82, 0.96)
CYAN = (0.25, 0.9, 1.0)
WHITE = (0.94, 0.94, 0.94)
CREAM = (0.96, 0.88, 0.68)
BROWN = (0.5, 0.3, 0.14)
DARK_BROWN = (0.33, 0.2, 0.1)
TIRE = (0.13, 0.13, 0.14)
GREY = (0.62, 0.62, 0.64)
STEEL = (0.62, 0.7, 0.82)
SLATE = (0.32, 0.36, 0.46)
DARK = (0.18, 0.18, 0.2)


def model_car():
    parts = []
    parts.append(("body", RED, box(0, 0, 0.45, 1.0, 2.0, 0.45)))
    parts.append(("body", RED, box(0, 0.15, 0.9, 0.84, 1.0, 0.45)))   # cabin
    # windows on the cabin (cabin spans y -0.35..0.65, x +-0.42, z .675..1.125)
    parts.append(("glass", GLASS, box(0, -0.36, 0.91, 0.72, 0.03, 0.3)))
    parts.append(("glass", GLASS, box(0, 0.66, 0.91, 0.72, 0.03, 0.3)))
    for sx in (-1, 1):
        parts.append(("glass", GLASS, box(sx * 0.425, 0.15, 0.91,
                                          0.03, 0.8, 0.28)))
    for sx in (-1, 1):
        for wy in (-0.62, 0.62):
            wheel = cylinder(0.25, 0.22, 12).rotate("y", 90)
            wheel.translate(sx * 0.39 if sx > 0 else -0.39 - 0.22, wy, 0.25)
            parts.append(("tire", TIRE, wheel))
            hub = cylinder(0.12, 0.03, 8).rotate("y", 90)
            hub.translate(0.61 if sx > 0 else -0.64, wy, 0.25)
            parts.append(("hub", GREY, hub))
    for sx in (-1, 1):
        parts.append(("headlight", YELLOW, box(sx * 0.32, -1.01, 0.52,
                                               0.2, 0.04, 0.12)))
        parts.append(("taillight", ORANGE, box(sx * 0.32, 1.01, 0.52,
                                               0.2, 0.04, 0.1)))
    parts.append(("bumper", DARK, box(0, -1.02, 0.3, 0.9, 0.06, 0.1)))
    parts.append(("bumper", DARK, box(0, 1.02, 0.3, 0.9, 0.06, 0.1)))
    return parts


def model_tree():
    parts = [("trunk", BROWN, cylinder(0.16, 0.8, 8))]
    for r, z0, h, col, name in ((0.85, 0.6, 1.0, DARK_GREEN, "leaves_low"),
                                (0.68, 1.15, 0.9, GREEN, "leaves"),
                                (0.48, 1.65, 0.85, GREEN, "leaves")):
        parts.append((name, col, cone(r, h, 8, z0=z0, phase=0.5)))
    return parts


def model_house():
    parts = [("wall", CREAM, box(0, 0, 0.6, 2.0, 1.5, 1.2))]
    # roof: triangle in the (y, z) plane extruded along X
    roof = prism([(-0.95, 1.15), (0.95, 1.15), (0.0, 2.0)], 2.2)
    # prism extrudes along +Z from polygon in XY: map (x, y, z) -> (z, x, y)
    roof.remap(lambda p: (p[2] - 1.1, p[0], p[1]), lambda n: n)
    parts.append(("roof", RED, roof))
    parts.append(("chimney", DARK_RED, box(0.55, 0.3, 1.75, 0.25, 0.25, 0.6)))
    parts.append(("door", BROWN, box(0, -0.765, 0.42, 0.42, 0.04, 0.84)))
    parts.append(("knob", YELLOW, box(0.13, -0.79, 0.42, 0.06, 0.03, 0.06)))
    for wx in (-0.62, 0.62):
        parts.append(("window", GLASS, box(wx, -0.765, 0.75, 0.38, 0.04, 0.36)))
    for sx in (-1, 1):
        parts.append(("window", GLASS, box(sx * 1.015, 0, 0.7, 0.04, 0.5, 0.4)))
    return parts


def model_robot():
    parts = []
    for sx in (-1, 1):
        parts.append(("limb", SLATE, box(sx * 0.2, 0, 0.36, 0.24, 0.28, 0.5)))
        parts.append(("foot", DARK, box(sx * 0.2, -0.05, 0.06, 0.3, 0.42, 0.12)))
        parts.append(("limb", SLATE, box(sx * 0.56, 0, 1.0, 0.2, 0.24, 0.62)))
        parts.append(("hand", DARK, box(sx * 0.56, 0, 0.6, 0.22, 0.22, 0.18)))
    parts.append(("metal", STEEL, box(0, 0, 1.0, 0.9, 0.55, 0.8)))       # body
    parts.append(("panel", YELLOW, box(0, -0.285, 1.12, 0.42, 0.03, 0.26)))
    parts.append(("button", RED, box(-0.1, -0.285, 0.82, 0.1, 0.04, 0.1)))
    parts.append(("light", CYAN, box(0.1, -0.285, 0.82, 0.1, 0.04, 0.1)))
    parts.append(("limb", SLATE, cylinder(0.1, 0.1, 8, z0=1.4)))        # neck
    parts.append(("metal", STEEL, box(0, 0, 1.725, 0.62, 0.5, 0.45)))  # head
    for sx in (-1, 1):
        eye = cylinder(0.08, 0.04, 10).rotate("x", 90)   # axis -> -Y
        eye.translate(sx * 0.15, -0.245, 1.78)
        parts.append(("light", CYAN, eye))
    parts.append(("mouth", DARK, box(0, -0.26, 1.6, 0.3, 0.03, 0.05)))
    parts.append(("limb", SLATE, cylinder(0.03, 0.25, 6, z0=1.95)))
    ball = uv_sphere(0.08, 8, 6, smooth=False).translate(0, 0, 2.24)
    parts.append(("button", RED, ball))
    return parts


def model_rocket():
    parts = [
        ("hull", WHITE, cylinder(0.35, 1.9, 12, z0=0.3, phase=0.5)),
        ("nose", RED, cone(0.35, 0.75, 12, z0=2.2, phase=0.5)),
        ("nose", RED, cylinder(0.36, 0.1, 12, z0=0.7, phase=0.5)),
        ("nozzle", DARK, frustum(0.22, 0.28, 0.3, 12, z0=0.0, phase=0.5)),
    ]
    window = cylinder(0.13, 0.06, 12).rotate("x", 90)         # faces -Y
    window.translate(0, -0.33, 1.65)
    parts.append(("window", BLUE, window))
    rim = cylinder(0.16, 0.04, 12).rotate("x", 90)
    rim.translate(0, -0.32, 1.65)
    parts.append(("hull", GREY, rim))
    for k in range(4):
        # fin profile in the (r, z) plane, thickness along the third axis
        fin = prism([(0.25, 0.0), (0.75, 0.0), (0.25, 1.05)], 0.06)
        fin.remap(lambda p: (p[0], p[2] - 0.03, p[1]), lambda n: n)
        # the map above swaps y/z (a mirror); flip triangles back outward
        fin.tris = [(a, c, b) for a, b, c in fin.tris]
        fin.rotate("z", 45 + 90 * k)
        parts.append(("nose", RED, fin))
    return parts


def model_ball():
    colours = [("red", RED), ("yellow", YELLOW), ("blue", BLUE),
               ("white", WHITE), ("green", GREEN), ("orange", ORANGE)]
    parts = []
    per = 3
    for i, (name, col) in enumerate(colours):
        parts.append((name, col, uv_sphere(0.5, per * len(colours), 12,
                                           smooth=True,
                                           seg_range=(i * per, per))))
    return parts


def model_star():
    outer, inner, depth = 0.7, 0.3, 0.17
    outline = []
    for i in range(10):
        a = math.radians(90 + 36 * i)
        r = outer if i % 2 == 0 else inner
        outline.append((r * math.cos(a), 0.0, r * math.sin(a)))
    front, back = (0.0, -depth, 0.0), (0.0, depth, 0.0)
    tris = []
    for i in range(10):
        p, q = outline[i], outline[(i + 1) % 10]
        # the outline runs counter-clockwise as seen from -Y
        tris.append((front, p, q))
        tris.append((back, q, p))
    star = Part(tris)
    lowest = min(p[2] for t in star.tris for p in t)
    star.translate(0, 0, -lowest)
    return [("star", GOLD, star)]


def model_tower():
    parts = [
        ("stone", GREY, cylinder(0.6, 2.2, 10)),
        ("stone", GREY, cylinder(0.7, 0.12, 10, z0=2.2)),
        ("roof", RED, cone(0.78, 1.0, 10, z0=2.32)),
        ("door", DARK_BROWN, box(0, -0.575, 0.4, 0.34, 0.08, 0.8)),
        ("pole", DARK, cylinder(0.025, 0.5, 6, z0=3.2)),
    ]
    for z in (1.25, 1.85):
        parts.append(("slit", DARK, box(0, -0.575, z, 0.12, 0.08, 0.3)))
    flag = prism([(0.0, 3.45), (0.0, 3.7), (0.35, 3.575)], 0.02)
    flag.remap(lambda p: (p[0] + 0.02, p[2] - 0.01, p[1]), lambda n: n)
    flag.tris = [(a, c, b) for a, b, c in flag.tris]
    parts.append(("flag", YELLOW, flag))
    return parts


MODELS = {
    "car": model_car,
    "tree": model_tree,
    "house": model_house,
    "robot": model_robot,
    "rocket": model_rocket,
    "ball": model_ball,
    "star": model_star,
    "tower": model_tower,
}

# ---------------------------------------------------------------------------
# glTF 2.0 binary writer
# ---------------------------------------------------------------------------

FLOAT, UBYTE, USHORT, UINT = 5126, 5121, 5123, 5125
ARRAY_BUFFER, ELEMENT_ARRAY_BUFFER = 34962, 34963


def to_gltf(v):
    """Panda3D Z-up (x, y, z) -> glTF Y-up (x, z, -y)."""
    return (v[0], v[2], -v[1])


def f32(x):
    """Round to 6 decimals, then to the float32 value actually stored."""
    x = round(x, 6) + 0.0          # + 0.0 turns -0.0 into 0.0
    return struct.unpack("<f", struct.pack("<f", x))[0]


# Baked lighting.  Panda3D renders a scene without lights unlit, and its
# fixed-function pipeline then ignores glTF material colours; the vertex
# colours are what shows.  Shading them once here by a fixed sun keeps the
# faces of a low-poly model apart, so it still reads as a solid.
LIGHT_DIR = normalize((0.4, -0.6, 0.7))     # Panda3D frame: above, front, right
AMBIENT = 0.58
DIFFUSE = 1.0 - AMBIENT                     # a face turned to the sun gets 1.0


def shade(colour, normal):
    """Baked vertex colour (RGBA bytes) of ``colour`` on a surface facing
    ``normal`` (Panda3D frame)."""
    k = AMBIENT + DIFFUSE * max(0.0, dot(normal, LIGHT_DIR))
    return tuple(min(255, int(round(c * k * 255.0))) for c in colour) + (255,)


def build_primitive(parts, colour):
    """Merge same-coloured parts into indexed vertex data."""
    index_of = {}
    positions, normals, colours, indices = [], [], [], []
    for part in parts:
        for ti, tri in enumerate(part.tris):
            if part.normals is None:
                n = normalize(cross(sub(tri[1], tri[0]), sub(tri[2], tri[0])))
                tri_normals = (n, n, n)
            else:
                tri_normals = part.normals[ti]
            for p, n in zip(tri, tri_normals):
                gp = tuple(f32(c) for c in to_gltf(p))
                gn = tuple(f32(c) for c in to_gltf(n))
                key = gp + gn
                idx = index_of.get(key)
                if idx is None:
                    idx = len(positions)
                    index_of[key] = idx
                    positions.append(gp)
                    normals.append(gn)
                    colours.append(shade(colour, n))
                indices.append(idx)
    return positions, normals, colours, indices


def pad4(data, fill=b"\0"):
    return data + fill * (-len(data) % 4)


def write_glb(name, parts, path):
    # group parts by material, keeping first-seen order
    groups = {}
    for mat_name, colour, part in parts:
        vol = part.signed_volume()
        if vol <= 0.0:
            raise ValueError("%s/%s: part is inside out (volume %g)"
                             % (name, mat_name, vol))
        key = (mat_name, colour)
        groups.setdefault(key, []).append(part)

    blob = bytearray()
    buffer_views, accessors, materials, primitives = [], [], [], []

    def add_view(data, target):
        while len(blob) % 4:
            blob.append(0)
        buffer_views.append({"buffer": 0, "byteOffset": len(blob),
                             "byteLength": len(data), "target": target})
        blob.extend(data)
        return len(buffer_views) - 1

    for (mat_name, colour), group in groups.items():
        positions, normals, colours, indices = build_primitive(group, colour)
        pos_data = b"".join(struct.pack("<3f", *p) for p in positions)
        nrm_data = b"".join(struct.pack("<3f", *n) for n in normals)
        col_data = b"".join(struct.pack("<4B", *c) for c in colours)
        if len(positions) < 65536:
            idx_type, idx_data = USHORT, struct.pack("<%dH" % len(indices),
                                                     *indices)
        else:
            idx_type, idx_data = UINT, struct.pack("<%dI" % len(indices),
                                                   *indices)
        accessors.append({
            "bufferView": add_view(pos_data, ARRAY_BUFFER),
            "componentType": FLOAT, "count": len(positions), "type": "VEC3",
            "min": [min(p[i] for p in positions) for i in range(3)],
            "max": [max(p[i] for p in positions) for i in range(3)],
        })
        pos_acc = len(accessors) - 1
        accessors.append({
            "bufferView": add_view(nrm_data, ARRAY_BUFFER),
            "componentType": FLOAT, "count": len(normals), "type": "VEC3",
        })
        nrm_acc = len(accessors) - 1
        accessors.append({
            "bufferView": add_view(col_data, ARRAY_BUFFER),
            "componentType": UBYTE, "normalized": True,
            "count": len(colours), "type": "VEC4",
        })
        col_acc = len(accessors) - 1
        accessors.append({
            "bufferView": add_view(idx_data, ELEMENT_ARRAY_BUFFER),
            "componentType": idx_type, "count": len(indices), "type": "SCALAR",
        })
        idx_acc = len(accessors) - 1
        # baseColorFactor repeats the part colour: under lights Panda3D's
        # fixed-function pipeline takes the material colour and ignores the
        # baked vertex colours, so a lit model shades as before instead of
        # turning white (a white factor) or being shaded twice (no factor).
        materials.append({
            "name": mat_name,
            "pbrMetallicRoughness": {
                "baseColorFactor": [round(c, 4) for c in colour] + [1.0],
                "metallicFactor": 0.0,
                "roughnessFactor": 0.8,
            },
        })
        primitives.append({
            "attributes": {"POSITION": pos_acc, "NORMAL": nrm_acc,
                           "COLOR_0": col_acc},
            "indices": idx_acc,
            "material": len(materials) - 1,
            "mode": 4,
        })

    while len(blob) % 4:
        blob.append(0)
    doc = {
        "asset": {"version": "2.0", "generator": "tavik tools/make_models.py"},
        "scene": 0,
        "scenes": [{"name": name, "nodes": [0]}],
        "nodes": [{"name": name, "mesh": 0}],
        "meshes": [{"name": name, "primitives": primitives}],
        "materials": materials,
        "accessors": accessors,
        "bufferViews": buffer_views,
        "buffers": [{"byteLength": len(blob)}],
    }
    json_chunk = pad4(json.dumps(doc, separators=(",", ":")).encode("utf-8"),
                      b" ")
    bin_chunk = bytes(blob)
    total = 12 + 8 + len(json_chunk) + 8 + len(bin_chunk)
    out = bytearray()
    out += struct.pack("<4sII", b"glTF", 2, total)
    out += struct.pack("<I4s", len(json_chunk), b"JSON") + json_chunk
    out += struct.pack("<I4s", len(bin_chunk), b"BIN\0") + bin_chunk
    with open(path, "wb") as fh:
        fh.write(out)
    return len(out)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("names", nargs="*", help="models to build (default: all)")
    ap.add_argument("-o", "--outdir", default=DEFAULT_OUT,
                    help="output directory (default: tavik/)")
    args = ap.parse_args(argv)
    names = args.names or list(MODELS)
    unknown = [n for n in names if n not in MODELS]
    if unknown:
        sys.exit("unknown model(s): %s; choose from %s"
                 % (", ".join(unknown), ", ".join(MODELS)))
    os.makedirs(args.outdir, exist_ok=True)
    for name in names:
        path = os.path.join(args.outdir, name + ".glb")
        size = write_glb(name, MODELS[name](), path)
        print("wrote %s (%d bytes)" % (path, size))


if __name__ == "__main__":
    main()
