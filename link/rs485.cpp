// The platform-free side of direction control: the settings' names and
// the readings of --rs485 and --rs485-delay.
#include "rs485.h"

#include <cctype>

namespace korvanel {

namespace {

constexpr const char RTS_HIGH[] = "rts-high";
constexpr const char RTS_LOW[] = "rts-low";
constexpr const char RS485_OPTION[] = "--rs485";

// Whole milliseconds, at most four digits (RS485_MAX_DELAY_MS has four).
bool DelayMs(const std::string& text, std::uint32_t& ms)
{
    if (text.empty() || text.size() > 4)
        return false;
    ms = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        ms = ms * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return ms <= RS485_MAX_DELAY_MS;
}

} // namespace

const char* Rs485Settings::modeName() const
{
    return rtsHighOnSend ? RTS_HIGH : RTS_LOW;
}

std::string Rs485Settings::text() const
{
    if (!enabled)
        return "off";
    return std::string(modeName()) + ", RTS delays " + std::to_string(delayBeforeMs) +
           " ms before and " + std::to_string(delayAfterMs) + " ms after sending";
}

bool ParseRs485Mode(const std::string& text, Rs485Settings& settings, std::string& error)
{
    if (text != RTS_HIGH && text != RTS_LOW) {
        error = "RS-485 mode '" + text + "' is not " + RTS_HIGH + " or " + RTS_LOW;
        return false;
    }
    settings.enabled = true;
    settings.rtsHighOnSend = text == RTS_HIGH;
    return true;
}

bool ParseRs485Delay(const std::string& text, Rs485Settings& settings, std::string& error)
{
    const std::size_t comma = text.find(',');
    const bool both = comma != std::string::npos;
    std::uint32_t before = 0;
    std::uint32_t after = 0;
    if (!DelayMs(text.substr(0, comma), before) ||
        (both && !DelayMs(text.substr(comma + 1), after))) {
        error = "RS-485 delay '" + text +
                "' is not BEFORE[,AFTER] in whole milliseconds from 0 to " +
                std::to_string(RS485_MAX_DELAY_MS);
        return false;
    }
    settings.delayBeforeMs = before;
    settings.delayAfterMs = after;
    return true;
}

bool TakeRs485Mode(std::vector<std::string>& args, Rs485Settings& settings, std::string& error)
{
    static const std::string WITH_MODE = std::string(RS485_OPTION) + "=";
    for (std::string& arg : args) {
        if (arg.compare(0, WITH_MODE.size(), WITH_MODE) != 0)
            continue;
        if (!ParseRs485Mode(arg.substr(WITH_MODE.size()), settings, error))
            return false;
        arg = RS485_OPTION;
    }
    return true;
}

std::string Rs485Conflict(Rs485Settings& asked, const std::optional<std::string>& delay,
                          const PortAddress& port)
{
    std::string error;
    if (delay && !ParseRs485Delay(*delay, asked, error))
        return error;
    const struct {
        bool when;
        std::string says;
    } conflicts[] = {
        {delay && !asked.enabled,
         "--rs485-delay sets the RTS delays of the RS-485 mode, so it needs --rs485"},
        {asked.enabled && port.scheme != PortScheme::Serial,
         "'" + port.name +
             "' is a network port: the converter at its end switches the RS-485 direction "
             "itself, so --rs485 is for serial ports"},
        {true, Rs485Unsupported(asked)},
    };
    for (const auto& conflict : conflicts) {
        if (conflict.when && !conflict.says.empty())
            return conflict.says;
    }
    return {};
}

const char* LowLatencyName(LowLatency state)
{
    switch (state) {
    case LowLatency::TurnedOn: return "turned on";
    case LowLatency::AlreadyOn: return "already on";
    case LowLatency::Refused: return "refused";
    case LowLatency::Unavailable: return "unavailable";
    case LowLatency::None: break;
    }
    return "";
}

std::string DriverStateText(const SerialDriverState& state)
{
    return "RS-485 " + state.rs485.text() + "; low latency " + LowLatencyName(state.lowLatency);
}

} // namespace korvanel
