#include "process_resources.h"

#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <vector>

namespace korvanel {

namespace {

// The system-wide handle table, as NtQuerySystemInformation returns it for
// SystemExtendedHandleInformation (class 64).
constexpr ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;
constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH_VALUE = static_cast<NTSTATUS>(0xC0000004L);

struct HandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

// Counts this process's entries in the system's handle table. Used where
// GetProcessHandleCount answers 0, as Wine's does: every process holds some
// handles, so 0 only means the count is not kept.
long CountHandlesInSystemTable()
{
    std::vector<unsigned char> buffer(1 << 20);
    for (int attempt = 0; attempt < 6; ++attempt) {
        ULONG needed = 0;
        const NTSTATUS status = NtQuerySystemInformation(
            static_cast<SYSTEM_INFORMATION_CLASS>(SYSTEM_EXTENDED_HANDLE_INFORMATION),
            buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == STATUS_INFO_LENGTH_MISMATCH_VALUE) {
            buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 65536);
            continue;
        }
        if (status < 0)
            return -1;
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        const ULONG_PTR self = GetCurrentProcessId();
        long mine = 0;
        for (ULONG_PTR i = 0; i < table->count; ++i) {
            if (table->entries[i].processId == self)
                ++mine;
        }
        return mine;
    }
    return -1;
}

} // namespace

ProcessResources ReadProcessResources()
{
    ProcessResources r;
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0)
        r.openHandles = static_cast<long>(handles);
    else
        r.openHandles = CountHandlesInSystemTable();
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        r.residentKiB = static_cast<long>(counters.WorkingSetSize / 1024);
    return r;
}

const char* OpenHandlesName()
{
    return "open handles";
}

} // namespace korvanel
