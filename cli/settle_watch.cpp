#include "settle_watch.h"

#include <cstdio>

#include "protocol.h"
#include "session_report.h"

namespace korvanel {

namespace {

// "1.4 s": tenths, as a period of 100 ms or more resolves them.
std::string Seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

// "10 s", "2.5 s": the span as the user gave it.
std::string Span(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

} // namespace

bool SettleWatch::read(std::uint16_t value, double sinceWriteS)
{
    if (over_)
        return false;
    if (value == CLEAR_VALUE && !sawZero_) {
        sawZero_ = true;
        zeroAtS_ = sinceWriteS;
    } else if (value != CLEAR_VALUE && sawZero_) {
        end(false, "not verified: " + RegisterText() + " = 0 after " + Seconds(zeroAtS_) +
                       ", back to " + ValueText(value) + " after " + Seconds(sinceWriteS));
        return false;
    }
    if (sinceWriteS < settleSeconds_)
        return true;
    if (sawZero_)
        end(true, "verified: " + RegisterText() + " = 0 after " + Seconds(zeroAtS_) +
                      ", held for " + Span(settleSeconds_));
    else
        end(false, "not verified: " + RegisterText() + " still " + ValueText(value) + " after " +
                       Span(settleSeconds_));
    return false;
}

void SettleWatch::end(bool verified, const std::string& line)
{
    over_ = true;
    verified_ = verified;
    line_ = line;
}

} // namespace korvanel
