"""Blender properties that mark objects for drapeon and hold their parameters.

Every float, int32 and vector parameter of the program's object types becomes
a property of `Object.drapeon`, named after the parameter in lower case
(`drapeon_stiffness`, `sphere_radius`), with the program's default and
meaning, so it can be keyframed like any other property. Links are made from
Blender's own relations instead: the marked mesh, the cloth a constraint
belongs to, the cloth's vertex groups.
"""
import bpy

from .parameters import TYPES

TYPE_BY_NAME = {t["name"]: t for t in TYPES}

# What an object can be: (identifier, drapeon type, group in the menu)
KINDS = [
    ("CLOTH", "drapeon", "Cloth"),
    ("COLLIDE_PLANE", "drCollidePlane", "Collider"),
    ("COLLIDE_SPHERE", "drCollideSphere", "Collider"),
    ("COLLIDE_CAPSULE", "drCollideCapsule", "Collider"),
    ("COLLIDE_MESH", "drCollideMesh", "Collider"),
    ("GRAVITY", "drGravity", "Force"),
    ("DAMP", "drDamp", "Force"),
    ("WIND", "drWind", "Force"),
    ("VOLUME", "drVolume", "Force"),
    ("NAIL", "drNail", "Constraint"),
    ("PIN", "drPin", "Constraint"),
    ("SEW", "drSew", "Constraint"),
]
TYPE_OF_KIND = {k: t for k, t, _ in KINDS}
GROUP_OF_KIND = {k: g for k, _, g in KINDS}
SELF_COLLISION_TYPE = "drCollideSelf"
# Kinds whose object must be a mesh: the mesh is what they act with
MESH_KINDS = {"CLOTH", "COLLIDE_MESH", "PIN"}

# Parameters the add-on sets itself: the output is the add-on's to manage,
# and links come from Blender's relations.
MANAGED_TYPES = {"link", "filename", "button"}


def property_name(parameter):
    return parameter["name"].lower()


def shown_parameters(type_name):
    """The parameters of a type that are Blender properties, in the program's order."""
    return [p for p in TYPE_BY_NAME[type_name]["parameters"] if p["type"] not in MANAGED_TYPES]


def shown_label(parameter):
    """'SPHERE_RADIUS' -> 'Radius'; the type's prefix is dropped."""
    words = parameter["name"].split("_")[1:] or parameter["name"].split("_")
    return " ".join(words).capitalize()


# Vectors are directions in the object's own axes. drapeon's objects are
# Y-up and Blender's Z-up: a vector is shown and edited in Blender's axes.
def vector_to_blender(v):
    return (v[0], -v[2], v[1])


def vector_to_drapeon(v):
    return (v[0], v[2], -v[1])


def _make_property(parameter):
    description = parameter["meaning"]
    name = shown_label(parameter)
    default = parameter.get("default")
    if parameter["type"] == "float":
        return bpy.props.FloatProperty(name=name, description=description, default=float(default or 0.0))
    if parameter["type"] == "int32":
        return bpy.props.IntProperty(name=name, description=description, default=int(default or 0))
    if parameter["type"] == "vector":
        return bpy.props.FloatVectorProperty(name=name, description=description, size=3,
                                             default=vector_to_blender(default or (0.0, 0.0, 0.0)))
    raise ValueError("unknown parameter type " + parameter["type"])


def _cloth_poll(self, obj):
    return obj.type == 'MESH' and obj.drapeon.kind == 'CLOTH'


def _kind_items():
    items = [("NONE", "None", "Not part of the drapeon simulation", 0)]
    for i, (kind, type_name, group) in enumerate(KINDS, start=1):
        label = TYPE_BY_NAME[type_name]["label"]
        items.append((kind, label, "%s: drapeon's %s object" % (group, label), i))
    return items


def _object_annotations():
    ann = {
        "kind": bpy.props.EnumProperty(name="Type", description="What the object is in the drapeon simulation",
                                       items=_kind_items(), default="NONE"),
        "cloth": bpy.props.PointerProperty(
            type=bpy.types.Object, name="Cloth", poll=_cloth_poll,
            description="The cloth this acts on; colliders and forces without one act on every cloth"),
        "vertex_group": bpy.props.StringProperty(
            name="Vertex Group", description="Vertex group of the cloth: its points (and weights) are the ones held"),
        "vertex_group_b": bpy.props.StringProperty(
            name="Second Group", description="Vertex group of the cloth holding the start of the other border"),
        "self_collision": bpy.props.BoolProperty(name="Self Collision", default=False,
                                                 description="The cloth collides with itself"),
    }
    for t in TYPES:
        for p in shown_parameters(t["name"]):
            ann[property_name(p)] = _make_property(p)
    return ann


def _scene_annotations():
    return {
        "unit_scale": bpy.props.FloatProperty(
            name="Unit Scale", default=100.0, min=1e-6, soft_max=10000.0,
            description="drapeon units per Blender unit. drapeon's defaults (gravity, collider sizes and "
                        "thicknesses) suit a scene in centimetres: 100 makes them fit a scene in metres"),
        "results": bpy.props.StringProperty(name="Results", subtype='DIR_PATH',
                                            description="Folder of the last simulation's results"),
    }


DrapeonObjectSettings = type("DrapeonObjectSettings", (bpy.types.PropertyGroup,),
                             {"__annotations__": _object_annotations()})
DrapeonSceneSettings = type("DrapeonSceneSettings", (bpy.types.PropertyGroup,),
                            {"__annotations__": _scene_annotations()})

classes = (DrapeonObjectSettings, DrapeonSceneSettings)


def register():
    for c in classes:
        bpy.utils.register_class(c)
    bpy.types.Object.drapeon = bpy.props.PointerProperty(type=DrapeonObjectSettings)
    bpy.types.Scene.drapeon = bpy.props.PointerProperty(type=DrapeonSceneSettings)


def unregister():
    del bpy.types.Scene.drapeon
    del bpy.types.Object.drapeon
    for c in reversed(classes):
        bpy.utils.unregister_class(c)
