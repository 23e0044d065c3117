// What a run does before its first frame so that it writes only what is its
// own to write: it locks its output folder and every cache it writes, then
// gets the caches ready (stale frames replaced, unless the user asks to
// play them back).
#pragma once

#include "runLock.h"
#include "scene.h"

#include <filesystem>

/// Locks `outDir` and the caches of the scene's cloth objects into `locks`
/// and prepares the caches (see prepareCache). Prints what it finds and
/// any problem to standard error; returns kExitOk, or the exit status.
int claimRunOutputs(const Scene& scene, const std::filesystem::path& outDir, bool reuseCaches, RunLocks& locks);
