// Start-up on POSIX: descriptors 0-2 and the signals that stop a program.
#include "process_setup.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "open_port_record_posix.h"

namespace korvanel {

namespace {

// Lock-free atomics are async-signal-safe; the settings are written before
// the flag that says they are there, and read after it.
std::atomic<int> g_portFd{-1};
std::atomic<bool> g_foundValid{false};
termios g_found{};
// The same for the driver's RS-485 mode and serial flags.
std::atomic<bool> g_rs485Valid{false};
serial_rs485 g_rs485{};
std::atomic<bool> g_serialValid{false};
serial_struct g_serial{};

// Signals sent to end the process (by a user, a terminal, a supervisor, a
// timer): their default ends it without a core file to speak of, and they
// now end it with 128 + n.
std::vector<int> StopSignals()
{
    std::vector<int> signals = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
                                SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};
#ifdef SIGPOLL
    signals.push_back(SIGPOLL);
#endif
#ifdef SIGPWR
    signals.push_back(SIGPWR);
#endif
#ifdef SIGSTKFLT
    signals.push_back(SIGSTKFLT);
#endif
    // Real-time signals end the process by default too.
    for (int n = SIGRTMIN; n <= SIGRTMAX; ++n)
        signals.push_back(n);
    return signals;
}

// The program's own faults: the port is given back, then the default
// action (a core file) follows as it would have.
constexpr int FAULT_SIGNALS[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS};

bool IsFault(int signal)
{
    for (const int fault : FAULT_SIGNALS) {
        if (fault == signal)
            return true;
    }
    return false;
}

// Written only when it fits without waiting: a paused terminal or a pipe
// nobody reads must not keep the process, and the port is already back.
void SayWithoutWaiting(const char* text, std::size_t length)
{
    const int flags = ::fcntl(STDERR_FILENO, F_GETFL);
    if (flags < 0)
        return;
    // The open file is shared with the shell: its mode is put back at once.
    ::fcntl(STDERR_FILENO, F_SETFL, flags | O_NONBLOCK);
    const ssize_t written = ::write(STDERR_FILENO, text, length);
    (void)written;
    ::fcntl(STDERR_FILENO, F_SETFL, flags);
}

std::atomic<std::size_t> g_unfinishedLine{0};

// Spaces over the unfinished line, so the message does not trail it.
void WipeUnfinishedLine()
{
    char wipe[2 + 160];
    const std::size_t cover = std::min<std::size_t>(g_unfinishedLine.load(), 160);
    if (cover == 0)
        return;
    wipe[0] = '\r';
    std::memset(wipe + 1, ' ', cover);
    wipe[cover + 1] = '\r';
    SayWithoutWaiting(wipe, cover + 2);
}

// Only async-signal-safe calls: this may interrupt any write, the port's
// own open or close included.
void EndOnSignal(int signal)
{
    const bool hadPort = ReleaseRecordedPort();
    if (IsFault(signal)) {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(signal, &fallback, nullptr);
        // Blocked until the handler returns, then the default action.
        ::raise(signal);
        return;
    }
    static const char CLOSED[] = "Interrupted: the port is closed.\n";
    static const char NO_PORT[] = "Interrupted.\n";
    WipeUnfinishedLine();
    if (hadPort)
        SayWithoutWaiting(CLOSED, sizeof CLOSED - 1);
    else
        SayWithoutWaiting(NO_PORT, sizeof NO_PORT - 1);
    // The shell's convention: 130 for Ctrl-C, 143 for SIGTERM, 129 for a hang-up.
    ::_exit(128 + signal);
}

// A signal whose disposition is not the default stays as it is: ignored at
// start (nohup, a shell's background job) or taken by a sanitizer.
bool IsDefault(int signal)
{
    struct sigaction current {};
    return ::sigaction(signal, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
           current.sa_handler == SIG_DFL;
}

void IgnoreBrokenPipes()
{
    // `korvanel-clear ... | head -c1`: the write fails with EPIPE instead,
    // and the program ends through its own path, closing the port.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

void ForgetFound()
{
    g_foundValid.store(false);
    g_rs485Valid.store(false);
    g_serialValid.store(false);
}

// `value` becomes `slot` for the port open on `fd`; the flag says so only
// once the copy is whole.
template <typename T>
void Keep(int fd, std::atomic<bool>& valid, T& slot, const T& value)
{
    if (g_portFd.load() != fd)
        return;
    valid.store(false);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    slot = value;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    valid.store(true);
}

} // namespace

void RecordOpenPort(int fd)
{
    ForgetFound();
    g_portFd.store(fd);
}

void RecordFoundSettings(int fd, const termios& found)
{
    Keep(fd, g_foundValid, g_found, found);
}

void RecordFoundRs485(int fd, const serial_rs485& found)
{
    Keep(fd, g_rs485Valid, g_rs485, found);
}

void RecordFoundSerialFlags(int fd, const serial_struct& found)
{
    Keep(fd, g_serialValid, g_serial, found);
}

void ForgetOpenPort(int fd)
{
    int expected = fd;
    if (g_portFd.compare_exchange_strong(expected, -1))
        ForgetFound();
}

bool ReleaseRecordedPort()
{
    const int fd = g_portFd.exchange(-1);
    if (fd < 0)
        return false;
    // Plain ioctls, each harmless on a driver that refuses it. The mode a
    // port was found with off goes back off, whatever flags it then held.
    if (g_rs485Valid.load())
        (void)::ioctl(fd, TIOCSRS485, &g_rs485);
    if (g_serialValid.load())
        (void)::ioctl(fd, TIOCSSERIAL, &g_serial);
    // TCSANOW: a drain could wait forever on a line held by flow control.
    if (g_foundValid.load())
        (void)::tcsetattr(fd, TCSANOW, &g_found);
    (void)::ioctl(fd, TIOCNXCL);
    (void)::flock(fd, LOCK_UN);
    return true;
}

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
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (IsDefault(signal))
            ::sigaction(signal, &stop, nullptr);
    }
    IgnoreBrokenPipes();
}

void EndProcessOnStopSignals()
{
    std::vector<int> signals = StopSignals();
    signals.insert(signals.end(), std::begin(FAULT_SIGNALS), std::end(FAULT_SIGNALS));
    struct sigaction end {};
    end.sa_handler = EndOnSignal;
    // A second signal waits: the port is given back once, whole.
    sigemptyset(&end.sa_mask);
    for (const int signal : signals)
        sigaddset(&end.sa_mask, signal);
    for (const int signal : signals) {
        if (IsDefault(signal))
            ::sigaction(signal, &end, nullptr);
    }
    IgnoreBrokenPipes();
}

void SetUnfinishedLine(std::size_t length)
{
    g_unfinishedLine.store(length);
}

} // namespace korvanel
