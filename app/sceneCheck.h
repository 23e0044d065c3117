// Checks of a built scene that need to know what the plug-in's objects
// mean: a cloth that could not be simulated, links that do nothing, counts
// that ask for more than the mesh can give. The loader runs them after it
// built the document, so a scene is refused before any work is done.
#pragma once

#include "scene.h"

#include <string>

/// Refuses what the plug-in could not simulate sensibly and notes in
/// `scene.warnings` what means less than it says (each one names the
/// object). Returns the problem ("object \"Sheet/Cloth\": ..."), or an
/// empty string when the scene can run.
std::string checkScene(Scene& scene);
