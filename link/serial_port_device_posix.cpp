// What the POSIX serial port knows of devices apart from talking to them:
// the names a port is typed as, the ports present, who holds a busy one,
// why an open failed and which devices are no line at all.
#include "serial_port_device_posix.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "serial_port.h"

namespace korvanel {

namespace {

bool HasPrefix(const std::string& s, const char* prefix)
{
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// A ttyS node exists for every possible legacy UART; the kernel reports
// type 0 (unknown) for those with no hardware behind them.
bool LegacyUartPresent(const std::string& name)
{
    std::ifstream type("/sys/class/tty/" + name + "/type");
    int value = -1;
    if (!(type >> value))
        return true; // cannot tell: better listed than hidden
    return value != 0;
}

std::vector<std::string> DirectoryEntries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return names;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return names;
}

// ttyS2 before ttyS10: by prefix, then by number.
bool NaturalLess(const std::string& a, const std::string& b)
{
    auto split = [](const std::string& s) {
        std::size_t i = s.size();
        while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1])))
            --i;
        const std::string digits = s.substr(i);
        return std::make_pair(s.substr(0, i), digits.empty() ? -1L : std::stol(digits));
    };
    return split(a) < split(b);
}

// The name a process was started as, from /proc/PID/comm ("minicom").
std::string ProcessName(const std::string& pid)
{
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

bool AllDigits(const std::string& s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

// The process holding an flock on the file `st` describes, from
// /proc/locks ("1: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF", the file as
// filesystem major:minor in hex and inode); empty when there is none.
// Readable by every user, whoever holds the lock.
std::string LockHolder(const struct stat& st)
{
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        if (fields >> number >> kind >> mode >> access >> pid >> where && kind == "FLOCK" &&
            where == file)
            return pid;
    }
    return {};
}

// The processes other than this one with the character device `st` open,
// from /proc/*/fd; another user's processes hide their descriptors unless
// we are root.
std::vector<std::string> OpenHolders(const struct stat& st)
{
    std::vector<std::string> pids;
    const std::string self = std::to_string(::getpid());
    for (const std::string& pid : DirectoryEntries("/proc")) {
        if (!AllDigits(pid) || pid == self)
            continue;
        const std::string fdDir = "/proc/" + pid + "/fd";
        for (const std::string& fd : DirectoryEntries(fdDir)) {
            struct stat target {};
            if (::stat((fdDir + "/" + fd).c_str(), &target) == 0 && S_ISCHR(target.st_mode) &&
                target.st_rdev == st.st_rdev) {
                pids.push_back(pid);
                break;
            }
        }
    }
    return pids;
}

// "held by PID 1234 (minicom)": the lock holder when there is one (it is
// the one refusing us), otherwise every process that has the device open.
std::string Holders(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    std::vector<std::string> pids;
    const std::string locker = LockHolder(st);
    if (!locker.empty())
        pids.push_back(locker);
    else if (S_ISCHR(st.st_mode))
        pids = OpenHolders(st);
    std::string text;
    for (const std::string& pid : pids)
        text += (text.empty() ? "held by PID " : ", PID ") + pid + " (" + ProcessName(pid) + ")";
    return text;
}

// The group that may open `path` and the way into it, when group members
// may read and write it: "add yourself to the group dialout: sudo usermod
// -aG dialout $USER, then log in again" (a new group counts from the next
// login).
std::string GroupAdvice(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return {};
    const group* g = ::getgrgid(st.st_gid);
    if (!g || !g->gr_name)
        return {};
    const std::string name = g->gr_name;
    return "add yourself to the group " + name + ": sudo usermod -aG " + name +
           " $USER, then log in again";
}

} // namespace

std::string ExplainOpenFailure(int err, const std::string& path)
{
    std::string text = std::strerror(err);
    std::string advice;
    if (err == EBUSY) {
        advice = Holders(path);
        if (advice.empty())
            advice = "held by another program";
    } else if (err == EACCES) {
        advice = GroupAdvice(path);
    } else if (err == ENOENT) {
        advice = TEXT_LIST_PORTS_HINT;
    }
    return advice.empty() ? text : text + "; " + advice;
}

// Why a descriptor must never be taken as the inverter's line; empty for
// any other. Frames written to the terminal the program runs in land on the
// user's screen (`--port tty`); the multiplexer hands out a new
// pseudo-terminal whose far end nobody holds.
std::string RefusedAsLine(int fd)
{
    // The kernel names a terminal's session only to a process it is the
    // controlling terminal of.
    if (::tcgetsid(fd) >= 0)
        return "this is the terminal the program runs in, not a serial port";
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISCHR(opened.st_mode))
        return {};
    for (const char* multiplexer : {"/dev/ptmx", "/dev/pts/ptmx"}) {
        struct stat st {};
        if (::stat(multiplexer, &st) == 0 && st.st_rdev == opened.st_rdev)
            return "this is the pseudo-terminal multiplexer, not a serial port; name the "
                   "pseudo-terminal's own device under /dev/pts";
    }
    return {};
}

std::string SerialPort::DevicePathFor(const std::string& portName)
{
    if (portName.empty())
        return portName;
    // COMn is the nth legacy UART, /dev/ttyS(n-1), the numbering Wine uses.
    if (const unsigned n = ComPortNumber(portName))
        return "/dev/ttyS" + std::to_string(n - 1);
    if (portName.find('/') != std::string::npos)
        return portName;
    return "/dev/" + portName;
}

std::vector<std::string> SerialPort::ListPorts(const std::string& deviceRoot)
{
    std::vector<std::string> ports;
    for (const std::string& name : DirectoryEntries(deviceRoot)) {
        if (HasPrefix(name, "ttyS")) {
            if (LegacyUartPresent(name))
                ports.push_back(deviceRoot + "/" + name);
        } else if (HasPrefix(name, "ttyUSB") || HasPrefix(name, "ttyACM")) {
            ports.push_back(deviceRoot + "/" + name);
        }
    }
    std::sort(ports.begin(), ports.end(), NaturalLess);
    // Stable names for USB adapters, whatever order they were plugged in.
    const std::string byIdDir = deviceRoot + "/serial/by-id";
    std::vector<std::string> byId = DirectoryEntries(byIdDir);
    std::sort(byId.begin(), byId.end());
    for (const std::string& name : byId)
        ports.push_back(byIdDir + "/" + name);
    return ports;
}

} // namespace korvanel
