#pragma once
// The threads that make the launcher's file calls (the file writer, the dump
// worker), so that the end can cancel a call that has stopped returning.
// Windows does not let a process end while one of its threads waits in I/O
// that is neither complete nor cancelled (TerminateProcess: the process
// "cannot exit until all pending I/O has been completed or canceled"), so a
// share on /l, /m or /d that stopped answering would keep an ended launcher
// in being, with its pipe and its task's instance.
#include <windows.h>

// Counts the calling thread as one; it stays counted for the process's life.
void CountAsDiskThread();
// Cancels the synchronous call each such thread is still in: the end's
// deadline has passed and whatever they write is given up. The calls fail
// with ERROR_OPERATION_ABORTED where the file system supports it (local
// ones and SMB do); a call that returns anyway is left to finish.
void CancelDiskCalls();
