#include "inverter.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "clear_run.h"
#include "modbus_crc.h"

namespace korvanel {

namespace {

// The two check bytes that end every frame.
constexpr std::size_t CHECK_LENGTH = 2;
// A Write Multiple Registers request without its values (the engine's length
// carries one register of 2 bytes): address, 0x10, start (2), quantity (2),
// byte count, check (2).
constexpr std::size_t WRITE_MULTIPLE_BARE_LENGTH = WRITE_MULTIPLE_REQUEST_LENGTH - 2;
// Its values follow the byte count.
constexpr std::size_t WRITE_MULTIPLE_VALUES_AT = WRITE_MULTIPLE_BARE_LENGTH - CHECK_LENGTH;

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

// An inverter that takes only Write Multiple Registers treats 0x06 as a
// function it does not have.
bool RefusesSingleWrite(SimFault fault, const FrameBytes& frame)
{
    return fault == SimFault::Fc16Only && frame[1] == FUNCTION_WRITE_SINGLE_REGISTER;
}

} // namespace

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

void VirtualInverter::advanceTo(std::uint64_t nowMs)
{
    nowMs_ = std::max(nowMs_, nowMs);
    while (!pending_.empty() && pending_.begin()->first <= nowMs_) {
        const Change& change = pending_.begin()->second;
        registers_[change.address][change.reg] = change.value;
        pending_.erase(pending_.begin());
    }
}

FrameOutcome VirtualInverter::handleFrame(const FrameBytes& frame, std::uint64_t nowMs)
{
    advanceTo(nowMs);
    FrameOutcome outcome;
    if (frame.size() < SHORTEST_FRAME_LENGTH) {
        outcome.note = "too short, ignored";
        return outcome;
    }
    if (!HasValidCheck(frame.data(), frame.size())) {
        outcome.note = "bad check, ignored";
        return outcome;
    }
    const std::uint8_t address = frame[0];
    const bool broadcast = address == BROADCAST_ADDRESS;
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
    if (broadcast) {
        // Every inverter on the bus acts on it as on a request of its own,
        // and none answers: a deaf one hears nothing, a refusing one refuses
        // in silence.
        unsigned executed = 0;
        for (auto& bus : registers_) {
            const SimFault own = faultFor(bus.first);
            if (own == SimFault::Silent || own == SimFault::Exception ||
                RefusesSingleWrite(own, frame))
                continue;
            answer(bus.first, frame, outcome.note);
            ++executed;
        }
        outcome.note += " (broadcast, executed by " + std::to_string(executed) + ", no reply)";
        return outcome;
    }
    const SimFault fault = faultFor(address);
    if (fault == SimFault::Silent) {
        outcome.note = "silent";
        return outcome;
    }
    if (RefusesSingleWrite(fault, frame)) {
        outcome.note = "function 0x06 refused: 0x10 only";
        outcome.reply = lineFaults(
            {{0, ExceptionReply(address, frame[1], EXCEPTION_ILLEGAL_FUNCTION)}}, outcome.note);
        return outcome;
    }
    if (fault == SimFault::Exception ||
        (fault == SimFault::RefuseRead && frame[1] == FUNCTION_READ_HOLDING_REGISTERS)) {
        outcome.note = "exception reply";
        outcome.reply = lineFaults({{0, ExceptionReply(address, frame[1], config_.exceptionCode)}},
                                   outcome.note);
        return outcome;
    }
    FrameBytes reply = answer(address, frame, outcome.note);
    outcome.reply = lineFaults(shape(fault, std::move(reply), outcome.note), outcome.note);
    return outcome;
}

FrameBytes VirtualInverter::answer(std::uint8_t address, const FrameBytes& frame, std::string& note)
{
    std::map<std::uint16_t, std::uint16_t>& regs = registers_[address];
    const std::uint8_t function = frame[1];

    if (function == FUNCTION_WRITE_SINGLE_REGISTER && frame.size() == REQUEST_LENGTH) {
        const std::uint16_t reg = Word(frame, 2);
        const std::uint16_t value = Word(frame, 4);
        note = "write " + Hex4(reg) + " = " + Hex4(value);
        if (reg >= SIM_HELD_REGISTERS) {
            note += ", not held";
            return ExceptionReply(address, function, EXCEPTION_ILLEGAL_DATA_ADDRESS);
        }
        note += " (was " + Hex4(regs[reg]) + ")";
        store(address, reg, value, note);
        // The standard reply echoes the request.
        return FrameBytes(frame.begin(), frame.end());
    }
    // A read request has a write's shape: start and quantity for register and value.
    if (function == FUNCTION_READ_HOLDING_REGISTERS && frame.size() == REQUEST_LENGTH) {
        const unsigned start = Word(frame, 2);
        const unsigned count = Word(frame, 4);
        if (count == 0 || count > MAX_READ_REGISTERS)
            return ExceptionReply(address, function, EXCEPTION_ILLEGAL_DATA_VALUE);
        note = "read " + std::to_string(count) + " from " + Hex4(start);
        if (start + count > SIM_HELD_REGISTERS) {
            note += ", not held";
            return ExceptionReply(address, function, EXCEPTION_ILLEGAL_DATA_ADDRESS);
        }
        FrameBytes reply{address, function, static_cast<std::uint8_t>(count * 2)};
        for (unsigned r = start; r < start + count; ++r)
            PutWord(reply, regs[static_cast<std::uint16_t>(r)]);
        AppendCheck(reply);
        return reply;
    }
    if (function == FUNCTION_WRITE_MULTIPLE_REGISTERS &&
        frame.size() >= WRITE_MULTIPLE_BARE_LENGTH) {
        const unsigned start = Word(frame, 2);
        const unsigned count = Word(frame, 4);
        const unsigned byteCount = frame[6];
        if (count == 0 || count > MAX_WRITE_REGISTERS || byteCount != count * 2 ||
            frame.size() != WRITE_MULTIPLE_BARE_LENGTH + byteCount)
            return ExceptionReply(address, function, EXCEPTION_ILLEGAL_DATA_VALUE);
        if (start + count > SIM_HELD_REGISTERS)
            return ExceptionReply(address, function, EXCEPTION_ILLEGAL_DATA_ADDRESS);
        note = "write " + std::to_string(count) + " from " + Hex4(start);
        // What happens to one register happens to all; the note says it once.
        std::string more;
        for (unsigned i = 0; i < count; ++i)
            store(address, static_cast<std::uint16_t>(start + i),
                  Word(frame, WRITE_MULTIPLE_VALUES_AT + 2 * i), i == 0 ? note : more);
        FrameBytes reply(frame.begin(),
                         frame.begin() + (WRITE_MULTIPLE_REPLY_LENGTH - CHECK_LENGTH));
        AppendCheck(reply);
        return reply;
    }
    note = "function " + std::to_string(function) + " not supported";
    return ExceptionReply(address, function, EXCEPTION_ILLEGAL_FUNCTION);
}

void VirtualInverter::store(std::uint8_t address, std::uint16_t reg, std::uint16_t value,
                            std::string& note)
{
    if (config_.ignoreWrite) {
        note += ", ignored";
        return;
    }
    // The value the register goes back to is the one a read shows now.
    const std::uint16_t old = registers_[address][reg];
    const std::uint64_t landsAt = nowMs_ + config_.applyDelayMs;
    if (config_.applyDelayMs == 0)
        registers_[address][reg] = value;
    else {
        pending_.emplace(landsAt, Change{address, reg, value});
        note += ", takes effect in " + std::to_string(config_.applyDelayMs) + " ms";
    }
    if (config_.revertAfterMs > 0) {
        pending_.emplace(landsAt + config_.revertAfterMs, Change{address, reg, old});
        note +=
            ", back to " + Hex4(old) + " " + std::to_string(config_.revertAfterMs) + " ms later";
    }
}

SimFault VirtualInverter::faultFor(std::uint8_t address) const
{
    const auto own = config_.faultByAddress.find(address);
    return own == config_.faultByAddress.end() ? config_.fault : own->second;
}

std::vector<ReplyChunk> VirtualInverter::shape(SimFault fault, FrameBytes reply,
                                               std::string& note) const
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
    case SimFault::RefuseRead:
    case SimFault::Fc16Only: break;
    }
    return {{0, reply}};
}

std::vector<ReplyChunk> VirtualInverter::lineFaults(std::vector<ReplyChunk> reply,
                                                    std::string& note) const
{
    if (reply.empty())
        return reply;
    if (!config_.junkBefore.empty()) {
        FrameBytes& first = reply.front().bytes;
        first.insert(first.begin(), config_.junkBefore.begin(), config_.junkBefore.end());
        note += ", " + std::to_string(config_.junkBefore.size()) + " junk bytes first";
    }
    if (config_.replyDelayMs > 0) {
        reply.front().delayMs += config_.replyDelayMs;
        note += ", " + std::to_string(config_.replyDelayMs) + " ms late";
    }
    return reply;
}

bool VirtualInverter::ParseHexBytes(const std::string& text, std::vector<std::uint8_t>& bytes)
{
    bytes.clear();
    std::string digits;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ' ') {
            // Only between pairs.
            if (digits.size() % 2 != 0)
                return false;
            continue;
        }
        if (!std::isxdigit(c))
            return false;
        digits += static_cast<char>(c);
    }
    if (digits.empty() || digits.size() % 2 != 0)
        return false;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
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
        {"refuse-read", SimFault::RefuseRead},
        {"fc16-only", SimFault::Fc16Only},
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
    return "none, silent, exception, bad-check, stray-byte, other-address, split, flood, refuse-read, "
           "fc16-only";
}

} // namespace korvanel
