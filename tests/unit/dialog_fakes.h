// Recording fakes of the dialog's window layer, port and pacer, shared by
// the dialog's tests.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "dialog_window.h"
#include "poll_thread.h"
#include "serial_port.h"

namespace korvanel {
namespace fakes {

using Bytes = std::vector<std::uint8_t>;

struct Box {
    std::string text;
    std::string caption;
    unsigned type;
    bool operator==(const Box& o) const
    {
        return text == o.text && caption == o.caption && type == o.type;
    }
};

inline std::ostream& operator<<(std::ostream& os, const Box& b)
{
    return os << '{' << b.text << " | " << b.caption << " | " << b.type << '}';
}

// The window as a user would see it: control texts, button label, boxes.
class RecordingWindow : public DialogWindow {
public:
    std::map<int, std::string> texts;
    std::map<int, int> checks;
    std::map<int, bool> enabled;
    std::map<int, int> combos;
    std::vector<int> textWrites;  // ids, in order
    std::vector<int> focused;
    std::vector<Box> boxes;
    std::vector<std::string> aboutItems;
    std::string title;
    int iconSets = 0;
    int aboutBoxes = 0;
    int postedTicks = 0;
    std::function<void()> whileBoxOpen;
    // What the user does while a connect waits; false: told to quit.
    std::function<bool()> whileConnecting;
    bool minimised = false;
    PixelSize client{};
    PixelSize icon{32, 32};
    std::vector<PixelSize> iconsDrawn;

    std::string controlText(int id) const override
    {
        auto it = texts.find(id);
        return it == texts.end() ? std::string() : it->second;
    }
    void setControlText(int id, const std::string& text) override
    {
        texts[id] = text;
        textWrites.push_back(id);
    }
    int checkState(int id) const override
    {
        auto it = checks.find(id);
        return it == checks.end() ? 0 : it->second;
    }
    void setCheckState(int id, int state) override { checks[id] = state; }
    void enableControl(int id, bool enable) override { enabled[id] = enable; }
    void focusAndSelectAll(int id) override { focused.push_back(id); }
    int comboSelection(int id) const override
    {
        auto it = combos.find(id);
        return it == combos.end() ? -1 : it->second;
    }
    void setTitle(const std::string& t) override { title = t; }
    void setIcons() override { ++iconSets; }
    void addAboutMenuItem(const std::string& text) override { aboutItems.push_back(text); }
    void messageBox(const std::string& text, const std::string& caption, unsigned type) override
    {
        boxes.push_back({text, caption, type});
        if (whileBoxOpen)
            whileBoxOpen();
    }
    void showAboutBox() override { ++aboutBoxes; }
    bool handleWaitingEvents() override { return !whileConnecting || whileConnecting(); }
    std::string applicationTitle() const override { return "korvanel"; }
    void postClearTick() override { ++postedTicks; }
    bool isMinimised() const override { return minimised; }
    PixelSize clientSize() const override { return client; }
    PixelSize iconSize() const override { return icon; }
    void drawIcon(int x, int y) override { iconsDrawn.push_back({x, y}); }
};

// A port whose peer is scripted: what arrives before each tick, whether
// open fails, and every byte written.
class FakePort : public RunPort {
public:
    PortOpenResult openResult = PortOpenResult::Ok;
    std::vector<std::string> opened;
    int closes = 0;
    std::deque<Bytes> arrivals;
    std::vector<Bytes> writes;
    // The waits of a network open; false: the connect was cancelled.
    std::function<bool()> whileOpening;

    PortOpenResult open(const PortAddress& address) override
    {
        opened.push_back(address.name);
        if (whileOpening && !whileOpening())
            return PortOpenResult::OpenFailed;
        open_ = openResult != PortOpenResult::OpenFailed;
        return openResult;
    }
    bool isOpen() const override { return open_; }
    void close() override
    {
        if (open_)
            ++closes;
        open_ = false;
    }
    std::uint32_t queuedByteCount() override
    {
        if (!open_)
            return 0;
        pending_ = arrivals.empty() ? Bytes{} : arrivals.front();
        if (!arrivals.empty())
            arrivals.pop_front();
        return static_cast<std::uint32_t>(pending_.size());
    }
    void prepareWriteEvent() override {}
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& kept) override
    {
        kept = count;
        if (count > 0)
            std::memcpy(buffer, pending_.data(), count);
        return true;
    }
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override
    {
        writes.emplace_back(bytes, bytes + count);
    }
    PortStatus status() const override { return {}; }
    void beginRun() override {}
    std::vector<std::string> takeNotes() override { return {}; }
    bool waitForInput(std::chrono::milliseconds) override { return !arrivals.empty(); }

private:
    bool open_ = false;
    Bytes pending_;
};

class FakePacer : public TickPacer {
public:
    bool startSucceeds = true;
    int starts = 0;
    std::function<void()> postTick;
    bool start(ClearRun&, PostTick post) override
    {
        ++starts;
        postTick = std::move(post);
        return startSucceeds;
    }
};

} // namespace fakes
} // namespace korvanel
