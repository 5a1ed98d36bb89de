// The RS-485 mode and low latency over a driver faked at the ioctl seam:
// what a pseudo-terminal, the 8250, a PL011 and drivers that clamp answer,
// and what the port makes of it.
#include "rs485_kernel_posix.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace korvanel {
namespace {

const char* const PATH = "/dev/ttyX";

// A driver as the kernel runs one: each call answers `err`, a set keeps
// what `keep` leaves of the request.
struct FakeDriver : SerialDriverCalls {
    int getErr = 0, setErr = 0;
    serial_rs485 rs485{};
    void (*keep)(serial_rs485&) = nullptr;
    int getSerialErr = 0, setSerialErr = 0;
    bool keepsLowLatency = true;
    serial_struct serial{};
    int latencyMs = -1;

    int getRs485(serial_rs485& s) override { return getErr ? getErr : (s = rs485, 0); }
    int setRs485(serial_rs485& s) override
    {
        if (setErr)
            return setErr;
        rs485 = s;
        if (keep)
            keep(rs485);
        return 0;
    }
    int getSerial(serial_struct& s) override { return getSerialErr ? getSerialErr : (s = serial, 0); }
    int setSerial(serial_struct& s) override
    {
        if (!setSerialErr && keepsLowLatency)
            serial = s;
        return setSerialErr;
    }
    int latencyTimerMs(std::string& where) override { return where = "/sys/x/latency_timer", latencyMs; }
};

TEST(Rs485Kernel, ReadBackOfEachDriver)
{
    const std::string none = std::string(PATH) +
        " takes no RS-485 settings: its adapter switches direction itself, so run without --rs485";
    const struct {
        const char* driver;
        int getErr, setErr;
        void (*keep)(serial_rs485&);
        Rs485Settings asked;
        std::string error, inForce, note;
    } rows[] = {
        {"pseudo-terminal", ENOTTY, 0, nullptr, {true, true, 0, 0}, none, "off", ""},
        {"8250", 0, ENOTTY, nullptr, {true, true, 0, 0}, none, "off", ""},
        {"refuses the request", 0, EINVAL, nullptr, {true, false, 5, 0}, none, "off", ""},
        {"not allowed", 0, EPERM, nullptr, {true, true, 0, 0},
         "Setting the RS-485 mode of '/dev/ttyX': Operation not permitted", "off", ""},
        {"PL011", 0, 0, nullptr, {true, false, 1, 2}, "", "rts-low, RTS delays 1 ms before and 2 ms after sending", ""},
        {"clamps delays", 0, 0, [](serial_rs485& s) { s.delay_rts_before_send = 100; }, {true, true, 1000, 3}, "",
         "rts-high, RTS delays 100 ms before and 3 ms after sending",
         "/dev/ttyX keeps the RTS delays at 100,3 ms, not 1000,3 as asked: its driver clamped them"},
        {"one polarity", 0, 0, [](serial_rs485& s) { s.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND; },
         {true, false, 0, 0}, "", "rts-high, RTS delays 0 ms before and 0 ms after sending",
         "/dev/ttyX drives RTS high while sending, not low as asked: its driver has only that polarity (rts-high)"},
        {"drops the mode", 0, 0, [](serial_rs485& s) { s.flags = 0; }, {true, true, 0, 0},
         "/dev/ttyX did not keep its RS-485 mode on: its driver turned it off again", "off", ""},
    };
    for (const auto& row : rows) {
        FakeDriver driver;
        driver.getErr = row.getErr;
        driver.setErr = row.setErr;
        driver.keep = row.keep;
        // A fresh PL011 reads RTS_ON_SEND with the mode off.
        driver.rs485.flags = SER_RS485_RTS_ON_SEND;
        int foundFlags = -1;
        const Rs485Result r = TakeRs485(driver, PATH, row.asked,
                                        [&](const serial_rs485& found) { foundFlags = static_cast<int>(found.flags); });
        EXPECT_EQ(r.error, row.error) << row.driver;
        EXPECT_EQ(r.inForce.text(), row.inForce) << row.driver;
        EXPECT_EQ(r.notes, row.note.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.note})
            << row.driver;
        EXPECT_EQ(foundFlags, row.getErr ? -1 : SER_RS485_RTS_ON_SEND) << row.driver;
    }
}

TEST(Rs485Kernel, LowLatencyAndTheAdaptersHold)
{
    const std::string hold = std::string(PATH) +
        " holds each reply up to 16 ms in its adapter (latency_timer) and its driver did not take low latency; "
        "to shorten the hold: echo 1 | sudo tee /sys/x/latency_timer";
    const struct {
        const char* driver;
        int getErr, setErr, flags;
        bool keeps;
        int latencyMs;
        LowLatency state;
        bool changes;
        std::string note;
    } rows[] = {
        {"pseudo-terminal", EINVAL, 0, 0, true, -1, LowLatency::Unavailable, false, ""},
        {"set already", 0, 0, ASYNC_LOW_LATENCY, true, 16, LowLatency::AlreadyOn, false, ""},
        {"8250", 0, 0, ASYNC_SKIP_TEST, true, -1, LowLatency::TurnedOn, true, ""},
        {"USB adapter refusing", 0, EPERM, 0, true, 16, LowLatency::Refused, true, hold},
        {"not kept, timer at 1 ms", 0, 0, 0, false, 1, LowLatency::Refused, true, ""},
        {"no serial info, USB adapter", ENOTTY, 0, 0, true, 16, LowLatency::Unavailable, false, hold},
    };
    for (const auto& row : rows) {
        FakeDriver driver;
        driver.getSerialErr = row.getErr;
        driver.setSerialErr = row.setErr;
        driver.serial.flags = row.flags;
        driver.keepsLowLatency = row.keeps;
        driver.latencyMs = row.latencyMs;
        int found = -1;
        const LowLatencyResult r =
            TakeLowLatency(driver, PATH, [&](const serial_struct& info) { found = info.flags; });
        EXPECT_EQ(r.state, row.state) << row.driver;
        EXPECT_EQ(r.note, row.note) << row.driver;
        EXPECT_EQ(found, row.changes ? row.flags : -1) << row.driver;
    }
}

} // namespace
} // namespace korvanel
