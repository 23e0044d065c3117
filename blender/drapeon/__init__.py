"""drapeon for Blender: mark objects as cloths, colliders, forces and
constraints, simulate them with the drapeon program and play the result in
the timeline (a Mesh Cache modifier on every cloth)."""

bl_info = {
    "name": "drapeon",
    "author": "drapeon developers",
    "version": (0, 1, 0),
    "blender": (3, 4, 0),
    "location": "Properties > Object > drapeon",
    "description": "Cloth simulation with the drapeon program",
    "category": "Physics",
}

from . import operators, properties, ui  # noqa: E402

modules = (properties, operators, ui)


def register():
    for m in modules:
        m.register()


def unregister():
    for m in reversed(modules):
        m.unregister()
