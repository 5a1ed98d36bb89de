// Start-up on POSIX: descriptors 0-2 and the signals that stop a program.
#include "process_setup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

namespace korvanel {

bool OpenMissingStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() takes the lowest free descriptor, which is `fd`: the lower
        // ones are valid by now.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0)
                ::close(opened);
            return false;
        }
    }
    return true;
}

void RouteStopSignals(void (*onStop)(int))
{
    struct sigaction stop {};
    stop.sa_handler = onStop;
    sigemptyset(&stop.sa_mask);
    // Writes and reads in progress carry on; the handler only raises a flag
    // that the program looks at between ticks.
    stop.sa_flags = SA_RESTART;
    // SIGHUP: the terminal or SSH session that started the program closed.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &stop, nullptr);

    // `korvanel-clear ... | head -c1`: the write fails with EPIPE instead,
    // and the program ends through its own path, closing the port.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

} // namespace korvanel
