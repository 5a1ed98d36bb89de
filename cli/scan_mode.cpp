// The scan: which addresses answer a read of register 0x004A, at which
// line settings, and which answered late.
#include <algorithm>
#include <cstdio>

#include "session_runs.h"

namespace korvanel {

namespace {

// "0x004A = 4660 (0x1234)" or "exception 02 (illegal data address)".
std::string ReadAnswerText(bool exception, std::uint8_t code, std::uint16_t value)
{
    if (exception)
        return ExceptionText(code);
    char head[16];
    std::snprintf(head, sizeof head, "0x%04X = ", static_cast<unsigned>(CLEAR_REGISTER));
    return head + ValueText(value);
}

// A scan asks each address once and checks once, one period later: on a
// bus where a few of 247 addresses answer, the silent ones dominate, and
// the Clear's schedule (seven periods each) would take 247 * 7 periods.
// An answer is taken the moment it is in. One that comes after its check,
// while a later address is being asked, is still credited, marked late.
// With several line settings each is tried in turn on the addresses that
// have not answered yet; an answering address says its settings.
constexpr std::uint8_t SCAN_RETRY_LIMIT = 0;

} // namespace

bool Runs::scanAnswered(ScanTally& tally, std::uint8_t address, const ReadAnswer& answer,
                        const std::string& late)
{
    const std::string settings = session_.lineSettings().text();
    const ExceptionMeaning meaning =
        answer.exception ? MeaningOf(answer.exceptionCode) : ExceptionMeaning::Refusal;
    if (answer.exception && meaning == ExceptionMeaning::Gateway) {
        // The gateway's word, not the inverter's: the address stays silent
        // unless the inverter itself answers later.
        AddressRecord& gateway = tally.records[address];
        if (gateway.outcome.empty())
            ++tally.unreachable;
        gateway.outcome = "gateway";
        gateway.exceptionCode = answer.exceptionCode;
        return true;
    }
    if (tally.records[address].outcome == "gateway")
        --tally.unreachable;
    record_ = tally.records[address];
    record_.address = address;
    const bool busy = answer.exception && meaning == ExceptionMeaning::Busy;
    record_.outcome = busy ? "busy" : "answered";
    tally.busy += busy ? 1 : 0;
    record_.exceptionCode = answer.exception ? answer.exceptionCode : 0;
    record_.hasValue = !answer.exception;
    record_.value = answer.value;
    record_.settings = settings;
    if (!late.empty())
        record_.notes.push_back(late);
    tally.left.erase(std::remove(tally.left.begin(), tally.left.end(), address), tally.left.end());
    auto at = std::find_if(tally.found.begin(), tally.found.end(),
                           [&](const auto& f) { return f.first == settings; });
    if (at == tally.found.end())
        at = tally.found.insert(tally.found.end(), {settings, 0});
    ++at->second;
    succeeded_ = ++tally.answered;
    // A busy inverter is there: it answered, only not with the value.
    const std::string line = AddressPrefix(true, address) + (busy ? "busy: " : "") +
                             ReadAnswerText(answer.exception, answer.exceptionCode, answer.value) +
                             (tally.severalSettings ? " at " + settings : "") +
                             (late.empty() ? "" : ", " + late);
    return say(line) && emit(false);
}

Step Runs::scanAtCurrentSettings(ScanTally& tally)
{
    // Addresses asked at these settings and not yet answered, with when
    // they were asked.
    std::vector<std::pair<std::uint8_t, Clock::time_point>> waiting;
    const std::vector<std::uint8_t> asking(tally.left);
    std::size_t asked = 0;
    for (const std::uint8_t address : asking) {
        progress_.scanAt(++asked, asking.size(), tally.answered,
                         tally.severalSettings ? session_.lineSettings().text() : std::string());
        begin(address);
        record_.requests = tally.records[address].requests;
        const Step step = run(address, RequestKind::ReadRegister, SCAN_RETRY_LIMIT);
        tally.records[address].requests = record_.requests;
        tally.records[address].elapsedMs += MsSince(addressStarted_);
        if (!step.goOn)
            return step;
        // Answers of addresses asked before that came while this one was.
        const HeardBytes& heard = session_.ops().heard();
        for (const ReadAnswer& late : FindReadAnswers(heard.bytes.data(), heard.bytes.size())) {
            const auto asked = std::find_if(waiting.begin(), waiting.end(),
                                            [&](const auto& w) { return w.first == late.address; });
            if (asked == waiting.end())
                continue;
            const auto lateMs =
                std::chrono::duration_cast<Ms>(heard.timeOf(late.endOffset) - asked->second);
            waiting.erase(asked);
            if (!scanAnswered(tally, late.address, late,
                              "late: " + std::to_string(lateMs.count()) +
                                  " ms; a longer --period finds it in time"))
                return Step::End(EXIT_USAGE_OR_PORT);
        }
        const RunVerdict& verdict = session_.verdict();
        ReadAnswer answer;
        answer.exception = !verdict.accepted();
        answer.exceptionCode = verdict.exceptionCode;
        answer.value = verdict.value;
        if (verdict.kind != RunVerdict::Accepted && verdict.kind != RunVerdict::Refused) {
            // Busy or a gateway's exception: no value, but an answer of a kind.
            if (verdict.exceptionCode != 0) {
                if (!scanAnswered(tally, address, answer, ""))
                    return Step::End(EXIT_USAGE_OR_PORT);
                if (tally.records[address].outcome != "gateway")
                    continue;
            }
            waiting.emplace_back(address, session_.ops().firstWrite());
            continue;
        }
        if (!scanAnswered(tally, address, answer, ""))
            return Step::End(EXIT_USAGE_OR_PORT);
    }
    return Step::Next();
}

ClearExitStatus Runs::scanSummary(const ScanTally& tally, Clock::time_point started)
{
    char took[32];
    std::snprintf(took, sizeof took, "%.1f s",
                  std::chrono::duration<double>(session_.clock().now() - started).count());
    io_.err << "scan: " << CountOf(options_.addresses.size(), "address", "addresses") << " asked";
    if (tally.severalSettings)
        io_.err << " at " << CountOf(options_.lineSettings.size(), "line setting", "line settings");
    io_.err << ", " << tally.answered << " answered";
    if (tally.busy > 0)
        io_.err << " (" << tally.busy << " busy)";
    io_.err << ", " << took;
    if (tally.unreachable > 0)
        io_.err << "; a gateway could not reach "
                << CountOf(tally.unreachable, "address", "addresses");
    std::vector<std::string> settingsFound;
    if (tally.severalSettings) {
        io_.err << "; settings found: ";
        for (const auto& f : tally.found) {
            io_.err << (settingsFound.empty() ? "" : ", ") << f.first << " ("
                    << CountOf(f.second, "address", "addresses") << ")";
            settingsFound.push_back(f.first);
        }
        if (tally.found.empty())
            io_.err << "none";
    } else if (tally.answered > 0) {
        settingsFound.push_back(session_.lineSettings().text());
    }
    io_.err << '\n';
    return summary("scan", tally.answered, settingsFound,
                   tally.answered > 0 ? EXIT_ALL_CLEARED : EXIT_RUN_FAILED);
}

ClearExitStatus Runs::scan()
{
    mode_ = "scan";
    const auto started = session_.clock().now();
    ScanTally tally;
    tally.left = options_.addresses;
    tally.severalSettings = options_.lineSettings.size() > 1;
    for (std::size_t s = 0; s < options_.lineSettings.size() && !tally.left.empty(); ++s) {
        if (s > 0 && !session_.reopen(options_.port, options_.lineSettings[s]))
            return EXIT_USAGE_OR_PORT;
        tally.tried += (tally.tried.empty() ? "" : ", ") + session_.lineSettings().text();
        const Step step = scanAtCurrentSettings(tally);
        if (!step.goOn)
            return step.status;
    }
    // Every address's object: answered ones were written as they answered,
    // the silent ones come now.
    for (const std::uint8_t address : tally.left) {
        record_ = tally.records[address];
        record_.address = address;
        if (record_.outcome.empty())
            record_.outcome = "silent";
        record_.settings = tally.tried;
        if (!emit(false))
            return EXIT_USAGE_OR_PORT;
    }
    return scanSummary(tally, started);
}

} // namespace korvanel
