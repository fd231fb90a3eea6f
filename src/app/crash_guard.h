#pragma once
// The launcher's own crash. Left to Windows, a crashed launcher is kept alive
// while Windows Error Reporting shows and collects its report, and so are
// the marks that tell other launchers its programs are supervised: a
// launcher started meanwhile would find every row held and take over
// nothing. So the launcher shows no error boxes and has a filter of its own
// for unhandled exceptions (a C++ exception no catch took among them, raised
// as one with code 0xE0000001). The filter writes the launcher's minidump
// into the /d folder, appends one line to the journal (/l) and ends the
// process at once, the exception's code its exit code.
//
// The process may be broken anywhere by then, so the filter allocates
// nothing, takes no lock and calls no C library function: what it needs is
// prepared beforehand. The dump is written by a thread of its own, and the
// journal's line by another, both waiting from the start, so a thread that
// crashed on an exhausted stack only has to wake them; they use the heap,
// and a dump that does not finish in 30 s (a heap the crash left locked) or
// a line not written 3 s later is given up. A second fault anywhere in that
// path ends the process at once: the end is certain.
#include <string>

// At the very start of WinMain: no error boxes, and the filter in place.
// From then on a crash ends the launcher at once, with or without its paths.
void InstallCrashGuard();

// Where the crash is reported, as the command line gave the dump folder and
// the journal (either may be empty: no dump, no line). Called once, as soon
// as the command line is applied; later calls change nothing.
void SetCrashReportPaths(const std::u16string& dumpFolder, const std::u16string& journalPath);
