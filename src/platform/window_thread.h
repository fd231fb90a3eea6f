#pragma once
// The window's thread never waits on the disk: a folder on a share that has
// gone away would freeze the window, the tick, the heartbeats and the
// control replies alike. Every file call of the launcher's own work notes
// itself here; one made on the window's thread is counted, and in debug
// builds (the tests among them) it asserts, so such a call is found by any
// test that reaches it rather than by an operator on a dead share.
//
// Reading the launch list and the settings at the start, before anything is
// supervised, is not among these calls.

// The calling thread is the window's (called as the window is made), or no
// longer is.
void MarkWindowThread(bool isWindowThread = true);

// A file call is about to be made on the calling thread.
void NoteFileCall();

// How many file calls the window's thread has made.
unsigned FileCallsOnWindowThread();
