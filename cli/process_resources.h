// What this process holds right now, for the soak and noise checks of
// korvanel-clear --stats: a run must give back every descriptor or handle it
// took and must not grow the process.
#pragma once

namespace korvanel {

struct ProcessResources {
    // Open file descriptors (POSIX) or kernel handles (Windows); -1 unknown.
    long openHandles = -1;
    // Resident set (POSIX) or working set (Windows) in KiB; -1 unknown.
    long residentKiB = -1;
};

ProcessResources ReadProcessResources();

// "open descriptors" or "open handles", for reports.
const char* OpenHandlesName();

} // namespace korvanel
