#include "clear_json.h"

#include <nlohmann/json.hpp>

#include "texts.h"

namespace korvanel {

namespace {

using Json = nlohmann::ordered_json;

// One line as people read it, ", " and ": " between the items; the values
// themselves, strings above all, as the library writes them. Text that is
// not UTF-8 (a port name of odd bytes) is replaced, never passed through,
// so every line stays valid JSON.
std::string Line(const Json& value)
{
    if (value.is_object()) {
        std::string out = "{";
        for (const auto& item : value.items())
            out +=
                (out.size() > 1 ? ", " : "") + Line(Json(item.key())) + ": " + Line(item.value());
        return out + "}";
    }
    if (value.is_array()) {
        std::string out = "[";
        for (const Json& item : value)
            out += (out.size() > 1 ? ", " : "") + Line(item);
        return out + "]";
    }
    return value.dump(-1, ' ', true, Json::error_handler_t::replace);
}

// {"code": 2, "meaning": "illegal data address"}, or null for 0.
Json ExceptionObject(std::uint8_t code)
{
    if (code == 0)
        return nullptr;
    return Json{{"code", code}, {"meaning", ExceptionCodeMeaning(code)}};
}

// A number, or null where there is none.
template <typename T>
Json OrNull(bool present, T value)
{
    return present ? Json(value) : Json(nullptr);
}

// {"mode": "rts-low", "delay_before_ms": 1, "delay_after_ms": 2}, or null
// when the mode is off.
Json Rs485Object(const Rs485Settings& rs485)
{
    if (!rs485.enabled)
        return nullptr;
    return Json{{"mode", rs485.modeName()},
                {"delay_before_ms", rs485.delayBeforeMs},
                {"delay_after_ms", rs485.delayAfterMs}};
}

} // namespace

std::string JsonLine(const AddressRecord& r)
{
    Json read = nullptr;
    if (!r.readOutcome.empty())
        read = Json{{"outcome", r.readOutcome}, {"exception", ExceptionObject(r.readException)}};
    return Line(Json{{"address", r.address},
                     {"outcome", r.outcome},
                     {"exception", ExceptionObject(r.exceptionCode)},
                     {"requests", r.requests},
                     {"elapsed_ms", r.elapsedMs},
                     {"value", OrNull(r.hasValue, r.value)},
                     {"verified", OrNull(r.hasVerified, r.verified)},
                     {"read", read},
                     {"settings", r.settings},
                     {"notes", r.notes}});
}

std::string JsonLine(const SummaryRecord& s)
{
    const Json lowLatency = OrNull(s.driver.serial, LowLatencyName(s.driver.lowLatency));
    return Line(Json{{"summary", true},
                     {"mode", s.mode},
                     {"addresses", s.addresses},
                     {"succeeded", s.succeeded},
                     {"elapsed_ms", s.elapsedMs},
                     {"settings", s.settings},
                     {"exit_status", s.exitStatus},
                     {"rs485", Rs485Object(s.driver.rs485)},
                     {"low_latency", lowLatency}});
}

} // namespace korvanel
