// A serial port's RS-485 mode and low latency on Linux. The kernel keeps
// both after the port is closed, so whatever is changed here is put back
// as found by the port (at close) and by the signal handler (at any other
// ending); this file only decides what to ask and words what came back.
#include "rs485_kernel_posix.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace korvanel {

namespace {

// Said when a driver has no RS-485 mode: most USB adapters switch the
// direction in hardware and refuse the call.
constexpr const char NO_RS485_MODE[] =
    " takes no RS-485 settings: its adapter switches direction itself, so run without --rs485";

int Call(int fd, unsigned long request, void* arg)
{
    return ::ioctl(fd, request, arg) == 0 ? 0 : errno;
}

bool NoSuchCall(int err)
{
    return err == ENOTTY || err == EINVAL;
}

// The name the kernel gives the device `path` leads to ("ttyUSB0").
std::string KernelName(const std::string& path)
{
    char real[PATH_MAX];
    const std::string resolved = ::realpath(path.c_str(), real) ? real : path;
    return resolved.substr(resolved.rfind('/') + 1);
}

int ReadNumber(const std::string& file)
{
    std::ifstream in(file);
    int value = -1;
    return in >> value ? value : -1;
}

std::string RequestError(const std::string& path, int err)
{
    return "Setting the RS-485 mode of '" + path + "': " + std::strerror(err);
}

void NoteChanges(const Rs485Settings& asked, const Rs485Settings& kept, const std::string& path,
                 std::vector<std::string>& notes)
{
    if (kept.rtsHighOnSend != asked.rtsHighOnSend)
        notes.push_back(path + " drives RTS " + (kept.rtsHighOnSend ? "high" : "low") +
                        " while sending, not " + (asked.rtsHighOnSend ? "high" : "low") +
                        " as asked: its driver has only that polarity (" + kept.modeName() + ")");
    if (kept.delayBeforeMs != asked.delayBeforeMs || kept.delayAfterMs != asked.delayAfterMs)
        notes.push_back(path + " keeps the RTS delays at " + std::to_string(kept.delayBeforeMs) +
                        "," + std::to_string(kept.delayAfterMs) + " ms, not " +
                        std::to_string(asked.delayBeforeMs) + "," +
                        std::to_string(asked.delayAfterMs) + " as asked: its driver clamped them");
}

} // namespace

int FdDriverCalls::getRs485(serial_rs485& state)
{
    return Call(fd_, TIOCGRS485, &state);
}

int FdDriverCalls::setRs485(serial_rs485& state)
{
    return Call(fd_, TIOCSRS485, &state);
}

int FdDriverCalls::getSerial(serial_struct& info)
{
    return Call(fd_, TIOCGSERIAL, &info);
}

int FdDriverCalls::setSerial(serial_struct& info)
{
    return Call(fd_, TIOCSSERIAL, &info);
}

int FdDriverCalls::latencyTimerMs(std::string& where)
{
    // ftdi_sio puts it on the USB serial port the tty hangs on; other
    // drivers one level up, on the USB interface.
    const std::string device = "/sys/class/tty/" + KernelName(path_) + "/device";
    for (const std::string& file : {device + "/latency_timer", device + "/../latency_timer"}) {
        const int ms = ReadNumber(file);
        if (ms >= 0) {
            where = file;
            return ms;
        }
    }
    return -1;
}

Rs485Result TakeRs485(SerialDriverCalls& calls, const std::string& path, const Rs485Settings& asked,
                      const std::function<void(const serial_rs485&)>& found)
{
    Rs485Result result;
    serial_rs485 state{};
    int err = calls.getRs485(state);
    if (err == 0) {
        found(state);
        state.flags &= ~static_cast<__u32>(SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND);
        state.flags |= SER_RS485_ENABLED |
                       (asked.rtsHighOnSend ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
        state.delay_rts_before_send = asked.delayBeforeMs;
        state.delay_rts_after_send = asked.delayAfterMs;
        err = calls.setRs485(state);
    }
    // The driver clamps or drops what it cannot do and keeps the rest;
    // what it kept is the state in force.
    if (err == 0)
        err = calls.getRs485(state);
    if (err != 0) {
        result.error = NoSuchCall(err) ? path + NO_RS485_MODE : RequestError(path, err);
        return result;
    }
    if (!(state.flags & SER_RS485_ENABLED)) {
        result.error = path + " did not keep its RS-485 mode on: its driver turned it off again";
        return result;
    }
    Rs485Settings& kept = result.inForce;
    kept.enabled = true;
    kept.rtsHighOnSend = (state.flags & SER_RS485_RTS_ON_SEND) != 0;
    kept.delayBeforeMs = state.delay_rts_before_send;
    kept.delayAfterMs = state.delay_rts_after_send;
    NoteChanges(asked, kept, path, result.notes);
    return result;
}

LowLatencyResult TakeLowLatency(SerialDriverCalls& calls, const std::string& path,
                                const std::function<void(const serial_struct&)>& found)
{
    LowLatencyResult result;
    serial_struct info{};
    if (calls.getSerial(info) != 0) {
        result.state = LowLatency::Unavailable;
    } else if (info.flags & ASYNC_LOW_LATENCY) {
        result.state = LowLatency::AlreadyOn;
    } else {
        found(info);
        info.flags |= ASYNC_LOW_LATENCY;
        const bool took = calls.setSerial(info) == 0 && calls.getSerial(info) == 0 &&
                          (info.flags & ASYNC_LOW_LATENCY) != 0;
        result.state = took ? LowLatency::TurnedOn : LowLatency::Refused;
    }
    if (result.state == LowLatency::TurnedOn || result.state == LowLatency::AlreadyOn)
        return result;
    std::string where;
    const int ms = calls.latencyTimerMs(where);
    if (ms > 1)
        result.note = path + " holds each reply up to " + std::to_string(ms) +
                      " ms in its adapter (latency_timer) and its driver did not take low "
                      "latency; to shorten the hold: echo 1 | sudo tee " +
                      where;
    return result;
}

} // namespace korvanel
