#!/usr/bin/env python3
"""Writes the OBJ meshes of the example scenes into this folder.

Every polygon (a, b, c, d) faces the side of (b - a) x (c - b), like the
plane and sphere of the scene files, so closed meshes face outward.
Run it again after changing a size: python3 scenes/meshes/make_meshes.py
"""
import math
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def box(points, faces, lo, hi, cell):
    """A closed box from corner lo to corner hi, its six sides split into
    quads no larger than cell, facing outward; corners and edges shared."""
    index = {}

    def point(p):
        key = tuple(round(c, 6) for c in p)
        if key not in index:
            index[key] = len(points)
            points.append(key)
        return index[key]

    # Each side: an origin corner and two edge vectors u, v with u x v outward.
    x0, y0, z0 = lo
    dx, dy, dz = (hi[k] - lo[k] for k in range(3))
    sides = [((x0, y0, z0), (dx, 0, 0), (0, 0, dz)),            # bottom, -Y
             ((x0, y0 + dy, z0), (0, 0, dz), (dx, 0, 0)),       # top, +Y
             ((x0, y0, z0), (0, dy, 0), (dx, 0, 0)),            # back, -Z
             ((x0, y0, z0 + dz), (dx, 0, 0), (0, dy, 0)),       # front, +Z
             ((x0, y0, z0), (0, 0, dz), (0, dy, 0)),            # left, -X
             ((x0 + dx, y0, z0), (0, dy, 0), (0, 0, dz))]       # right, +X
    for o, u, v in sides:
        nu = max(1, math.ceil(max(abs(c) for c in u) / cell))
        nv = max(1, math.ceil(max(abs(c) for c in v) / cell))

        def at(i, j):
            return point(tuple(o[k] + u[k] * i / nu + v[k] * j / nv for k in range(3)))

        # (b - a) x (c - b) of each quad is along u x v.
        for i in range(nu):
            for j in range(nv):
                faces.append((at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)))


def write(name, comment, points, faces):
    with open(os.path.join(HERE, name), "w") as out:
        out.write("# %s\n" % comment)
        for p in points:
            out.write("v %g %g %g\n" % p)
        for f in faces:
            out.write("f %s\n" % " ".join(str(i + 1) for i in f))


def table():
    """Top 160 x 100, 8 thick, its upper face at y = 75; four 5 x 5 legs.

    The faces are split into quads of 8 units at most: a mesh collider
    catches points a little beyond a triangle's edges (5 % of the triangle's
    size), and small faces keep that margin small."""
    points, faces = [], []
    box(points, faces, (-80, 67, -50), (80, 75, 50), 8)
    for x in (-72, 67):
        for z in (-45, 40):
            box(points, faces, (x, 0, z), (x + 5, 67, z + 5), 8)
    write("table.obj", "Table: top 160 x 100 with its upper face at y = 75, four legs; outward faces", points, faces)


def bag_panels():
    """Two panels of 20 x 30 cells, 100 wide and 150 tall, facing each other:
    the front panel faces +Z, the back one -Z. Each bulges away from the
    other toward its middle and its top, so the pair already has the shape
    of a sack, and its side and bottom borders lie 10 apart, ready to be
    sewn. Point (i, j) of the front panel (i = 0..20 from left to right,
    j = 0..30 from top to bottom) has the index j * 21 + i; the back panel's
    points follow, with the index 651 + j * 21 + i."""
    nx, ny, width, height = 20, 30, 100.0, 150.0
    points, faces = [], []
    for side in (1, -1):
        base = len(points)
        for j in range(ny + 1):
            for i in range(nx + 1):
                bulge = 25.0 * math.sin(math.pi * i / nx) * (1.0 - (j / ny) ** 2)
                points.append((-width / 2 + width * i / nx, height * (1 - j / ny), side * (5.0 + bulge)))
        for j in range(ny):
            for i in range(nx):
                a, b = base + j * (nx + 1) + i, base + (j + 1) * (nx + 1) + i
                quad = (a, b, b + 1, a + 1) if side > 0 else (a, a + 1, b + 1, b)
                faces.append(quad)
    write("bag_panels.obj", "Two facing panels of a bag, 100 x 150 each, borders 10 apart; outward faces", points, faces)


if __name__ == "__main__":
    table()
    bag_panels()
