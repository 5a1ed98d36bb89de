#include "clear_json.h"

#include <cstdio>

#include "texts.h"

namespace korvanel {

namespace {

// A JSON string: quotes, backslashes and control characters escaped; the
// texts are ASCII, so nothing else needs it.
std::string Quoted(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string List(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (const std::string& item : items)
        out += (out.size() > 1 ? ", " : "") + Quoted(item);
    return out + "]";
}

// "key": value, in the order added.
class Object {
public:
    Object& add(const char* key, const std::string& json)
    {
        text_ += (text_.empty() ? "{" : ", ") + Quoted(key) + ": " + json;
        return *this;
    }
    std::string done() const { return text_ + "}"; }

private:
    std::string text_;
};

// {"code": 2, "meaning": "illegal data address"}, or null for 0.
std::string ExceptionObject(std::uint8_t code)
{
    if (code == 0)
        return "null";
    return Object()
        .add("code", std::to_string(code))
        .add("meaning", Quoted(ExceptionCodeMeaning(code)))
        .done();
}

} // namespace

std::string JsonLine(const AddressRecord& r)
{
    const std::string exception = ExceptionObject(r.exceptionCode);
    const std::string read = r.readOutcome.empty()
                                 ? "null"
                                 : Object()
                                       .add("outcome", Quoted(r.readOutcome))
                                       .add("exception", ExceptionObject(r.readException))
                                       .done();
    return Object()
        .add("address", std::to_string(r.address))
        .add("outcome", Quoted(r.outcome))
        .add("exception", exception)
        .add("requests", std::to_string(r.requests))
        .add("elapsed_ms", std::to_string(r.elapsedMs))
        .add("value", r.hasValue ? std::to_string(r.value) : "null")
        .add("verified", r.hasVerified ? (r.verified ? "true" : "false") : "null")
        .add("read", read)
        .add("settings", Quoted(r.settings))
        .add("notes", List(r.notes))
        .done();
}

std::string JsonLine(const SummaryRecord& s)
{
    return Object()
        .add("summary", "true")
        .add("mode", Quoted(s.mode))
        .add("addresses", std::to_string(s.addresses))
        .add("succeeded", std::to_string(s.succeeded))
        .add("elapsed_ms", std::to_string(s.elapsedMs))
        .add("settings", List(s.settings))
        .add("exit_status", std::to_string(s.exitStatus))
        .done();
}

} // namespace korvanel
