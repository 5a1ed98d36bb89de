#include "process_resources.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>

namespace korvanel {

ProcessResources ReadProcessResources()
{
    ProcessResources r;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        long entries = 0;
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] != '.')
                ++entries;
        }
        ::closedir(dir);
        // The directory being listed is itself one of the descriptors.
        r.openHandles = entries - 1;
    }
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        long totalPages = 0;
        long residentPages = 0;
        if (std::fscanf(f, "%ld %ld", &totalPages, &residentPages) == 2)
            r.residentKiB = residentPages * (::sysconf(_SC_PAGESIZE) / 1024);
        std::fclose(f);
    }
    return r;
}

const char* OpenHandlesName()
{
    return "open descriptors";
}

} // namespace korvanel
