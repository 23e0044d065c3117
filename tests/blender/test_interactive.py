"""The Simulate operator as a user starts it, in Blender's interface on a
virtual X server (see run.sh): it runs in the background, and Esc stops
drapeon and keeps the frames it finished.

    blender START.blend --enable-event-simulate --python test_interactive.py -- \
        --zip ADDON.zip --drapeon BUILD/drapeon --work DIR

Writes DIR/interactive.result: "ok" or what went wrong.
"""
import argparse
import os
import sys
import time

import addon_utils
import bpy

args = argparse.ArgumentParser()
args.add_argument("--zip", required=True)
args.add_argument("--drapeon", required=True)
args.add_argument("--work", required=True)
opts = args.parse_args(sys.argv[sys.argv.index("--") + 1:])

bpy.ops.preferences.addon_install(filepath=opts.zip, overwrite=True)
addon_utils.enable("drapeon", default_set=True)
prefs = bpy.context.preferences.addons["drapeon"].preferences
prefs.program = opts.drapeon
prefs.results_dir = os.path.join(opts.work, "results")
prefs.threads = 1
bpy.context.preferences.filepaths.temporary_directory = opts.work

from drapeon import operators  # noqa: E402

FRAMES = 600
state = {"started": None, "escaped": False}


def done(message):
    with open(os.path.join(opts.work, "interactive.result"), "w") as f:
        f.write(message)
    print("interactive: " + message)
    bpy.ops.wm.quit_blender()


def build():
    for obj in list(bpy.data.objects):
        bpy.data.objects.remove(obj)
    scene = bpy.context.scene
    scene.frame_start, scene.frame_end = 1, FRAMES
    bpy.ops.mesh.primitive_grid_add(x_subdivisions=100, y_subdivisions=100, size=2.0, location=(0, 0, 1))
    sheet = bpy.context.object
    sheet.name = "Sheet"
    sheet.drapeon.kind = "CLOTH"
    bpy.ops.object.empty_add()
    bpy.context.object.drapeon.kind = "GRAVITY"


def start():
    window = bpy.context.window_manager.windows[0]
    area = [a for a in window.screen.areas if a.type == 'VIEW_3D'][0]
    with bpy.context.temp_override(window=window, area=area):
        result = bpy.ops.drapeon.simulate('INVOKE_DEFAULT')
    if result != {'RUNNING_MODAL'} or operators.active_run is None:
        done("Simulate did not start in the background: %s" % result)
        return None
    state["started"] = time.time()
    return None


def watch():
    if state["started"] is None:
        return 0.1
    run = operators.active_run
    window = bpy.context.window_manager.windows[0]
    if run is not None:
        if time.time() - state["started"] > 120:
            done("the run did not stop within 2 minutes")
            return None
        if run.done >= 3 and not state["escaped"]:
            state["escaped"] = run.done
            window.event_simulate(type='ESC', value='PRESS')
            window.event_simulate(type='ESC', value='RELEASE')
        return 0.05
    sheet = bpy.data.objects["Sheet"]
    mod = sheet.modifiers.get("drapeon")
    if not state["escaped"]:
        return done("the run ended before Esc was pressed")
    if mod is None:
        return done("Esc kept no frames: the cloth has no Mesh Cache modifier")
    path = bpy.path.abspath(mod.filepath)
    with open(path, "rb") as f:
        samples = int.from_bytes(f.read(32)[28:32], "little")
    if not 3 <= samples < FRAMES:
        return done("after Esc the cache holds %d frames" % samples)
    done("ok: Esc at frame %d stopped drapeon after %d of %d frames, which play from %s"
         % (state["escaped"], samples, FRAMES, path))


build()
bpy.app.timers.register(start, first_interval=1.0)
bpy.app.timers.register(watch, first_interval=1.5)
