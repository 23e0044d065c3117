"""Builds a drapeon scene file from the objects of a Blender scene.

Axes and units: Blender is Z-up, drapeon Y-up. A Blender world point p is
drapeon's `unit_scale * R @ p`, where R turns Blender's +Z to drapeon's +Y
(a quarter turn about X). Placements are written as rigid motions (position
and rotation); an object's scale goes into its mesh points, because drapeon
builds a cloth's springs from its points as they stand.

- A cloth's drapeon axes are its Blender axes, so drapeon's point cache of
  it holds Blender's object coordinates times the scale (`unit_scale` times
  the object's own scale), which Simulate divides out again.
- A collider, force or constraint object keeps the meaning of its axes in
  Blender's terms: a plane collider faces the object's Z axis, gravity pulls
  along the object's -Z, wind blows along its X axis; a capsule's axis is
  the object's Z axis.

Frames: drapeon simulates from frame 0, Blender from the scene's start
frame; drapeon's frame k is Blender's frame `frame_start + k`.
"""
import math
import re

import bpy
from mathutils import Matrix

from . import properties as props

# Blender world axes -> drapeon world axes
TO_Y_UP = Matrix.Rotation(-math.pi / 2.0, 4, 'X')
TO_Z_UP = TO_Y_UP.inverted()

# drapeon's name for the cloth object below each cloth mesh
CLOTH_CHILD = "Cloth"

# Weights up to this value leave a point out of a nail or pin
WEIGHT_FLOOR = 0.001


class SettingError(Exception):
    """A setting of the Blender scene that drapeon cannot simulate."""

    def __init__(self, obj_name, message):
        super().__init__("%s: %s" % (obj_name, message))
        self.obj_name = obj_name
        self.message = message


def drapeon_name(name, taken):
    """A drapeon object or file name for a Blender name: characters that
    separate paths or that file systems refuse become '_'; unique in `taken`."""
    base = re.sub(r'[/\\:*?"<>|\x00-\x1f]', "_", name) or "object"
    if set(base) == {"."}:
        base = "_" + base
    result, n = base, 1
    while result in taken:
        n += 1
        result = "%s.%d" % (base, n)
    taken.add(result)
    return result


def rigid(matrix_world, unit_scale):
    """The drapeon world placement (rotation and offset, no scale) of a
    Blender world matrix, and the object's scale."""
    loc, rot, scale = matrix_world.decompose()
    placement = TO_Y_UP @ Matrix.Translation(loc * unit_scale) @ rot.to_matrix().to_4x4()
    return placement, scale


def axes_of_kind(kind):
    """The turn from drapeon's object axes to Blender's object axes: drapeon's
    Y (a plane's normal, gravity's up) is Blender's Z; a capsule keeps its Z."""
    if kind in ("CLOTH", "COLLIDE_MESH", "PIN", "COLLIDE_CAPSULE"):
        return Matrix.Identity(4)
    return TO_Z_UP


def short(x):
    """A value with the 7 digits that Blender's 32-bit floats hold, so that
    0.01 is not written as 0.0099999998."""
    return float("%.7g" % x)


def vec(v):
    return [short(c) for c in v]


class Track:
    """Values sampled at every frame; written as one value when it never
    changes, else as a key per frame."""

    def __init__(self):
        self.values = []

    def add(self, value):
        self.values.append(value)

    def constant(self):
        return all(v == self.values[0] for v in self.values)

    def keys(self):
        return [[k, v] for k, v in enumerate(self.values)]


class MarkedObject:
    """A marked Blender object and what is sampled of it per frame."""

    def __init__(self, obj, kind):
        self.obj = obj
        self.kind = kind
        self.type_name = props.TYPE_OF_KIND[kind]
        self.world = []  # drapeon placement per frame (rigid)
        self.scale = None  # Blender object scale at the start frame
        self.params = {}  # property name -> Track
        self.points = []  # mesh objects: drapeon points per frame (scaled)
        self.polygons = []  # mesh objects: polygons at the start frame


def evaluated_mesh(obj, depsgraph):
    """The object's mesh after its modifiers, as a copy the caller frees with
    obj.evaluated_get(depsgraph).to_mesh_clear()."""
    return obj.evaluated_get(depsgraph).to_mesh()


def mesh_points(mesh, factor):
    return [vec((co.x * factor.x, co.y * factor.y, co.z * factor.z)) for co in (v.co for v in mesh.vertices)]


def mesh_polygons(mesh):
    """Triangles and quadrangles as they are; larger polygons as the mesh's
    own triangulation of them."""
    polygons = []
    ngons = set()
    for p in mesh.polygons:
        if p.loop_total <= 4:
            polygons.append(list(p.vertices))
        else:
            ngons.add(p.index)
    if ngons:
        mesh.calc_loop_triangles()
        for t in mesh.loop_triangles:
            if t.polygon_index in ngons:
                polygons.append(list(t.vertices))
    return polygons


def group_weights(obj, mesh, group_name):
    """Weights of a vertex group of obj, one per point of the (evaluated) mesh."""
    group = obj.vertex_groups.get(group_name)
    index = group.index
    weights = [0.0] * len(mesh.vertices)
    for v in mesh.vertices:
        for g in v.groups:
            if g.group == index:
                weights[v.index] = g.weight
    return weights


class SceneWriter:
    """Collects the marked objects of `scene` and writes drapeon's scene."""

    def __init__(self, scene, depsgraph=None):
        self.scene = scene
        self.unit_scale = scene.drapeon.unit_scale
        self.depsgraph = depsgraph
        self.cloths = []
        self.actors = []  # colliders, forces, constraints
        self.paths = {}  # drapeon path -> Blender object name
        self.outputs = []  # (Blender cloth name, drapeon file stem, point factor)

    # --- Checking -----------------------------------------------------------

    def collect(self):
        for obj in self.scene.objects:
            kind = obj.drapeon.kind
            if kind == "NONE":
                continue
            if kind in props.MESH_KINDS and obj.type != 'MESH':
                raise SettingError(obj.name, "a %s must be a mesh object" %
                                   props.TYPE_BY_NAME[props.TYPE_OF_KIND[kind]]["label"].lower())
            m = MarkedObject(obj, kind)
            (self.cloths if kind == "CLOTH" else self.actors).append(m)
        if not self.cloths:
            raise SettingError(self.scene.name, "no object is marked as a cloth; mark a mesh as a cloth in its "
                                                "Object Properties, drapeon panel")
        for m in self.actors:
            s = m.obj.drapeon
            group = props.GROUP_OF_KIND[m.kind]
            if s.cloth is not None and (s.cloth.drapeon.kind != "CLOTH" or s.cloth.name not in self.scene.objects):
                raise SettingError(m.obj.name, "its cloth \"%s\" is not a cloth of this scene" % s.cloth.name)
            if group == "Constraint" and s.cloth is None:
                raise SettingError(m.obj.name, "a %s needs a cloth: choose the cloth it holds" % m.type_name[2:].lower())

    def check_groups(self, m, cloth_obj, mesh):
        """Checks the vertex groups a constraint names on its cloth."""
        s = m.obj.drapeon
        label = m.type_name[2:].lower()
        names = [s.vertex_group] + ([s.vertex_group_b] if m.kind == "SEW" else [])
        for name in names:
            if not name:
                raise SettingError(m.obj.name, "the %s has no vertex group: choose a vertex group of the cloth "
                                               "\"%s\" that holds its points" % (label, cloth_obj.name))
            if cloth_obj.vertex_groups.get(name) is None:
                raise SettingError(m.obj.name, "the cloth \"%s\" has no vertex group \"%s\"" % (cloth_obj.name, name))
            if not any(w > WEIGHT_FLOOR for w in group_weights(cloth_obj, mesh, name)):
                raise SettingError(m.obj.name, "the vertex group \"%s\" of \"%s\" holds no point (no weight above %g)"
                                   % (name, cloth_obj.name, WEIGHT_FLOOR))

    # --- Sampling -----------------------------------------------------------

    def sample(self):
        scene = self.scene
        everyone = self.cloths + self.actors
        for m in everyone:
            for p in props.shown_parameters(m.type_name):
                m.params[props.property_name(p)] = Track()
            if m.kind == "CLOTH" and m.obj.drapeon.self_collision:
                for p in props.shown_parameters(props.SELF_COLLISION_TYPE):
                    m.params[props.property_name(p)] = Track()
        for frame in range(scene.frame_start, scene.frame_end + 1):
            scene.frame_set(frame)
            depsgraph = bpy.context.evaluated_depsgraph_get()
            for m in everyone:
                placement, scale = rigid(m.obj.matrix_world, self.unit_scale)
                m.world.append(placement @ axes_of_kind(m.kind))
                if m.scale is None:
                    m.scale = scale.copy()
                for name, track in m.params.items():
                    value = getattr(m.obj.drapeon, name)
                    track.add(tuple(value) if hasattr(value, "__len__") else value)
                if m.kind in ("COLLIDE_MESH", "PIN"):
                    mesh = evaluated_mesh(m.obj, depsgraph)
                    m.points.append(mesh_points(mesh, scale * self.unit_scale))
                    if frame == scene.frame_start:
                        m.polygons = mesh_polygons(mesh)
                        if not m.polygons and m.kind == "COLLIDE_MESH":
                            raise SettingError(m.obj.name, "a mesh collider needs faces; the mesh has none")
                    m.obj.evaluated_get(depsgraph).to_mesh_clear()
                    if len(m.points[-1]) != len(m.points[0]):
                        raise SettingError(m.obj.name, "its point count changes over the frames (%d at frame %d, %d "
                                           "at frame %d); drapeon needs a fixed point count"
                                           % (len(m.points[0]), scene.frame_start, len(m.points[-1]), frame))
        scene.frame_set(scene.frame_start)

    # --- Writing ------------------------------------------------------------

    def params_of(self, m, type_name, out):
        """Static values into out["params"], changing ones into out["animation"]."""
        for p in props.shown_parameters(type_name):
            track = m.params[props.property_name(p)]
            value = int if p["type"] == "int32" else short
            for v in track.values:
                if not all(math.isfinite(c) for c in (v if isinstance(v, tuple) else (v,))):
                    raise SettingError(m.obj.name, "%s is %s; give it a finite number"
                                       % (props.shown_label(p), v))
            if p["type"] == "vector":
                out.setdefault("params", {})[p["name"]] = vec(props.vector_to_drapeon(track.values[0]))
            elif track.constant():
                out.setdefault("params", {})[p["name"]] = value(track.values[0])
            else:
                out.setdefault("animation", {})[p["name"]] = [[k, value(v)] for k, v in track.keys()]

    @staticmethod
    def place(item, worlds, parent_worlds=None):
        """Position and rotation keys of placements relative to a parent's."""
        positions, rotations = Track(), Track()
        euler = None
        for k, world in enumerate(worlds):
            local = parent_worlds[k].inverted() @ world if parent_worlds else world
            euler = local.to_euler('XYZ', euler) if euler is not None else local.to_euler('XYZ')
            positions.add(tuple(vec(local.translation)))
            rotations.add(tuple(short(math.degrees(a)) for a in euler))
        for key, track in (("position", positions), ("rotation", rotations)):
            if track.constant():
                item[key] = list(track.values[0])
            else:
                item.setdefault("animation", {})[key] = [[k, list(v)] for k, v in track.keys()]

    def mesh_item(self, m, name):
        """A top-level polygon object for a collider or target mesh."""
        item = {"type": "polygon", "name": name,
                "mesh": {"points": m.points[0], "polygons": m.polygons}}
        self.place(item, m.world)
        if any(points != m.points[0] for points in m.points):
            item.setdefault("animation", {})["points"] = [[k, points] for k, points in enumerate(m.points)]
        return item

    def build(self):
        """The scene as a JSON-ready dict. Raises SettingError naming the
        object when a setting cannot be simulated."""
        self.collect()
        scene = self.scene
        self.sample()
        depsgraph = bpy.context.evaluated_depsgraph_get()
        top_names = set()
        objects = []
        mesh_names = {}
        for m in self.actors:
            if m.kind in ("COLLIDE_MESH", "PIN"):
                name = drapeon_name(m.obj.name, top_names)
                mesh_names[m.obj.name] = name
                self.paths[name] = m.obj.name
                objects.append(self.mesh_item(m, name))

        for c in self.cloths:
            obj = c.obj
            mesh = evaluated_mesh(obj, depsgraph)
            try:
                name = drapeon_name(obj.name, top_names)
                factor = c.scale * self.unit_scale
                polygons = mesh_polygons(mesh)
                if not polygons:
                    raise SettingError(obj.name, "a cloth needs faces; the mesh has none")
                item = {"type": "polygon", "name": name,
                        "mesh": {"points": mesh_points(mesh, factor), "polygons": polygons}}
                self.place(item, c.world)
                self.paths[name] = obj.name
                self.paths[name + "/" + CLOTH_CHILD] = obj.name
                cloth = {"type": "drapeon", "name": CLOTH_CHILD}
                self.params_of(c, "drapeon", cloth)
                children = []
                child_names = set()
                tags = []
                tag_names = set()
                if obj.drapeon.self_collision:
                    child = {"type": props.SELF_COLLISION_TYPE, "name": drapeon_name("Self Collision", child_names)}
                    self.params_of(c, props.SELF_COLLISION_TYPE, child)
                    children.append(child)
                for m in self.actors:
                    if m.obj.drapeon.cloth not in (None, obj):
                        continue
                    child_name = drapeon_name(m.obj.name, child_names)
                    child = {"type": m.type_name, "name": child_name}
                    self.paths["%s/%s/%s" % (name, CLOTH_CHILD, child_name)] = m.obj.name
                    worlds = m.world
                    if m.kind == "NAIL":
                        # A nail holds its points where the cloth's rest points
                        # would be if the cloth were placed as the nail: it
                        # starts on the cloth and moves as the nail object
                        # moves from the start frame on.
                        start = m.world[0].inverted() @ c.world[0]
                        worlds = [w @ start for w in m.world]
                    self.place(child, worlds, c.world)
                    self.params_of(m, m.type_name, child)
                    links = child.setdefault("params", {})
                    if m.kind == "COLLIDE_MESH":
                        links["MESH_OBJECT"] = {"object": mesh_names[m.obj.name]}
                    elif m.kind in ("NAIL", "PIN"):
                        self.check_groups(m, obj, mesh)
                        tag = drapeon_name("%s %s" % (m.obj.name, m.obj.drapeon.vertex_group), tag_names)
                        weights = group_weights(obj, mesh, m.obj.drapeon.vertex_group)
                        tags.append({"type": "vertexMap", "name": tag, "weights": [short(w) for w in weights]})
                        links["NAIL_POINTS" if m.kind == "NAIL" else "PIN_POINTS"] = {"tag": "%s:%s" % (name, tag)}
                        if m.kind == "PIN":
                            links["PIN_TARGET"] = {"object": mesh_names[m.obj.name]}
                    elif m.kind == "SEW":
                        self.check_groups(m, obj, mesh)
                        ends = []
                        for group in (m.obj.drapeon.vertex_group, m.obj.drapeon.vertex_group_b):
                            weights = group_weights(obj, mesh, group)
                            ends.append(min(i for i, w in enumerate(weights) if w > WEIGHT_FLOOR))
                        if ends[0] == ends[1]:
                            raise SettingError(m.obj.name, "both vertex groups start the seam at the same point (%d); "
                                               "each group names the first point of one border" % ends[0])
                        tag = drapeon_name("%s seam" % m.obj.name, tag_names)
                        tags.append({"type": "pointSelection", "name": tag, "points": sorted(ends)})
                        links["SEW_POINTS"] = {"tag": "%s:%s" % (name, tag)}
                    if not links:
                        del child["params"]
                    children.append(child)
                if children:
                    cloth["children"] = children
                if tags:
                    item["tags"] = tags
                item["children"] = [cloth]
                objects.append(item)
                self.outputs.append((obj.name, name, tuple(factor)))
            finally:
                obj.evaluated_get(depsgraph).to_mesh_clear()

        fps = scene.render.fps / (scene.render.fps_base or 1.0)
        return {
            "comment": "Written by drapeon's Blender add-on from the scene \"%s\"; Blender frame %d is frame 0."
                       % (scene.name, scene.frame_start),
            "fps": max(1, int(round(fps))),
            "frames": [0, scene.frame_end - scene.frame_start],
            "objects": objects,
        }
