// Start-up on Windows. A serial port is a HANDLE, never a C runtime
// descriptor, so a closed standard stream cannot be taken over by the port;
// there is no SIGHUP or SIGPIPE, and a failed write is an error return.
#include "process_setup.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>

#include "open_port_record_win32.h"

namespace korvanel {

namespace {

// The console control handler runs on a thread of its own, alongside the
// thread that opens and closes the port.
std::mutex g_recordLock;
HANDLE g_port = nullptr;
DCB g_found{};
bool g_foundValid = false;

// A console in selection mode or a pipe nobody reads blocks a write: the
// message gets this long on a thread of its own, then the process ends.
constexpr DWORD MESSAGE_WAIT_MS = 200;

std::atomic<std::size_t> g_unfinishedLine{0};

DWORD WINAPI SayClosed(LPVOID text)
{
    const char* message = static_cast<const char*>(text);
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), message, static_cast<DWORD>(std::strlen(message)),
                &written, nullptr);
    return 0;
}

BOOL WINAPI EndOnConsoleEvent(DWORD event)
{
    // The status a POSIX shell would show: 128 + SIGINT, + SIGBREAK (21),
    // + SIGHUP for a console closed, a logoff or a shutdown.
    int status = 128 + 1;
    if (event == CTRL_C_EVENT)
        status = 128 + 2;
    else if (event == CTRL_BREAK_EVENT)
        status = 128 + 21;
    const bool hadPort = ReleaseRecordedPort();
    static const char CLOSED[] = "Interrupted: the port is closed.\n";
    static const char NO_PORT[] = "Interrupted.\n";
    // Spaces over an unfinished line first, so the message does not trail it.
    static char message[2 + 160 + sizeof CLOSED];
    const std::size_t cover = (std::min<std::size_t>)(g_unfinishedLine.load(), 160);
    std::size_t at = 0;
    if (cover > 0) {
        message[at++] = '\r';
        std::memset(message + at, ' ', cover);
        at += cover;
        message[at++] = '\r';
    }
    std::strcpy(message + at, hadPort ? CLOSED : NO_PORT);
    const HANDLE writer = ::CreateThread(nullptr, 0, SayClosed, message, 0, nullptr);
    if (writer) {
        ::WaitForSingleObject(writer, MESSAGE_WAIT_MS);
        ::CloseHandle(writer);
    }
    // Not ExitProcess: the main thread may hold the locks that exit
    // handlers and library clean-up would wait for.
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
    return TRUE;
}

} // namespace

void RecordOpenPort(HANDLE port)
{
    std::lock_guard<std::mutex> lock(g_recordLock);
    g_port = port;
    g_foundValid = false;
}

void RecordFoundSettings(HANDLE port, const DCB& found)
{
    std::lock_guard<std::mutex> lock(g_recordLock);
    if (g_port != port)
        return;
    g_found = found;
    g_foundValid = true;
}

void ForgetOpenPort(HANDLE port)
{
    std::lock_guard<std::mutex> lock(g_recordLock);
    if (g_port != port)
        return;
    g_port = nullptr;
    g_foundValid = false;
}

bool ReleaseRecordedPort()
{
    std::lock_guard<std::mutex> lock(g_recordLock);
    if (!g_port)
        return false;
    if (g_foundValid)
        ::SetCommState(g_port, &g_found);
    // Ends whatever the main thread still has pending on it, and the
    // exclusive claim with it.
    ::CloseHandle(g_port);
    g_port = nullptr;
    g_foundValid = false;
    return true;
}

bool OpenMissingStandardDescriptors()
{
    return true;
}

void RouteStopSignals(void (*onStop)(int))
{
    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
}

void EndProcessOnStopSignals()
{
    ::SetConsoleCtrlHandler(EndOnConsoleEvent, TRUE);
}

void SetUnfinishedLine(std::size_t length)
{
    g_unfinishedLine.store(length);
}

} // namespace korvanel
