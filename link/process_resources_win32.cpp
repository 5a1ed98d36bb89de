#include "process_resources.h"

#include <windows.h>
#include <psapi.h>

namespace korvanel {

ProcessResources ReadProcessResources()
{
    ProcessResources r;
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles))
        r.openHandles = static_cast<long>(handles);
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        r.residentKiB = static_cast<long>(counters.WorkingSetSize / 1024);
    return r;
}

const char* OpenHandlesName() { return "open handles"; }

} // namespace korvanel
