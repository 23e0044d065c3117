// Process-wide abort flag, polled by the solver before every sub-step.
// Raising it makes a running advance stop between sub-steps (the state of
// the last complete sub-step is kept; the unfinished frame is not cached);
// it stays raised until cleared.
#pragma once

void drRaiseAbort();
/// Lowers the flag and forgets a frame cut short.
void drClearAbort();
bool drAbortRaised();

/// Set by an advance that the flag stopped short of its target: the frame
/// being evaluated is unfinished (and was not cached). A flag raised after
/// the last sub-step of a frame leaves the frame whole and this unset.
void drNoteCutShort();
bool drCutShort();
