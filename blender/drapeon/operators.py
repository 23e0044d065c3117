"""The Simulate operator: writes the scene, runs drapeon, plays the result.

Called from Python (bpy.ops.drapeon.simulate()) it runs to the end and
returns; from the interface it runs in the background with Blender's
progress indicator, and Esc stops drapeon between two sub-steps, keeping
the frames it finished.
"""
import bpy

from . import runner

ADDON = __package__

# The run going on in the background, if any (one at a time)
active_run = None


def preferences(context):
    addon = context.preferences.addons.get(ADDON)
    return addon.preferences if addon else None


def start_run(op, context):
    prefs = preferences(context)
    program = runner.find_program(prefs.program if prefs else "")
    results = runner.results_folder(prefs.results_dir if prefs else "", context.scene)
    exports = ("obj", "pc2") if op.write_obj else ("pc2",)
    run = runner.Run(context, program, results, prefs.threads if prefs else 0, exports)
    run.start()
    return run


def report_error(op, error):
    text = error.args[0]
    if error.obj_name:
        text = "%s: %s" % (error.obj_name, text)
    op.report({'ERROR'}, text)


class DRAPEON_OT_simulate(bpy.types.Operator):
    """Simulate the scene's drapeon cloths and play the result in the timeline"""
    bl_idname = "drapeon.simulate"
    bl_label = "Simulate"
    bl_options = {'REGISTER'}

    write_obj: bpy.props.BoolProperty(
        name="Write OBJ Files", default=False,
        description="Also keep one OBJ file per frame of every cloth (world space, drapeon's Y-up axes)")

    _run = None
    _timer = None

    def finish(self, context, status):
        run = self._run
        try:
            frames = run.finish(status)
        except runner.RunError as e:
            report_error(self, e)
            return {'CANCELLED'}
        context.scene.drapeon.results = run.results
        for note in run.notes:
            self.report({'WARNING'}, note)
        if status == runner.EXIT_INTERRUPTED:
            self.report({'WARNING'}, "drapeon: stopped; the %d finished frames play from %s" % (frames, run.results))
        else:
            self.report({'INFO'}, "drapeon: %d frames simulated into %s" % (frames, run.results))
        return {'FINISHED'}

    def execute(self, context):
        try:
            self._run = start_run(self, context)
        except runner.RunError as e:
            report_error(self, e)
            return {'CANCELLED'}
        except OSError as e:
            self.report({'ERROR'}, "drapeon: %s" % e)
            return {'CANCELLED'}
        return self.finish(context, self._run.wait())

    @classmethod
    def poll(cls, context):
        return active_run is None

    def invoke(self, context, event):
        global active_run
        try:
            self._run = start_run(self, context)
        except runner.RunError as e:
            report_error(self, e)
            return {'CANCELLED'}
        except OSError as e:
            self.report({'ERROR'}, "drapeon: %s" % e)
            return {'CANCELLED'}
        active_run = self._run
        wm = context.window_manager
        self._timer = wm.event_timer_add(0.2, window=context.window)
        wm.progress_begin(0, max(1, self._run.total))
        wm.modal_handler_add(self)
        return {'RUNNING_MODAL'}

    def modal(self, context, event):
        global active_run
        run = self._run
        if event.type == 'ESC' and event.value == 'PRESS':
            run.cancel()
            context.workspace.status_text_set("drapeon: stopping after the current sub-step...")
            return {'RUNNING_MODAL'}
        if event.type != 'TIMER':
            return {'PASS_THROUGH'}
        status = run.poll()
        context.window_manager.progress_update(run.done)
        for area in context.screen.areas:
            if area.type == 'PROPERTIES':
                area.tag_redraw()
        if status is None:
            context.workspace.status_text_set("drapeon: frame %d of %d (Esc stops and keeps the finished frames)"
                                              % (run.done, run.total))
            return {'RUNNING_MODAL'}
        context.window_manager.event_timer_remove(self._timer)
        context.window_manager.progress_end()
        context.workspace.status_text_set(None)
        active_run = None
        result = self.finish(context, status)
        for area in context.screen.areas:
            area.tag_redraw()
        return result

    def cancel(self, context):
        # Blender ends the operator (a file is loaded, the window closes):
        # stop drapeon and keep nothing of this run
        global active_run
        self._run.cancel()
        self._run.wait()
        self._run.discard()
        active_run = None
        context.window_manager.event_timer_remove(self._timer)
        context.window_manager.progress_end()


classes = (DRAPEON_OT_simulate,)


def register():
    for c in classes:
        bpy.utils.register_class(c)


def unregister():
    for c in reversed(classes):
        bpy.utils.unregister_class(c)
