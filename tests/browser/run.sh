#!/usr/bin/env bash
# Browser test of the viewer: bash tests/browser/run.sh [BUILD_DIR]
#
# Installs what it needs (Debian's chromium, the viewer's npm packages),
# builds the program and the viewer script into BUILD_DIR (default: build),
# runs the tutorial's scenes (docs/tutorial.md) into a temporary folder,
# writes their viewer pages, and checks the last one in the browser (see
# viewer.test.mjs). Screenshots go to BUILD_DIR/browser/; with UPDATE_DOCS=1
# they also replace the tutorial's pictures in docs/images/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$root" && mkdir -p "${1:-build}" && cd "${1:-build}" && pwd)

if [ ! -x /usr/bin/chromium ]; then
  echo "browser test: installing chromium" >&2
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq chromium >/dev/null
fi
command -v npm >/dev/null || { echo "browser test: npm is missing (apt-get install npm)" >&2; exit 1; }

(cd "$root/viewer" && npm ci --no-audit --no-fund --loglevel=error)
if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target drapeon_app
script="$build/viewer/drapeon-viewer.js"
node "$root/viewer/build.mjs" "$script"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/browser"

# The tutorial's scenes, as the reader copies them from the page.
python3 - "$root/docs/tutorial.md" "$work" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
scenes = re.findall(r'<!-- scene: (\S+) -->\n```json\n(.*?)```', text, re.S)
if not scenes:
    sys.exit("browser test: no scene found in " + sys.argv[1])
for name, body in scenes:
    open(f"{sys.argv[2]}/{name}.json", "w").write(body)
    print(name)
PY
scenes=$(cd "$work" && ls *.json | sed 's/\.json$//' | sort)
last=$(echo "$scenes" | tail -1)

status=0
for scene in $scenes; do
  out="$work/out/$scene"
  "$build/drapeon" run "$work/$scene.json" --out "$out" >/dev/null 2>"$work/$scene.log" ||
    { echo "FAIL drapeon run $scene.json:" >&2; cat "$work/$scene.log" >&2; status=1; continue; }
  "$build/drapeon" view "$out" --script "$script" >/dev/null
  check=(); [ "$scene" = "$last" ] && check=(--check)
  echo "== viewer of $scene"
  node "$root/tests/browser/viewer.test.mjs" --page "$out/viewer.html" --out "$out" --object Sheet \
    --screenshot "$build/browser/$scene.png" "${check[@]}" || status=1
  if [ "${UPDATE_DOCS:-0}" = 1 ]; then
    mkdir -p "$root/docs/images"
    cp "$build/browser/$scene.png" "$root/docs/images/$scene.png"
  fi
done
[ $status -eq 0 ] && echo "browser test passed" || echo "browser test FAILED" >&2
exit $status
