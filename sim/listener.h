// korvanel-sim's network side (--listen): a TCP listener that stands where
// a converter or gateway would, one client at a time, in front of the same
// simulated line the pseudo-terminal gives. The simulator's main loop reads
// and writes lineFd() as it would the pseudo-terminal, so every fault and
// line behaviour works over the network unchanged.
//   tcp://         the client's bytes go to the line as they are, and back
//   modbus-tcp://  a gateway: MBAP requests go to the line as RTU frames,
//                  RTU responses go back as MBAP under the request's id
#pragma once

#include <memory>
#include <string>

namespace korvanel {

class Listener {
public:
    Listener();
    ~Listener(); // stops serving and closes every connection
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Whether `url` is a name --listen takes; false with `error` saying why.
    static bool CheckUrl(const std::string& url, std::string& error);

    // Binds and listens on `url`, and starts serving; false with `error`.
    bool start(const std::string& url, bool quiet, std::string& error);
    // The simulator's end of the line.
    int lineFd() const;
    // Whether each read of lineFd() is one whole request (a gateway's line,
    // where requests are delimited by MBAP lengths); otherwise it is a byte
    // stream whose requests end at a silence, as on a serial line.
    bool framesRequests() const;
    // The name a client connects to, with the port the system chose.
    const std::string& url() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace korvanel
