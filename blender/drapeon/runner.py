"""Runs `drapeon run` on a written scene and brings its results into Blender.

A run works in a fresh folder beside the results folder; only a run that
ends well (or is cancelled after some frames) replaces the earlier results,
so a refused scene or an unstable simulation leaves them as they were.
"""
import array
import json
import os
import queue
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading

import bpy

from . import scene_writer

EXIT_SCENE_ERROR = 2
EXIT_UNSTABLE = 3
EXIT_INTERRUPTED = 130

MODIFIER_NAME = "drapeon"
PROGRESS = re.compile(r"frame (-?\d+) \((\d+) of (\d+)\)")
OBJECT_PATH = re.compile(r'(object|simulation of) "([^"]*)"')


class RunError(Exception):
    """A failure to report, with the Blender object it concerns (or None)."""

    def __init__(self, message, obj_name=None):
        super().__init__(message)
        self.obj_name = obj_name


# --- Where things are -----------------------------------------------------------

def addon_folder():
    return os.path.dirname(os.path.abspath(__file__))


def find_program(configured):
    """The drapeon program: the preference when set, else drapeon on PATH,
    else the program shipped next to the add-on."""
    if configured:
        path = bpy.path.abspath(configured)
        if os.path.isdir(path):
            path = os.path.join(path, "drapeon")
        if not os.path.isfile(path):
            raise RunError("the drapeon program set in the add-on's preferences does not exist: " + path)
        return path
    found = shutil.which("drapeon")
    if found:
        return found
    shipped = os.path.join(addon_folder(), "bin", "drapeon")
    if os.path.isfile(shipped):
        # A zip keeps no file modes: make the shipped program runnable again
        if not os.access(shipped, os.X_OK):
            os.chmod(shipped, 0o755)
        return shipped
    raise RunError("the drapeon program was not found on PATH or next to the add-on; set its path in "
                   "Edit > Preferences > Add-ons > drapeon")


def results_folder(configured, scene):
    """The folder for one scene's results: the preference's folder when set,
    else "drapeon" beside the saved .blend file, else a temporary folder."""
    blend = bpy.data.filepath
    stem = os.path.splitext(os.path.basename(blend))[0] if blend else "untitled"
    if configured:
        base = bpy.path.abspath(configured)
    elif blend:
        base = os.path.join(os.path.dirname(blend), "drapeon")
    else:
        base = os.path.join(tempfile.gettempdir(), "drapeon-blender")
    return os.path.join(base, scene_writer.drapeon_name("%s %s" % (stem, scene.name), set()))


# --- Running --------------------------------------------------------------------

class Run:
    """One run of drapeon: start() launches it, poll() returns the exit
    status once it ended (None before), cancel() asks it to stop between two
    sub-steps, finish() brings the results in."""

    def __init__(self, context, program, results, threads=0, exports=("pc2",)):
        self.scene = context.scene
        self.program = program
        self.results = results
        self.threads = threads
        self.exports = list(exports)
        self.process = None
        self.lines = queue.Queue()
        self.messages = []
        self.done = 0
        self.total = 0
        self.writer = None
        self.work = None

    def start(self):
        scene = self.scene
        cloths = [o for o in scene.objects if o.drapeon.kind == "CLOTH" and o.type == 'MESH']
        # The cloth's own mesh, not the cache of an earlier run, is the input
        switched = []
        for obj in cloths:
            mod = obj.modifiers.get(MODIFIER_NAME)
            if mod is not None and mod.type == 'MESH_CACHE' and (mod.show_viewport or mod.show_render):
                switched.append((mod, mod.show_viewport, mod.show_render))
                mod.show_viewport = mod.show_render = False
        try:
            self.writer = scene_writer.SceneWriter(scene)
            data = self.writer.build()
        except scene_writer.SettingError as e:
            raise RunError(e.message, e.obj_name)
        finally:
            for mod, viewport, render in switched:
                mod.show_viewport, mod.show_render = viewport, render

        parent = os.path.dirname(self.results)
        os.makedirs(parent, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix="." + os.path.basename(self.results) + ".run-", dir=parent)
        scene_file = os.path.join(self.work, "scene.json")
        with open(scene_file, "w") as f:
            json.dump(data, f, separators=(",", ":"))
        command = [self.program, "run", scene_file, "--out", self.work, "--export", ",".join(self.exports)]
        if self.threads > 0:
            command += ["--threads", str(self.threads)]
        self.total = data["frames"][1] + 1
        try:
            self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                            errors="replace")
        except OSError as e:
            self.discard()
            raise RunError("cannot start %s: %s" % (self.program, e.strerror or e))
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stderr:
            self.lines.put(line.rstrip("\n"))

    def _drain(self):
        while True:
            try:
                line = self.lines.get_nowait()
            except queue.Empty:
                return
            m = PROGRESS.search(line)
            if m:
                self.done = int(m.group(2))
                self.total = int(m.group(3))
            elif line.strip():
                self.messages.append(line)

    def poll(self):
        """The exit status once drapeon ended (all its messages read), else None."""
        self._drain()
        status = self.process.poll()
        if status is None:
            return None
        self.reader.join()
        self._drain()
        return status

    def wait(self):
        self.process.wait()
        return self.poll()

    def cancel(self):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)

    def discard(self):
        if self.work and os.path.isdir(self.work):
            shutil.rmtree(self.work, ignore_errors=True)

    # --- Results ---------------------------------------------------------------

    def explain(self):
        """drapeon's messages with its object paths turned into the Blender
        objects they stand for; and the first object named."""
        named = None
        text = []
        for line in self.messages:
            line = line.replace(os.path.join(self.work, "scene.json") + ": ", "")
            if line.startswith("drapeon: "):
                line = line[len("drapeon: "):]

            def blender_name(m):
                nonlocal named
                path = m.group(2)
                obj = self.writer.paths.get(path)
                if obj is None:
                    return m.group(0)
                named = named or obj
                return '%s "%s"' % (m.group(1), obj)
            text.append(OBJECT_PATH.sub(blender_name, line))
        return "; ".join(text) or "no message", named

    def finish(self, status):
        """Installs the results after a run that ended with `status`; raises
        RunError for a failed run (the earlier results stay). Returns the
        number of frames brought in."""
        if status not in (0, EXIT_INTERRUPTED):
            message, named = self.explain()
            self.discard()
            kind = {EXIT_SCENE_ERROR: "refused the scene", EXIT_UNSTABLE: "stopped"}.get(status, "failed (%d)" % status)
            raise RunError("drapeon %s: %s" % (kind, message), named)
        frames = None
        converted = []
        for blender_name, stem, factor in self.writer.outputs:
            source = os.path.join(self.work, stem + ".pc2")
            if not os.path.isfile(source):
                break
            target = stem + ".blender.pc2"
            frames = to_object_space(source, os.path.join(self.work, target), factor)
            converted.append((blender_name, target))
        if not converted:
            self.discard()
            raise RunError("drapeon was stopped before the first frame was finished; nothing was kept")
        replace_folder(self.work, self.results)
        self.work = None
        self.notes = []
        for blender_name, target in converted:
            self.notes += attach_cache(self.scene.objects[blender_name], os.path.join(self.results, target),
                                       self.scene.frame_start)
        return frames


def to_object_space(source, target, factor):
    """Copies drapeon's point cache of a cloth, divided by the factor its
    points were scaled by, so it holds the Blender object's own coordinates."""
    with open(source, "rb") as f:
        header = f.read(32)
        values = array.array("f")
        values.frombytes(f.read())
    samples, = struct.unpack_from("<i", header, 28)
    if sys.byteorder != "little":
        values.byteswap()
    for axis in range(3):
        values[axis::3] = array.array("f", (v / factor[axis] for v in values[axis::3]))
    if sys.byteorder != "little":
        values.byteswap()
    with open(target, "wb") as f:
        f.write(header)
        f.write(values.tobytes())
    return samples


def replace_folder(new, results):
    """Puts the folder `new` in the place of `results` (kept until then)."""
    old = None
    if os.path.exists(results):
        old = tempfile.mkdtemp(prefix="." + os.path.basename(results) + ".old-", dir=os.path.dirname(results))
        os.rmdir(old)
        os.rename(results, old)
    os.rename(new, results)
    if old:
        shutil.rmtree(old, ignore_errors=True)


def attach_cache(obj, path, frame_start):
    """Gives the cloth a Mesh Cache modifier (last in its stack) that plays
    the point cache from the scene's start frame. Returns notes for the user."""
    notes = []
    # The cache fits the mesh as the viewport makes it: a render must make
    # the same points, so subdivision renders at the viewport's level
    for m in obj.modifiers:
        if m.type == 'SUBSURF' and m.render_levels != m.levels:
            notes.append("%s: the render levels of \"%s\" are now %d, its viewport levels, so that the cache fits "
                         "the rendered mesh" % (obj.name, m.name, m.levels))
            m.render_levels = m.levels
    mod = obj.modifiers.get(MODIFIER_NAME)
    if mod is None or mod.type != 'MESH_CACHE':
        if mod is not None:
            obj.modifiers.remove(mod)
        mod = obj.modifiers.new(MODIFIER_NAME, 'MESH_CACHE')
    mod.cache_format = 'PC2'
    mod.filepath = bpy.path.relpath(path) if bpy.data.filepath else path
    mod.frame_start = float(frame_start)
    mod.forward_axis = 'POS_Y'
    mod.up_axis = 'POS_Z'
    mod.show_viewport = mod.show_render = True
    obj.update_tag()
    return notes
