#!/usr/bin/env bash
# Makes the Blender add-on zip: bash scripts/make-addon.sh [OUT.zip] [--with-program BUILD_DIR]
#
# The zip (default build/drapeon-blender.zip) installs with Blender's
# Edit > Preferences > Add-ons > Install. With --with-program the drapeon
# program and its plug-in from BUILD_DIR go into the zip too (the add-on's
# bin/ folder), for machines where drapeon is not on PATH.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/drapeon-blender.zip"
program=""
while [ $# -gt 0 ]; do
  case "$1" in
    --with-program) program=$(cd "$2" && pwd); shift 2 ;;
    *) out=$(realpath -m "$1"); shift ;;
  esac
done
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/drapeon"
cp "$root"/blender/drapeon/*.py "$stage/drapeon/"
if [ -n "$program" ]; then
  mkdir -p "$stage/drapeon/bin/plugins"
  cp "$program/drapeon" "$stage/drapeon/bin/"
  cp -r "$program/plugins/." "$stage/drapeon/bin/plugins/"
  # Debug information is of no use to the add-on's users
  if command -v strip >/dev/null; then
    strip --strip-debug "$stage/drapeon/bin/drapeon" "$stage"/drapeon/bin/plugins/*.so
  fi
fi
mkdir -p "$(dirname "$out")"
rm -f "$out"
(cd "$stage" && python3 -m zipfile -c "$out" drapeon)
echo "$out"
