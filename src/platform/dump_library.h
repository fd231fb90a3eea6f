#pragma once
// The system's dump library, shared by the hung programs' dumps and the
// launcher's own crash dump: loaded from the system folder only, so a
// dbghelp.dll beside the launcher or in the current directory is never run.
#include <windows.h>
#include <dbghelp.h>

#include <cstdint>

// What a developer needs to see where a program hung or crashed, and not its
// memory: threads with their stacks, modules, thread times and states,
// handles.
inline constexpr MINIDUMP_TYPE kDumpType =
    static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithHandleData | MiniDumpWithThreadInfo);

using WriteDumpFunction = decltype(&::MiniDumpWriteDump);

// The dump library's writer, from the system folder only. Null, with `error`
// set, when it cannot be had.
WriteDumpFunction LoadWriteDump(std::uint32_t* error);
