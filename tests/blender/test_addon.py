"""The Blender add-on in real Blender, headless (see run.sh):

    blender -b --factory-startup --python-exit-code 1 --python test_addon.py -- \
        --zip ADDON.zip --drapeon BUILD/drapeon --work DIR --png OUT.png

Installs the add-on from its zip, builds small scenes with Blender's own
operators, simulates them through the add-on's operator and compares what
Blender plays with what drapeon wrote.
"""
import argparse
import glob
import hashlib
import math
import os
import shutil
import sys
import time
import traceback

import addon_utils
import bpy
from mathutils import Matrix, Vector

args = argparse.ArgumentParser()
args.add_argument("--zip", required=True)
args.add_argument("--drapeon", required=True)
args.add_argument("--work", required=True)
args.add_argument("--png", required=True)
opts = args.parse_args(sys.argv[sys.argv.index("--") + 1:])

UNIT = 100.0  # the add-on's default: drapeon units per Blender unit
TO_Y_UP = Matrix.Rotation(-math.pi / 2.0, 4, 'X')
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL " + message)


# --- Setting up -----------------------------------------------------------------

bpy.ops.preferences.addon_install(filepath=opts.zip, overwrite=True)
addon_utils.enable("drapeon", default_set=True, handle_error=lambda e: traceback.print_exc())
prefs = bpy.context.preferences.addons["drapeon"].preferences
prefs.results_dir = os.path.join(opts.work, "results")
prefs.threads = 2

from drapeon import runner  # noqa: E402  (installed above)

# With no program set and none on PATH, the add-on runs the one in its zip
# (which keeps no file modes)
if shutil.which("drapeon") is None:
    shipped = os.path.join(os.path.dirname(runner.__file__), "bin", "drapeon")
    found = runner.find_program("")
    check(found == shipped and os.access(found, os.X_OK),
          "the add-on did not find the program shipped next to it: %s" % found)
else:
    prefs.program = opts.drapeon

scene = bpy.context.scene


def new_scene(frames):
    for obj in list(bpy.data.objects):
        bpy.data.objects.remove(obj)
    scene.frame_start, scene.frame_end = frames
    scene.frame_set(frames[0])


def grid(name, cuts, size, location, rotation=(0, 0, 0), scale=(1, 1, 1)):
    bpy.ops.mesh.primitive_grid_add(x_subdivisions=cuts, y_subdivisions=cuts, size=size, location=location,
                                    rotation=rotation, scale=scale)
    obj = bpy.context.object
    obj.name = name
    return obj


def empty(name, kind, location=(0, 0, 0), rotation=(0, 0, 0)):
    bpy.ops.object.empty_add(location=location, rotation=rotation)
    obj = bpy.context.object
    obj.name = name
    obj.drapeon.kind = kind
    return obj


def simulate():
    """Runs the operator as a script would; returns None or the error text."""
    try:
        bpy.ops.drapeon.simulate(write_obj=True)
    except RuntimeError as e:
        return str(e)
    return None


def results_of(name):
    return os.path.join(prefs.results_dir, "untitled %s" % scene.name)


def read_obj(path):
    points = []
    with open(path) as f:
        for line in f:
            if line.startswith("v "):
                points.append(Vector([float(x) for x in line.split()[1:4]]))
    return points


def played_points(obj, frame):
    """The cloth as Blender plays it at a frame, in drapeon's world."""
    scene.frame_set(frame)
    ev = obj.evaluated_get(bpy.context.evaluated_depsgraph_get())
    mesh = ev.to_mesh()
    world = UNIT * TO_Y_UP @ obj.matrix_world
    points = [world @ v.co for v in mesh.vertices]
    ev.to_mesh_clear()
    return points


def check_playback(obj, label):
    """Blender's evaluated cloth at the first, a middle and the last frame
    equals drapeon's OBJ of that frame, within 1e-4 of the cloth's size."""
    out = results_of(scene.name)
    first, last = scene.frame_start, scene.frame_end
    moved = 0.0
    for frame in (first, (first + last) // 2, last):
        obj_file = os.path.join(out, "%s.%04d.obj" % (obj.name, frame - first))
        if not os.path.isfile(obj_file):
            check(False, "%s: no OBJ %s" % (label, obj_file))
            return
        expected = read_obj(obj_file)
        got = played_points(obj, frame)
        check(len(got) == len(expected), "%s frame %d: %d points in Blender, %d in drapeon's OBJ"
              % (label, frame, len(got), len(expected)))
        lo = Vector([min(p[i] for p in expected) for i in range(3)])
        hi = Vector([max(p[i] for p in expected) for i in range(3)])
        size = (hi - lo).length
        worst = max((a - b).length for a, b in zip(got, expected))
        print("%s frame %d: %d points, largest difference %.3g of a cloth of size %.4g"
              % (label, frame, len(got), worst, size))
        check(worst <= 1e-4 * size, "%s frame %d: Blender's mesh differs from drapeon's by %g (size %g)"
              % (label, frame, worst, size))
        if frame == first:
            start = expected
        moved = max(moved, max((a - b).length for a, b in zip(expected, start)))
    check(moved > 0.05 * size, "%s: the cloth hardly moved (%g)" % (label, moved))


def folder_digest(folder):
    h = hashlib.sha256()
    for path in sorted(glob.glob(os.path.join(folder, "*"))):
        h.update(path.encode())
        with open(path, "rb") as f:
            h.update(f.read())
    return h.hexdigest()


# --- Cases ----------------------------------------------------------------------

def case_sphere():
    """A subdivided, turned and stretched plane drapes over a UV sphere (a
    sphere collider); its Subdivision modifier counts."""
    new_scene((1, 30))
    bpy.ops.mesh.primitive_uv_sphere_add(radius=0.5, location=(0, 0, 0))
    ball = bpy.context.object
    ball.name = "Ball"
    ball.drapeon.kind = "COLLIDE_SPHERE"
    ball.drapeon.sphere_radius = 53.0
    ball.drapeon.sphere_friction = 0.3
    sheet = grid("Sheet", 8, 1.6, (0.05, 0, 1.0), rotation=(0, 0, math.radians(20)), scale=(1.2, 0.8, 1))
    sheet.modifiers.new("Subdivision", 'SUBSURF').levels = 1
    sheet.drapeon.kind = "CLOTH"
    empty("Gravity", "GRAVITY")
    error = simulate()
    check(error is None, "sphere: the operator failed: %s" % error)
    mod = sheet.modifiers.get("drapeon")
    check(mod is not None and mod.type == 'MESH_CACHE' and sheet.modifiers[-1] == mod,
          "sphere: the cloth has no Mesh Cache modifier at the end of its stack")
    check_playback(sheet, "sphere")
    # The cloth rests on the ball: no point inside it at the last frame
    inside = [p for p in played_points(sheet, scene.frame_end) if (p / UNIT).length < 0.5]
    check(not inside, "sphere: %d points end inside the ball" % len(inside))


def case_mesh_collider():
    """A sheet falls onto a turned box, a mesh collider, and stays above it."""
    new_scene((1, 24))
    bpy.ops.mesh.primitive_cube_add(size=1, location=(0, 0, 0), rotation=(0, 0, math.radians(30)), scale=(0.8, 0.8, 0.2))
    box = bpy.context.object
    box.name = "Box"
    box.drapeon.kind = "COLLIDE_MESH"
    box.drapeon.mesh_offset = 2.0
    # The box grows from 0.2 to 0.3 high (its mesh is 0.2 high): its points
    # are keyed at every frame
    box.keyframe_insert("scale", frame=1)
    box.scale.z = 1.5
    box.keyframe_insert("scale", frame=24)
    sheet = grid("Sheet", 12, 1.0, (0, 0, 0.4))
    sheet.drapeon.kind = "CLOTH"
    empty("Gravity", "GRAVITY")
    error = simulate()
    check(error is None, "mesh collider: the operator failed: %s" % error)
    check_playback(sheet, "mesh collider")
    # The box's top rises to 0.15; the sheet's middle lies on it, not through it
    points = played_points(sheet, scene.frame_end)
    middle = [p for p in points if abs(p.x) < 20 and abs(p.z) < 20]
    lowest = min(p.y for p in middle) / UNIT
    print("mesh collider: the middle of the sheet ends at height %.4f (box top 0.15)" % lowest)
    check(lowest > 0.14, "mesh collider: the sheet's middle went through the box (height %g)" % lowest)


def case_nail():
    """One edge of a sheet is nailed to an empty that moves 1 unit along X:
    the edge goes with it; the rest hangs down."""
    new_scene((1, 20))
    sheet = grid("Curtain", 10, 1.0, (0, 0, 1.0))
    sheet.drapeon.kind = "CLOTH"
    edge = sheet.vertex_groups.new(name="edge")
    edge_points = [v.index for v in sheet.data.vertices if v.co.y > 0.49]
    edge.add(edge_points, 1.0, 'REPLACE')
    hand = empty("Hand", "NAIL", location=(0, 0.5, 1.0))
    hand.drapeon.cloth = sheet
    hand.drapeon.vertex_group = "edge"
    hand.keyframe_insert("location", frame=1)
    hand.location.x = 1.0
    hand.keyframe_insert("location", frame=20)
    empty("Gravity", "GRAVITY")
    error = simulate()
    check(error is None, "nail: the operator failed: %s" % error)
    check_playback(sheet, "nail")
    start = played_points(sheet, 1)
    end = played_points(sheet, 20)
    worst = max(abs((end[i] - start[i]).x / UNIT - 1.0) + abs((end[i] - start[i]).y) / UNIT for i in edge_points)
    print("nail: the nailed edge moved with the empty to within %.3g" % worst)
    check(worst < 1e-3, "nail: the nailed edge did not follow the empty (off by %g)" % worst)
    free = [i for i in range(len(end)) if i not in edge_points]
    check(min(end[i].y for i in free) < start[free[0]].y - 20, "nail: the free part of the sheet did not fall")
    return sheet, hand


def case_every_kind():
    """Every kind of object the panel offers, in one scene that drapeon must
    accept: a sheet on a plane collider (an empty facing up), pinned to a
    rising mesh and sewn into a tube, against a capsule, in keyframed wind;
    a closed cloth that keeps its volume and collides with itself."""
    new_scene((1, 20))
    sheet = grid("Sheet", 10, 1.0, (0, 0, 0.3))
    sheet.drapeon.kind = "CLOTH"
    sheet.drapeon.drapeon_stiffness = 60.0
    corner = lambda x, y: min(sheet.data.vertices, key=lambda v: (v.co.x - x) ** 2 + (v.co.y - y) ** 2).index
    for name, points in (("top", [v.index for v in sheet.data.vertices if v.co.y > 0.49]),
                         ("left", [corner(-0.5, -0.5)]), ("right", [corner(0.5, -0.5)])):
        sheet.vertex_groups.new(name=name).add(points, 1.0, 'REPLACE')
    bpy.ops.mesh.primitive_plane_add(size=1.0, location=(0, 0.5, 0.3))
    rail = bpy.context.object
    rail.name = "Rail"
    rail.drapeon.kind = "PIN"
    rail.drapeon.cloth = sheet
    rail.drapeon.vertex_group = "top"
    rail.keyframe_insert("location", frame=1)
    rail.location.z = 0.6
    rail.keyframe_insert("location", frame=20)
    sew = empty("Seam", "SEW")
    sew.drapeon.cloth = sheet
    sew.drapeon.vertex_group, sew.drapeon.vertex_group_b = "left", "right"
    sew.drapeon.sew_count = 6
    empty("Floor", "COLLIDE_PLANE", location=(0, 0, 0))
    pole = empty("Pole", "COLLIDE_CAPSULE", location=(0.8, 0, 0))
    pole.drapeon.capsule_radius, pole.drapeon.capsule_half_length = 5.0, 50.0
    wind = empty("Wind", "WIND", rotation=(0, 0, math.radians(90)))
    wind.drapeon.wind_strength = 0.0
    wind.drapeon.keyframe_insert("wind_strength", frame=1)
    wind.drapeon.wind_strength = 0.2
    wind.drapeon.keyframe_insert("wind_strength", frame=20)
    empty("Air", "DAMP")
    empty("Gravity", "GRAVITY")
    bpy.ops.mesh.primitive_ico_sphere_add(subdivisions=2, radius=0.3, location=(-1.5, 0, 0.5))
    ball = bpy.context.object
    ball.name = "Balloon"
    ball.drapeon.kind = "CLOTH"
    ball.drapeon.self_collision = True
    volume = empty("Pressure", "VOLUME")
    volume.drapeon.cloth = ball
    volume.drapeon.volume_pressure = 0.5
    error = simulate()
    check(error is None, "every kind: the operator failed: %s" % error)
    for obj in (sheet, ball):
        check(obj.modifiers.get("drapeon") is not None, "every kind: %s has no Mesh Cache modifier" % obj.name)
    start, end = played_points(sheet, 1), played_points(ball, 1)
    points = played_points(sheet, 20)
    lowest = min(p.y for p in points)
    print("every kind: the sheet's lowest point ends at %.3f above the floor collider" % lowest)
    check(-1.5 < lowest < 10, "every kind: the sheet did not come to rest on the floor (lowest %g)" % lowest)
    settled = played_points(ball, 20)
    check(min(p.y for p in settled) < min(p.y for p in end) - 5, "every kind: the balloon did not fall")


def case_bad_settings(sheet, hand):
    """Settings drapeon cannot simulate are reported with the object named,
    and the results of the last good run stay as they were."""
    out = results_of(scene.name)
    before = folder_digest(out)
    cache = sheet.modifiers["drapeon"].filepath
    hand.drapeon.vertex_group = ""
    error = simulate()
    print("nail without a vertex group: %s" % error)
    check(error is not None and "Hand" in error and "vertex group" in error,
          "a nail without a vertex group: expected a report naming \"Hand\", got %r" % error)
    hand.drapeon.vertex_group = "edge"

    # drapeon's own failure: a simulation that blows up (exit 3) names the cloth
    gravity = bpy.data.objects["Gravity"]
    gravity.drapeon.gravity_strength = 1e38
    error = simulate()
    print("unstable simulation: %s" % error)
    check(error is not None and "Curtain" in error and "unstable" in error,
          "an unstable simulation: expected a report naming \"Curtain\", got %r" % error)
    gravity.drapeon.gravity_strength = 1.0
    check(folder_digest(out) == before, "a failed run changed the earlier results in " + out)
    check(sheet.modifiers["drapeon"].filepath == cache, "a failed run changed the cloth's Mesh Cache modifier")
    leftovers = [p for p in os.listdir(os.path.dirname(out)) if p.startswith(".")]
    check(not leftovers, "a failed run left folders behind: %s" % leftovers)


def case_cancel():
    """Cancelling a run (Esc in Blender: SIGINT to drapeon) keeps the
    frames drapeon finished and plays them."""
    new_scene((1, 400))
    sheet = grid("Big", 60, 2.0, (0, 0, 1.0))
    sheet.drapeon.kind = "CLOTH"
    empty("Gravity", "GRAVITY")
    run = runner.Run(bpy.context, opts.drapeon, results_of(scene.name), 1)
    run.start()
    status = None
    deadline = time.time() + 60
    while status is None and run.done < 3 and time.time() < deadline:
        time.sleep(0.01)
        status = run.poll()
    run.cancel()
    status = run.wait()
    print("cancel: drapeon ended with status %d after %d of %d frames" % (status, run.done, run.total))
    check(status == runner.EXIT_INTERRUPTED, "cancel: drapeon ended with %d, not %d"
          % (status, runner.EXIT_INTERRUPTED))
    frames = run.finish(status)
    check(frames is not None and 3 <= frames < 400, "cancel: %s frames kept" % frames)
    check(sheet.modifiers.get("drapeon") is not None, "cancel: the finished frames are not played")


def case_render():
    """A Workbench render of a sheet draped over a ball on a floor, to PNG,
    for the README; checked not blank."""
    new_scene((1, 60))
    bpy.ops.mesh.primitive_uv_sphere_add(radius=0.5, location=(0, 0, 0), segments=48, ring_count=24)
    ball = bpy.context.object
    ball.name = "Ball"
    ball.drapeon.kind = "COLLIDE_SPHERE"
    ball.drapeon.sphere_radius = 53.0
    ball.drapeon.sphere_friction = 0.3
    bpy.ops.object.shade_smooth()
    bpy.ops.mesh.primitive_plane_add(size=8, location=(0, 0, -0.5))
    floor = bpy.context.object
    floor.drapeon.kind = "COLLIDE_PLANE"
    sheet = grid("Sheet", 30, 2.0, (0, 0, 1.0), rotation=(0, 0, math.radians(15)))
    sheet.drapeon.kind = "CLOTH"
    bpy.ops.object.shade_smooth()
    empty("Gravity", "GRAVITY")
    error = simulate()
    check(error is None, "render: the operator failed: %s" % error)
    scene.frame_set(60)
    bpy.ops.object.camera_add(location=(3.4, -3.0, 1.9))
    camera = bpy.context.object
    direction = Vector((0, 0, -0.1)) - camera.location
    camera.rotation_euler = direction.to_track_quat('-Z', 'Y').to_euler()
    scene.camera = camera
    scene.render.engine = 'BLENDER_WORKBENCH'
    scene.display.shading.light = 'STUDIO'
    scene.display.shading.color_type = 'OBJECT'
    scene.display.shading.show_shadows = True
    sheet.color = (0.8, 0.25, 0.2, 1)
    ball.color = (0.6, 0.7, 0.8, 1)
    scene.render.resolution_x, scene.render.resolution_y = 800, 450
    scene.render.image_settings.file_format = 'PNG'
    scene.render.filepath = opts.png
    bpy.ops.render.render(write_still=True)
    image = bpy.data.images.load(opts.png)
    pixels = list(image.pixels)
    values = pixels[0::4]
    mean = sum(values) / len(values)
    spread = math.sqrt(sum((v - mean) ** 2 for v in values) / len(values))
    reds = sum(1 for i in range(0, len(pixels), 4) if pixels[i] > pixels[i + 1] + 0.2)
    print("render: %s, red channel mean %.3f, spread %.3f, %d cloth-coloured pixels" % (opts.png, mean, spread, reds))
    check(spread > 0.05, "render: the picture is blank")
    check(reds > 1000, "render: the cloth is not in the picture")


for case in (case_sphere, case_mesh_collider, case_every_kind):
    case()
case_bad_settings(*case_nail())
case_cancel()
case_render()

if failures:
    print("%d check(s) failed" % len(failures))
    sys.exit(1)
print("blender add-on test: every check passed")
