#include "progress.h"

#include <chrono>

#include "process_setup.h"

namespace korvanel {

namespace {

// A few redraws a second read as movement and cost nothing on a slow
// console; a count that changes sooner waits for the next one.
constexpr std::chrono::milliseconds REDRAW_INTERVAL{250};

} // namespace

ProgressLine::ProgressLine(ClearSessionIo& io, bool wanted)
    : io_(io), enabled_(wanted), outBuffer_(*this, io.out.rdbuf()),
      errBuffer_(*this, io.err.rdbuf()), terminal_(io.err.rdbuf()), started_(io.clock.now())
{
    if (!enabled_)
        return;
    io_.out.rdbuf(&outBuffer_);
    io_.err.rdbuf(&errBuffer_);
}

ProgressLine::~ProgressLine()
{
    wipe();
    if (!enabled_)
        return;
    io_.out.rdbuf(outBuffer_.target());
    io_.err.rdbuf(errBuffer_.target());
}

void ProgressLine::scanAt(std::size_t asked, std::size_t total, unsigned answered,
                          const std::string& settings)
{
    show("scan: " + std::to_string(asked) + '/' + std::to_string(total) + " asked" +
         (settings.empty() ? "" : " at " + settings) + ", " + std::to_string(answered) +
         " answered");
}

void ProgressLine::clearAt(bool verifying, std::size_t done, std::size_t total, unsigned succeeded)
{
    show(std::string(verifying ? "verify: " : "clear: ") + std::to_string(done) + '/' +
         std::to_string(total) + ", " + std::to_string(succeeded) +
         (verifying ? " verified, " : " cleared, ") + std::to_string(done - succeeded) + " failed");
}

void ProgressLine::show(std::string counts)
{
    if (!enabled_)
        return;
    counts_ = std::move(counts);
    poll();
}

void ProgressLine::poll()
{
    if (counts_.empty())
        return;
    const auto now = io_.clock.now();
    if (drawn_ && now - lastDraw_ < REDRAW_INTERVAL)
        return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - started_).count();
    std::string text = counts_ + ", " + std::to_string(seconds) + " s";
    // A line as wide as the terminal wraps, and the carriage return then
    // redraws only its last row: the end is cut off instead.
    const std::size_t columns = io_.errColumns ? io_.errColumns() : 0;
    if (columns > 1 && text.size() >= columns)
        text.resize(columns - 1);
    if (text == shown_)
        return;
    drawn_ = true;
    lastDraw_ = now;
    // Spaces cover a longer line drawn before: every console takes them,
    // with or without escape sequences.
    const std::size_t cover = shown_.size() > text.size() ? shown_.size() - text.size() : 0;
    terminal_ << '\r' << text << std::string(cover, ' ') << std::flush;
    SetUnfinishedLine(text.size() + cover);
    shown_ = std::move(text);
}

void ProgressLine::wipe()
{
    if (shown_.empty())
        return;
    SetUnfinishedLine(0);
    terminal_ << '\r' << std::string(shown_.size(), ' ') << '\r' << std::flush;
    shown_.clear();
}

int ProgressLine::WipeFirst::overflow(int c)
{
    line_.wipe();
    return c == traits_type::eof() ? traits_type::not_eof(c) : target_->sputc(static_cast<char>(c));
}

std::streamsize ProgressLine::WipeFirst::xsputn(const char* s, std::streamsize n)
{
    line_.wipe();
    return target_->sputn(s, n);
}

} // namespace korvanel
