// The clear, verify and settle modes, and the echo probe before the first
// write: each drives the session's runs and reads their verdicts.
#include <algorithm>

#include "session_runs.h"
#include "settle_watch.h"

namespace korvanel {

// Before the session's first write: does the line give our requests back?
// The first frame is a read of register 0x004A, whose reply differs from
// its request, so a copy of it is always the echo. The read is answered or
// given one period before the write goes out, which keeps the bus free of a
// second request while the inverter may still be answering. A copy that
// noise or a glitch spoiled settles nothing: the read is asked again, and a
// line still not known is judged as if it echoed, since taking an echo for
// a reply would be a false Clear. Noise alone says nothing of an echo.
constexpr int PROBE_ATTEMPTS = 3;

Step Runs::probeEcho(std::uint8_t address)
{
    constexpr std::uint8_t probeRetryLimit = 0;
    for (int attempt = 1; attempt <= PROBE_ATTEMPTS; ++attempt) {
        const Step step = run(address, RequestKind::ReadRegister, probeRetryLimit);
        if (!step.goOn)
            return step;
        const ClearRun& last = session_.lastRun();
        const ProbeEcho found =
            session_.echo().judgeProbe(last.frame.tx(), last.window.data(), last.window.size());
        std::string before;
        if (session_.succeeded()) {
            before =
                RegisterText() + " = " + ValueText(session_.verdict().value) + " before the clear";
            // A script reading the objects sees it too, once.
            if (std::find(record_.notes.begin(), record_.notes.end(), before) ==
                record_.notes.end())
                record_.notes.push_back(before);
            before = "; " + before;
        }
        if (session_.lineEcho() == LineEcho::Echoes) {
            noteEcho();
            trace_.note("probe: our request came back: an echoing line" + before);
            return Step::Next();
        }
        if (session_.lineEcho() == LineEcho::NoEcho) {
            trace_.note("probe: no copy of our request came back: the line does not echo" + before);
            return Step::Next();
        }
        trace_.note("probe: what came back is our read spoiled (" +
                    CountOf(found.unexplained, "byte", "bytes") +
                    " neither the read nor its answer); asked again");
    }
    session_.echo().learn(LineEcho::Echoes);
    echoAssumed_ = true;
    note("the line gave back our read spoiled by noise each time, so whether it echoes is not "
         "known for sure; it is judged as if it echoed (give --no-echo if it does not)");
    return Step::Next();
}

// The clear of one address with the function asked for: 0x06, 0x10, or
// 0x06 with 0x10 on the next request tick when the inverter lacks 0x06.
Step Runs::clearInverter(std::uint8_t address)
{
    using F = ClearOptions::WriteFunction;
    const RequestKind kind = options_.function == F::Multiple ? RequestKind::ClearWriteMultiple
                                                              : RequestKind::ClearWrite;
    const Step step = run(address, kind, MAX_RETRY_COUNT, options_.function == F::Auto);
    if (step.goOn && session_.lastRun().findings.fellBack)
        note("inverter " + std::to_string(address) +
             " does not take function 0x06; written with 0x10");
    return step;
}

// The read that proves a Clear: the same schedule as the Clear, so a slow
// or noisy line gets as many chances to answer it.
Step Runs::verify(std::uint8_t address, const std::string& prefix, bool& verified)
{
    if (options_.settleSeconds > 0)
        return settle(address, prefix, verified);
    const Step step = run(address, RequestKind::ReadRegister, MAX_RETRY_COUNT);
    if (!step.goOn)
        return step;
    const RunVerdict& verdict = session_.verdict();
    if (verdict.accepted())
        record_.readOutcome = "value";
    std::string line;
    verified = verdict.accepted() && verdict.value == CLEAR_VALUE;
    record_.hasVerified = true;
    record_.verified = verified;
    record_.hasValue = verdict.accepted();
    record_.value = verdict.value;
    if (verified)
        line = "verified: " + RegisterText() + " = 0";
    else if (verdict.accepted())
        line = "not verified: " + RegisterText() + " = " + ValueText(verdict.value);
    else
        line = "not verified: " + readFailure(address);
    return say(prefix + line) ? Step::Next() : Step::End(EXIT_USAGE_OR_PORT);
}

// --settle: a read every period, from the write until the register reads
// 0 and then until the span has passed since the write, so a value stored
// late passes and one put back fails.
Step Runs::settle(std::uint8_t address, const std::string& prefix, bool& verified)
{
    const Clock::time_point written = session_.ops().lastWrite();
    const Ms period(EffectivePollPeriodMs(options_.pollPeriodMs));
    SettleWatch watch(options_.settleSeconds);
    std::string line;
    record_.hasVerified = true;
    SessionClock& clock = session_.clock();
    for (auto next = clock.now();; next += period) {
        clock.sleepUntil(next);
        const Step step = run(address, RequestKind::ReadRegister, MAX_RETRY_COUNT);
        if (!step.goOn)
            return step;
        const RunVerdict& verdict = session_.verdict();
        if (!verdict.accepted()) {
            line = "not verified: " + readFailure(address);
            break;
        }
        record_.readOutcome = "value";
        record_.readException = 0;
        record_.hasValue = true;
        record_.value = verdict.value;
        if (!watch.read(verdict.value,
                        std::chrono::duration<double>(clock.now() - written).count())) {
            line = watch.line();
            break;
        }
        // A read slower than a period takes the next at once.
        next = std::max(next, clock.now() - period);
    }
    verified = watch.verified();
    record_.verified = verified;
    return say(prefix + line) ? Step::Next() : Step::End(EXIT_USAGE_OR_PORT);
}

ClearExitStatus Runs::clears()
{
    // Reads are never ambiguous, a broadcast is never judged and the
    // dialog's rule has no echo: only a field-rule write needs to know.
    bool probe =
        session_.lineEcho() == LineEcho::Unknown && !options_.dialogRules && !options_.broadcast;
    bool allCleared = true;
    mode_ = options_.broadcast ? "broadcast" : options_.verify ? "verify" : "clear";
    std::size_t done = 0;
    for (const std::uint8_t address : options_.addresses) {
        if (showAddress_)
            progress_.clearAt(options_.verify, done++, options_.addresses.size(), succeeded_);
        begin(address);
        if (probe) {
            probe = false;
            const Step step = probeEcho(address);
            if (!step.goOn)
                return step.status;
        }
        const Step step = clearInverter(address);
        if (!step.goOn)
            return step.status;

        const std::string prefix = AddressPrefix(showAddress_, address);
        const bool cleared = session_.succeeded();
        if (!options_.broadcast) {
            allCleared = allCleared && cleared;
            noteExceptions(address);
        }
        if (!say(prefix + clearLine(cleared)))
            return EXIT_USAGE_OR_PORT;

        bool verified = true;
        if (options_.verify && cleared) {
            const Step verifyStep = verify(address, prefix, verified);
            if (!verifyStep.goOn)
                return verifyStep.status;
            allCleared = allCleared && verified;
        }
        if (!emit())
            return EXIT_USAGE_OR_PORT;
        succeeded_ += (cleared && verified) || options_.broadcast ? 1 : 0;
    }
    return summary(mode_, succeeded_, {session_.lineSettings().text()},
                   allCleared ? EXIT_ALL_CLEARED : EXIT_RUN_FAILED);
}

} // namespace korvanel
