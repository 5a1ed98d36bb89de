// korvanel-sim's command line: what each option asks of the simulated
// inverters and their line, and the options that cannot go together.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inverter.h"

namespace korvanel {

struct SimOptions {
    SimConfig config;
    std::string linkPath;
    // Serve over TCP instead of a pseudo-terminal: tcp://... or modbus-tcp://...
    std::string listenUrl;
    bool quiet = false;
    // Junk bytes per second written onto the line between and over replies,
    // as a noisy cable or a flaky adapter would; 0 for a clean line.
    unsigned noiseRate = 0;
    std::uint32_t noiseSeed = 1;
    // The adapter hands every byte the master sends straight back.
    bool echo = false;
    // Sent ahead of the echo of each request, as a turnaround glitch.
    FrameBytes echoGlitch;
    // The echo comes this late, as through a USB adapter's latency timer; a
    // quicker reply goes out ahead of it.
    unsigned echoDelayMs = 0;
    // Bits a second of the line the replies leave on; 0 sends at once.
    unsigned lineRate = 0;
    // Seconds after start at which the line goes away as an unplugged
    // adapter does: the simulator closes its side and exits. 0 for never.
    double vanishAfterS = 0;
    // The only speed the inverter understands; while the master has the
    // line at another, every request is noise to it. 0 for any.
    std::uint32_t baud = 0;
    // --capture: every request heard and every byte sent, written to this
    // file as it goes (capture_file.h); empty for none.
    std::string capturePath;
};

// Reads `args` (the arguments after the program name) into `options`: 0 to
// go on, -1 once --help or --version has been printed, or 2 after a usage
// error was said on standard error.
int ParseSimOptions(const std::vector<std::string>& args, SimOptions& options);

} // namespace korvanel
