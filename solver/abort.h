// Process-wide abort flag, polled by the solver before every sub-step.
// Raising it makes a running advance stop between sub-steps (the state of
// the last complete sub-step is kept; the unfinished frame is not cached);
// it stays raised until cleared.
#pragma once

void drRaiseAbort();
void drClearAbort();
bool drAbortRaised();
