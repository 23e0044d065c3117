"""The drapeon panel (Object Properties) and the add-on's preferences."""
import bpy

from . import operators
from . import properties as props

ADDON = __package__


class DrapeonPreferences(bpy.types.AddonPreferences):
    bl_idname = ADDON

    program: bpy.props.StringProperty(
        name="drapeon Program", subtype='FILE_PATH',
        description="The drapeon program; empty: drapeon on PATH, else the one shipped next to the add-on")
    results_dir: bpy.props.StringProperty(
        name="Results Folder", subtype='DIR_PATH',
        description="Where simulations go; empty: a folder \"drapeon\" beside the .blend file, or a temporary "
                    "folder while the file is not saved")
    threads: bpy.props.IntProperty(
        name="Threads", default=0, min=0, max=1024,
        description="Threads that share the simulation; 0: one per processor")

    def draw(self, context):
        layout = self.layout
        layout.prop(self, "program")
        layout.prop(self, "results_dir")
        layout.prop(self, "threads")


def draw_parameters(layout, settings, type_name):
    col = layout.column(align=True)
    for p in props.shown_parameters(type_name):
        col.prop(settings, props.property_name(p))


class OBJECT_PT_drapeon(bpy.types.Panel):
    bl_label = "drapeon"
    bl_space_type = 'PROPERTIES'
    bl_region_type = 'WINDOW'
    bl_context = "object"

    @classmethod
    def poll(cls, context):
        return context.object is not None

    def draw(self, context):
        layout = self.layout
        layout.use_property_split = True
        obj = context.object
        s = obj.drapeon
        layout.prop(s, "kind")
        if s.kind == "CLOTH":
            draw_parameters(layout, s, "drapeon")
            layout.prop(s, "self_collision")
            if s.self_collision:
                draw_parameters(layout, s, props.SELF_COLLISION_TYPE)
        elif s.kind != "NONE":
            layout.prop(s, "cloth")
            if s.kind in ("NAIL", "PIN", "SEW"):
                if s.cloth is not None:
                    layout.prop_search(s, "vertex_group", s.cloth, "vertex_groups",
                                       text="First Group" if s.kind == "SEW" else "Vertex Group")
                    if s.kind == "SEW":
                        layout.prop_search(s, "vertex_group_b", s.cloth, "vertex_groups")
                else:
                    layout.label(text="Choose the cloth this holds", icon='INFO')
            draw_parameters(layout, s, props.TYPE_OF_KIND[s.kind])

        scene = context.scene
        box = layout.box()
        box.label(text="Scene: frames %d to %d" % (scene.frame_start, scene.frame_end))
        box.prop(scene.drapeon, "unit_scale")
        run = operators.active_run
        if run is not None:
            box.label(text="Simulating: frame %d of %d (Esc stops)" % (run.done, run.total), icon='TIME')
        else:
            box.operator("drapeon.simulate", icon='PLAY')
        if scene.drapeon.results:
            box.label(text="Results: " + scene.drapeon.results)


classes = (DrapeonPreferences, OBJECT_PT_drapeon)


def register():
    for c in classes:
        bpy.utils.register_class(c)


def unregister():
    for c in reversed(classes):
        bpy.utils.unregister_class(c)
