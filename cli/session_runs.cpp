// The reporting side of the runs: each verdict and finding of the engine in
// words, as outcome lines, notes and the address's AddressRecord.
#include "session_runs.h"

#include "texts.h"

namespace korvanel {

long Runs::MsSince(Clock::time_point then) const
{
    return static_cast<long>(std::chrono::duration_cast<Ms>(io_.clock.now() - then).count());
}

Step Runs::run(std::uint8_t address, RequestKind kind, std::uint8_t retryLimit, bool fallBack)
{
    const Session::RunEnd end = session_.run(address, kind, retryLimit, fallBack);
    record_.requests += session_.requestsSent();
    for (const std::string& text : session_.takePortNotes())
        note(text);
    if (end == Session::RunEnd::NoPacing) {
        session_.close();
        return Step::End(EXIT_RUN_FAILED);
    }
    if (end == Session::RunEnd::PortLost) {
        // The port is closed and the loss said. Cut off: no text line, but
        // a script reading objects learns why.
        lost_ = true;
        // A clear that was taken stays cleared: only its read back was
        // cut off.
        if (record_.outcome == "cleared")
            record_.readOutcome = "lost";
        else
            record_.outcome = "lost";
        record_.notes.push_back(TEXT_PORT_LOST + session_.lostReason());
        emit();
        return Step::End(EXIT_USAGE_OR_PORT);
    }
    if (session_.lineEcho() == LineEcho::Echoes && !options_.echo && !echoAssumed_)
        noteEcho();
    return Step::Next();
}

bool Runs::printLine(const std::string& line)
{
    if (reporter_.say(line))
        return true;
    session_.close();
    return false;
}

void Runs::note(const std::string& text)
{
    reporter_.note(text);
    record_.notes.push_back(text);
}

void Runs::noteEcho()
{
    reporter_.noteEcho();
    if (echoRecorded_)
        return;
    echoRecorded_ = true;
    record_.notes.push_back("echo learned: the line echoes our requests");
}

void Runs::begin(std::uint8_t address)
{
    record_ = AddressRecord{};
    record_.address = address;
    record_.settings = session_.lineSettings().text();
    addressStarted_ = io_.clock.now();
}

bool Runs::emit(bool stamp)
{
    if (!options_.json)
        return true;
    if (stamp)
        record_.elapsedMs = MsSince(addressStarted_);
    return printLine(JsonLine(record_));
}

ClearExitStatus Runs::summary(const char* mode, unsigned succeeded,
                              std::vector<std::string> settings, ClearExitStatus status)
{
    mode_ = mode;
    succeeded_ = succeeded;
    if (!options_.json || (status == EXIT_USAGE_OR_PORT && !lost_))
        return status;
    const SummaryRecord summary{mode,
                                static_cast<unsigned>(options_.addresses.size()),
                                succeeded,
                                MsSince(started_),
                                std::move(settings),
                                status,
                                session_.driverState()};
    return printLine(JsonLine(summary)) ? status : EXIT_USAGE_OR_PORT;
}

ClearExitStatus Runs::finish(ClearExitStatus status)
{
    if (lost_)
        return summary(mode_, succeeded_, {session_.lineSettings().text()}, status);
    const std::string loss = session_.unsaidLoss();
    if (!loss.empty())
        reporter_.note(loss);
    return status;
}

// A write's outcome line and record: cleared, refused with its code, or
// failed; a broadcast is never judged.
std::string Runs::clearLine(bool cleared)
{
    const RunVerdict& verdict = session_.verdict();
    if (options_.broadcast) {
        record_.outcome = "broadcast";
        return "Broadcast sent to address 0 (" + CountOf(session_.requestsSent(), "time", "times") +
               "): every inverter on the bus executes it, and no inverter answers a "
               "broadcast, so none confirmed it.";
    }
    const bool refused = verdict.kind == RunVerdict::Refused;
    record_.outcome = cleared ? "cleared" : refused ? "refused" : "failed";
    if (refused)
        record_.exceptionCode = verdict.exceptionCode;
    return cleared ? TEXT_CLEAR_OK : TEXT_OPERATION_FAIL;
}

// What the inverter or a gateway said that was not the outcome itself.
void Runs::noteExceptions(std::uint8_t address)
{
    const FieldFindings& found = session_.lastRun().findings;
    const RunVerdict& verdict = session_.verdict();
    const std::string inverter = "inverter " + std::to_string(address);
    for (const std::uint8_t code : found.passingExceptions) {
        if (MeaningOf(code) == ExceptionMeaning::Busy)
            note(inverter + " is busy: " + ExceptionText(code) + "; it is asked again");
        else
            note("the gateway answered for " + inverter + ": " + ExceptionText(code) +
                 "; that is the gateway's trouble, not the inverter's answer");
    }
    if (found.acknowledged) {
        std::string line =
            inverter + " took the write with " + ExceptionText(EXCEPTION_ACKNOWLEDGE);
        if (verdict.accepted())
            line += " and a read back found " + RegisterText() + " = 0";
        else if (found.valueRead)
            line += ", but " + RegisterText() + " still reads " +
                    ValueText(found.valueAfterAcknowledge);
        else
            line += ", but it did not answer the read back";
        note(line);
    } else if (verdict.kind == RunVerdict::Refused) {
        note(inverter + " refused the write: " + ExceptionText(verdict.exceptionCode));
        // Some models take only Write Multiple Registers.
        if (verdict.exceptionCode == EXCEPTION_ILLEGAL_FUNCTION &&
            options_.function == ClearOptions::WriteFunction::Single)
            note("an inverter that takes only function 0x10 answers 0x06 so: give --function auto");
    }
}

// Why a read gave no value: refused, busy, a gateway's trouble or silence,
// told apart in the address's record too.
std::string Runs::readFailure(std::uint8_t address)
{
    const RunVerdict& verdict = session_.verdict();
    const std::string inverter = "inverter " + std::to_string(address);
    const std::uint8_t code = verdict.exceptionCode;
    record_.readException = code;
    if (verdict.kind == RunVerdict::Refused) {
        record_.readOutcome = "refused";
        return "the read was refused: " + ExceptionText(code);
    }
    if (code == 0) {
        record_.readOutcome = "no reply";
        return "no reply to the read";
    }
    if (MeaningOf(code) == ExceptionMeaning::Busy) {
        record_.readOutcome = "busy";
        return inverter + " is busy: " + ExceptionText(code);
    }
    record_.readOutcome = "gateway";
    return "the gateway answered for " + inverter + ": " + ExceptionText(code);
}

} // namespace korvanel
