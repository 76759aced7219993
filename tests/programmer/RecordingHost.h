#pragma once

#include <functional>
#include <string>
#include <vector>

#include "programmer/Transfer.h"

namespace kw::test {

// Records everything a transfer asks of its window, in order, as short strings:
// "message:<text>", "line:<text>", "stamped:<text>", "max:<n>", "progress:<n>", "events",
// "pause:<ms>". Never sleeps.
class RecordingHost : public TransferHost {
public:
    std::vector<std::string> events;
    std::function<void(int block)> onProcessEvents; // block = number of earlier calls

    void showMessage(const std::string& text) override { events.push_back("message:" + text); }
    void appendLine(const std::string& text) override { events.push_back("line:" + text); }
    void appendStampedLine(const std::string& text) override {
        events.push_back("stamped:" + text);
    }
    void setProgressMaximum(int maximum) override {
        events.push_back("max:" + std::to_string(maximum));
    }
    void setProgress(int position) override {
        events.push_back("progress:" + std::to_string(position));
    }
    void processEvents() override {
        events.push_back("events");
        if (onProcessEvents)
            onProcessEvents(processed_++);
    }
    void pause(int milliseconds) override {
        events.push_back("pause:" + std::to_string(milliseconds));
    }

    // Only the events of one kind, prefix included.
    std::vector<std::string> only(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& event : events)
            if (event.rfind(prefix, 0) == 0)
                out.push_back(event);
        return out;
    }

private:
    int processed_ = 0;
};

} // namespace kw::test
