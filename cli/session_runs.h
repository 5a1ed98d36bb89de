// The runs of one korvanel-clear invocation and what they tell the user:
// the modes (clear, verify, settle, the echo probe, the scan) drive the
// session's runs and read each verdict; the reporting words it as text
// lines, or with --json as one AddressRecord per address and a summary.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "clear_json.h"
#include "progress.h"
#include "run_driver.h"

namespace korvanel {

// Where a step of the session's runs leaves it: the runs go on, or the
// session ends with an exit status.
struct Step {
    bool goOn = true;
    ClearExitStatus status = EXIT_ALL_CLEARED;

    static Step Next() { return {}; }
    static Step End(ClearExitStatus status) { return {false, status}; }
};

class Runs {
public:
    Runs(const ClearOptions& options, Session& session, ClearSessionIo& io, ClearTrace& trace,
         ProgressLine& progress)
        : options_(options), session_(session), io_(io), trace_(trace), progress_(progress),
          reporter_(io), showAddress_(options.addresses.size() > 1), started_(io.clock.now())
    {}

    // The modes; each returns the session's exit status.
    ClearExitStatus clears();
    ClearExitStatus scan();
    // The session ends: a lost port still gets its summary object (the
    // objects promise one in every mode), and a loss after the last answer
    // is said as a note, since nothing was cut off.
    ClearExitStatus finish(ClearExitStatus status);

private:
    // One run of the session, with its requests and notes kept in the
    // address's record.
    Step run(std::uint8_t address, RequestKind kind, std::uint8_t retryLimit,
             bool fallBack = false);

    // The modes' steps.
    Step probeEcho(std::uint8_t address);
    Step clearInverter(std::uint8_t address);
    Step verify(std::uint8_t address, const std::string& prefix, bool& verified);
    Step settle(std::uint8_t address, const std::string& prefix, bool& verified);

    // Reporting: the verdict in words, on standard output or in the record.
    // An outcome line; with --json the record says it instead.
    bool say(const std::string& line) { return options_.json || printLine(line); }
    bool printLine(const std::string& line);
    // Said on standard error and kept in the address's record.
    void note(const std::string& text);
    void noteEcho();
    void noteExceptions(std::uint8_t address);
    std::string clearLine(bool cleared);
    std::string readFailure(std::uint8_t address);
    void begin(std::uint8_t address);
    // `stamp`: the address's time is from its begin() to now; a scan adds
    // up the reads of each address itself.
    bool emit(bool stamp = true);
    ClearExitStatus summary(const char* mode, unsigned succeeded, std::vector<std::string> settings,
                            ClearExitStatus status);

    // What a scan has found so far.
    struct ScanTally {
        std::map<std::uint8_t, AddressRecord> records;
        // Addresses that have not answered at any settings yet.
        std::vector<std::uint8_t> left;
        // The settings inverters answered at, with how many, in the order found.
        std::vector<std::pair<std::string, unsigned>> found;
        std::string tried;
        unsigned answered = 0;
        // Of those answered, the busy ones; and addresses a gateway said it
        // could not reach.
        unsigned busy = 0;
        unsigned unreachable = 0;
        bool severalSettings = false;
    };
    bool scanAnswered(ScanTally& tally, std::uint8_t address, const ReadAnswer& answer,
                      const std::string& late);
    Step scanAtCurrentSettings(ScanTally& tally);
    ClearExitStatus scanSummary(const ScanTally& tally, Clock::time_point started);
    // Milliseconds from `then` to now, on the session's clock.
    long MsSince(Clock::time_point then) const;

    const ClearOptions& options_;
    Session& session_;
    ClearSessionIo& io_;
    ClearTrace& trace_;
    ProgressLine& progress_;
    Reporter reporter_;
    const bool showAddress_;
    const Clock::time_point started_;
    AddressRecord record_;
    Clock::time_point addressStarted_{};
    bool echoRecorded_ = false;
    // The probe could not tell; the line is judged as if it echoed.
    bool echoAssumed_ = false;
    // Kept for the summary a lost port still gets.
    bool lost_ = false;
    const char* mode_ = "clear";
    unsigned succeeded_ = 0;
};

} // namespace korvanel
