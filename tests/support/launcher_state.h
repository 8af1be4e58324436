// The launcher's global state, put back as a fresh process has it: what
// every test fixture calls before and after a case, since many cases run in
// one process.
#pragma once

// Every test hook back to the real calls (platform/test_hooks.h), the
// download limits to their defaults, the display to "Loading..." with the
// default colour and no repaint handler, the language to English, the
// archive set closed and no index loaded, and the update layer's memory
// (launcher versions, the game start claim and its delay, the accepted
// release) forgotten.
void resetLauncherState();
