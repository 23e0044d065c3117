"""Screenshot of Blender's window with the drapeon panel and a simulated
drape in the viewport, for the README. Needs Blender's interface, so it runs
under a virtual X server (see run.sh, UPDATE_DOCS=1):

    blender START.blend --python screenshot_panel.py -- --zip ADDON.zip --drapeon BUILD/drapeon --work DIR --png OUT.png

(START.blend, an empty saved file, keeps Blender's splash screen away.)
"""
import argparse
import math
import sys

import addon_utils
import bpy

args = argparse.ArgumentParser()
args.add_argument("--zip", required=True)
args.add_argument("--drapeon", required=True)
args.add_argument("--work", required=True)
args.add_argument("--png", required=True)
opts = args.parse_args(sys.argv[sys.argv.index("--") + 1:])

bpy.ops.preferences.addon_install(filepath=opts.zip, overwrite=True)
addon_utils.enable("drapeon", default_set=True)
prefs = bpy.context.preferences.addons["drapeon"].preferences
prefs.program = opts.drapeon
prefs.results_dir = opts.work
bpy.context.preferences.filepaths.temporary_directory = opts.work  # where Blender saves its quit.blend


def build():
    for obj in list(bpy.data.objects):
        bpy.data.objects.remove(obj)
    scene = bpy.context.scene
    scene.frame_start, scene.frame_end = 1, 60
    scene.frame_set(1)
    bpy.ops.mesh.primitive_uv_sphere_add(radius=0.5, segments=48, ring_count=24)
    ball = bpy.context.object
    ball.name = "Ball"
    ball.drapeon.kind = "COLLIDE_SPHERE"
    ball.drapeon.sphere_radius = 53.0
    ball.drapeon.sphere_friction = 0.3
    bpy.ops.object.shade_smooth()
    bpy.ops.mesh.primitive_plane_add(size=4, location=(0, 0, -0.5))
    bpy.context.object.name = "Floor"
    bpy.context.object.drapeon.kind = "COLLIDE_PLANE"
    bpy.ops.object.empty_add(location=(-1.5, 1.5, 0))
    bpy.context.object.name = "Gravity"
    bpy.context.object.drapeon.kind = "GRAVITY"
    bpy.ops.mesh.primitive_grid_add(x_subdivisions=30, y_subdivisions=30, size=2.0, location=(0, 0, 1.0),
                                    rotation=(0, 0, math.radians(15)))
    sheet = bpy.context.object
    sheet.name = "Sheet"
    sheet.drapeon.kind = "CLOTH"
    bpy.ops.object.shade_smooth()
    bpy.ops.drapeon.simulate()
    scene.frame_set(45)


def arrange():
    window = bpy.context.window_manager.windows[0]
    for area in window.screen.areas:
        if area.type == 'PROPERTIES':
            area.spaces[0].context = 'OBJECT'
        if area.type == 'VIEW_3D':
            space = area.spaces[0]
            space.shading.type = 'SOLID'
            space.overlay.show_floor = False
            region = space.region_3d
            region.view_location = (0, 0, 0)
            region.view_distance = 5.0
            region.view_rotation = (0.82, 0.42, 0.18, 0.34)
    return None


def scroll():
    # The drapeon panel comes after Blender's own: scroll down to it
    window = bpy.context.window_manager.windows[0]
    for area in window.screen.areas:
        if area.type == 'PROPERTIES':
            region = [r for r in area.regions if r.type == 'WINDOW'][0]
            with bpy.context.temp_override(window=window, area=area, region=region):
                for _ in range(30):
                    bpy.ops.view2d.scroll_down(deltax=0, deltay=40)
    return None


def shoot():
    window = bpy.context.window_manager.windows[0]
    with bpy.context.temp_override(window=window, screen=window.screen):
        bpy.ops.screen.screenshot(filepath=opts.png)
    print("screenshot: " + opts.png)
    bpy.ops.wm.quit_blender()
    return None


build()
bpy.app.timers.register(arrange, first_interval=1.0)
bpy.app.timers.register(scroll, first_interval=2.0)
bpy.app.timers.register(shoot, first_interval=4.0)
