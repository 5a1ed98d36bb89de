#include "inverter.h"

#include <cstdio>

#include "clear_run.h"
#include "modbus_crc.h"

namespace korvanel {

namespace {

constexpr std::uint8_t FN_READ_HOLDING = 0x03;
constexpr std::uint8_t FN_WRITE_SINGLE = 0x06;
constexpr std::uint8_t FN_WRITE_MULTIPLE = 0x10;
constexpr std::uint8_t EXCEPTION_FLAG = 0x80;
constexpr std::uint8_t EXCEPTION_ILLEGAL_FUNCTION = 0x01;
constexpr std::uint8_t EXCEPTION_ILLEGAL_ADDRESS = 0x02;
constexpr std::uint8_t EXCEPTION_ILLEGAL_VALUE = 0x03;
constexpr std::uint8_t BROADCAST = 0;
// Modbus limits one read to 125 registers and one write to 123.
constexpr unsigned MAX_READ = 125;
constexpr unsigned MAX_WRITE = 123;

std::uint16_t Word(const FrameBytes& f, std::size_t at)
{
    return static_cast<std::uint16_t>(f[at] << 8 | f[at + 1]);
}

void PutWord(FrameBytes& f, std::uint16_t w)
{
    f.push_back(static_cast<std::uint8_t>(w >> 8));
    f.push_back(static_cast<std::uint8_t>(w & 0xFF));
}

std::string Hex4(unsigned v)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v & 0xFFFFu);
    return text;
}

FrameBytes ExceptionReply(std::uint8_t address, std::uint8_t function, std::uint8_t code)
{
    FrameBytes reply{address, static_cast<std::uint8_t>(function | EXCEPTION_FLAG), code};
    AppendCheck(reply);
    return reply;
}

} // namespace

void AppendCheck(FrameBytes& frame)
{
    // The packed result holds the byte that goes first in its high half.
    const std::uint16_t crc = ModbusCrc16Bytes(frame.data(), frame.size());
    PutWord(frame, crc);
}

bool HasValidCheck(const FrameBytes& frame)
{
    if (frame.size() < 4)
        return false;
    const std::uint16_t crc = ModbusCrc16Bytes(frame.data(), frame.size() - 2);
    return Word(frame, frame.size() - 2) == crc;
}

VirtualInverter::VirtualInverter(SimConfig config) : config_(std::move(config))
{
    for (const std::uint8_t address : config_.addresses)
        registers_[address][CLEAR_REGISTER] = config_.initialClearValue;
}

std::uint16_t VirtualInverter::holdingRegister(std::uint8_t address, std::uint16_t reg) const
{
    const auto bus = registers_.find(address);
    if (bus == registers_.end())
        return 0;
    const auto value = bus->second.find(reg);
    return value == bus->second.end() ? 0 : value->second;
}

FrameOutcome VirtualInverter::handleFrame(const FrameBytes& frame)
{
    FrameOutcome outcome;
    if (frame.size() < 4) {
        outcome.note = "too short, ignored";
        return outcome;
    }
    if (!HasValidCheck(frame)) {
        outcome.note = "bad check, ignored";
        return outcome;
    }
    const std::uint8_t address = frame[0];
    const bool broadcast = address == BROADCAST;
    if (!broadcast && registers_.find(address) == registers_.end()) {
        outcome.note = "for address " + std::to_string(address) + ", not ours";
        return outcome;
    }

    ++requestsSeen_;
    if (requestsSeen_ < config_.answerFrom) {
        outcome.note = "request " + std::to_string(requestsSeen_) + ", unanswered until request " +
                       std::to_string(config_.answerFrom);
        return outcome;
    }
    const SimFault fault = broadcast ? config_.fault : faultFor(address);
    if (fault == SimFault::Silent) {
        outcome.note = "silent";
        return outcome;
    }
    if (fault == SimFault::Exception) {
        outcome.note = "exception reply";
        if (!broadcast)
            outcome.reply.push_back({0, ExceptionReply(address, frame[1], SIM_EXCEPTION_DEVICE_FAILURE)});
        return outcome;
    }

    if (broadcast) {
        // Every inverter on the bus acts; none answers.
        for (auto& bus : registers_) {
            std::string note;
            answer(bus.first, frame, note);
            outcome.note = note + " (broadcast, no reply)";
        }
        return outcome;
    }
    FrameBytes reply = answer(address, frame, outcome.note);
    outcome.reply = shape(fault, std::move(reply), outcome.note);
    return outcome;
}

FrameBytes VirtualInverter::answer(std::uint8_t address, const FrameBytes& frame, std::string& note)
{
    std::map<std::uint16_t, std::uint16_t>& regs = registers_[address];
    const std::uint8_t function = frame[1];

    if (function == FN_WRITE_SINGLE && frame.size() == 8) {
        const std::uint16_t reg = Word(frame, 2);
        const std::uint16_t value = Word(frame, 4);
        note = "write " + Hex4(reg) + " = " + Hex4(value) + " (was " + Hex4(regs[reg]) + ")";
        regs[reg] = value;
        // The standard reply echoes the request.
        return FrameBytes(frame.begin(), frame.end());
    }
    if (function == FN_READ_HOLDING && frame.size() == 8) {
        const unsigned start = Word(frame, 2);
        const unsigned count = Word(frame, 4);
        if (count == 0 || count > MAX_READ)
            return ExceptionReply(address, function, EXCEPTION_ILLEGAL_VALUE);
        if (start + count > 0x10000u)
            return ExceptionReply(address, function, EXCEPTION_ILLEGAL_ADDRESS);
        note = "read " + std::to_string(count) + " from " + Hex4(start);
        FrameBytes reply{address, function, static_cast<std::uint8_t>(count * 2)};
        for (unsigned r = start; r < start + count; ++r)
            PutWord(reply, regs[static_cast<std::uint16_t>(r)]);
        AppendCheck(reply);
        return reply;
    }
    if (function == FN_WRITE_MULTIPLE && frame.size() >= 9) {
        const unsigned start = Word(frame, 2);
        const unsigned count = Word(frame, 4);
        const unsigned byteCount = frame[6];
        if (count == 0 || count > MAX_WRITE || byteCount != count * 2 || frame.size() != 9 + byteCount)
            return ExceptionReply(address, function, EXCEPTION_ILLEGAL_VALUE);
        if (start + count > 0x10000u)
            return ExceptionReply(address, function, EXCEPTION_ILLEGAL_ADDRESS);
        note = "write " + std::to_string(count) + " from " + Hex4(start);
        for (unsigned i = 0; i < count; ++i)
            regs[static_cast<std::uint16_t>(start + i)] = Word(frame, 7 + 2 * i);
        FrameBytes reply(frame.begin(), frame.begin() + 6);
        AppendCheck(reply);
        return reply;
    }
    note = "function " + std::to_string(function) + " not supported";
    return ExceptionReply(address, function, EXCEPTION_ILLEGAL_FUNCTION);
}

SimFault VirtualInverter::faultFor(std::uint8_t address) const
{
    const auto own = config_.faultByAddress.find(address);
    return own == config_.faultByAddress.end() ? config_.fault : own->second;
}

std::vector<ReplyChunk> VirtualInverter::shape(SimFault fault, FrameBytes reply, std::string& note) const
{
    switch (fault) {
    case SimFault::BadCheck:
        reply[reply.size() - 2] ^= 0xFF;
        reply[reply.size() - 1] ^= 0x5A;
        note += ", check corrupted";
        break;
    case SimFault::StrayByte:
        reply.insert(reply.begin(), STRAY_BYTE);
        note += ", stray byte first";
        break;
    case SimFault::OtherAddress:
        reply.pop_back();
        reply.pop_back();
        reply[0] = static_cast<std::uint8_t>(reply[0] + 1);
        AppendCheck(reply);
        note += ", answered as address " + std::to_string(reply[0]);
        break;
    case SimFault::Split: {
        const std::size_t half = reply.size() / 2;
        note += ", split " + std::to_string(config_.splitDelayMs) + " ms apart";
        return {{0, FrameBytes(reply.begin(), reply.begin() + half)},
                {config_.splitDelayMs, FrameBytes(reply.begin() + half, reply.end())}};
    }
    case SimFault::Flood: {
        // Junk that can never pass for a reply: its second byte is never a
        // function code a request used.
        FrameBytes junk(config_.floodBytes);
        std::uint32_t x = 0x2545F491u;
        for (std::uint8_t& b : junk) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<std::uint8_t>(x >> 24);
        }
        if (junk.size() > 1)
            junk[1] = 0xEE;
        note += ", " + std::to_string(junk.size()) + " junk bytes instead";
        return {{0, junk}};
    }
    case SimFault::None:
    case SimFault::Silent:
    case SimFault::Exception:
        break;
    }
    return {{0, reply}};
}

bool VirtualInverter::ParseFault(const std::string& name, SimFault& fault)
{
    static const std::pair<const char*, SimFault> names[] = {
        {"none", SimFault::None},
        {"silent", SimFault::Silent},
        {"exception", SimFault::Exception},
        {"bad-check", SimFault::BadCheck},
        {"stray-byte", SimFault::StrayByte},
        {"other-address", SimFault::OtherAddress},
        {"split", SimFault::Split},
        {"flood", SimFault::Flood},
    };
    for (const auto& entry : names) {
        if (name == entry.first) {
            fault = entry.second;
            return true;
        }
    }
    return false;
}

const char* VirtualInverter::FaultNames()
{
    return "none, silent, exception, bad-check, stray-byte, other-address, split, flood";
}

} // namespace korvanel
