#!/usr/bin/env bash
# Test of the Blender add-on in real Blender: bash tests/blender/run.sh [BUILD_DIR]
#
# Installs Debian's blender and xvfb if they are missing, builds the program
# into BUILD_DIR (default: build), checks that the add-on's parameter table
# matches `drapeon types --json`, makes the add-on zip with the program in
# it, runs test_addon.py
# in headless Blender against the built program, then test_interactive.py
# in Blender's interface on a virtual X server (the operator in the
# background, stopped with Esc). The render goes to
# BUILD_DIR/blender/drape.png. With UPDATE_DOCS=1 it also replaces
# docs/images/blender-render.png and docs/images/blender-panel.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$root" && mkdir -p "${1:-build}" && cd "${1:-build}" && pwd)

if ! command -v blender >/dev/null || ! command -v xvfb-run >/dev/null; then
  echo "blender test: installing blender and xvfb" >&2
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq blender xvfb >/dev/null
fi
if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target drapeon_app >/dev/null

python3 "$root/blender/make_parameters.py" "$build/drapeon" --check

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/blender"
zip=$(bash "$root/scripts/make-addon.sh" "$work/drapeon-blender.zip" --with-program "$build")

# Blender's user folders in the temporary folder: the test installs the
# add-on there and leaves the user's own settings alone.
export BLENDER_USER_CONFIG="$work/config" BLENDER_USER_SCRIPTS="$work/scripts" BLENDER_USER_DATAFILES="$work/data"
set +e
blender -b --factory-startup --python-exit-code 1 --python "$root/tests/blender/test_addon.py" -- \
  --zip "$zip" --drapeon "$build/drapeon" --work "$work" --png "$build/blender/drape.png" 2>&1 |
  grep -v -e '^Read prefs' -e '^Fra:' -e '^Saved: ' -e '^ Time: ' -e 'EGL' -e '^$'
status=${PIPESTATUS[0]}
set -e

# Blender's interface wants a saved file to open without its splash screen
blender -b --factory-startup --python-expr "import bpy; bpy.ops.wm.save_as_mainfile(filepath='$work/start.blend')" >/dev/null
xvfb-run -a -s "-screen 0 1280x800x24" timeout 300 blender "$work/start.blend" --enable-event-simulate \
  --python "$root/tests/blender/test_interactive.py" -- --zip "$zip" --drapeon "$build/drapeon" --work "$work" >/dev/null 2>&1 || true
result=$(cat "$work/interactive.result" 2>/dev/null || echo "Blender's interface did not run the test")
echo "interactive: $result"
case "$result" in ok*) ;; *) status=1 ;; esac

if [ "$status" -eq 0 ] && [ "${UPDATE_DOCS:-0}" = 1 ]; then
  mkdir -p "$root/docs/images"
  cp "$build/blender/drape.png" "$root/docs/images/blender-render.png"
  xvfb-run -a -s "-screen 0 1600x1000x24" blender "$work/start.blend" --python "$root/tests/blender/screenshot_panel.py" -- \
    --zip "$zip" --drapeon "$build/drapeon" --work "$work/panel" --png "$root/docs/images/blender-panel.png" >/dev/null
fi
[ "$status" -eq 0 ] && echo "blender test: passed" || echo "blender test: FAILED" >&2
exit "$status"
