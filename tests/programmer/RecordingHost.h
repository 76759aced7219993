#pragma once

#include <functional>
#include <string>
#include <vector>

#include "programmer/Transfer.h"

namespace kw::test {

// Records everything a transfer tells and asks its host, in order, as short strings:
// "missing:<reason>", "refused:<name>", "started", "export:<name>", "done:<block>",
// "failed:<block>:<code>:<text>", "stopped:<what>", "finished", "ending", "max:<n>",
// "events", "pause:<ms>". The transfer kind is left out: each test knows which it runs.
// Never sleeps.
class RecordingHost : public TransferHost {
public:
    std::vector<std::string> events;
    std::function<void(int block)> onProcessEvents; // block = number of earlier calls
    std::function<void(Programmer&)> onSessionEnding;
    int cancelBefore = -1; // cancelled() is true from this block on

    void libraryMissing(TransferKind, const std::string& reason) override {
        events.push_back("missing:" + reason);
    }
    void optionRefused(TransferKind, const OptionRefusal& refusal, const std::string&) override {
        events.push_back("refused:" + refusal.name);
    }
    void started(TransferKind) override { events.push_back("started"); }
    void exportMissing(TransferKind, const char* name) override {
        events.push_back(std::string("export:") + name);
    }
    void blockDone(TransferKind, int block) override {
        events.push_back("done:" + std::to_string(block));
    }
    void blockFailed(TransferKind, int block, ResultCode code, const std::string& text) override {
        events.push_back("failed:" + std::to_string(block) + ":" + std::to_string(code) + ":" +
                         text);
    }
    void stopped(TransferKind, const ProgrammerStopped& stop) override {
        events.push_back(std::string("stopped:") + stop.what());
    }
    void finished(TransferKind) override { events.push_back("finished"); }
    void sessionEnding(TransferKind, Programmer& programmer) override {
        events.push_back("ending");
        if (onSessionEnding)
            onSessionEnding(programmer);
    }
    void setProgressMaximum(int maximum) override {
        events.push_back("max:" + std::to_string(maximum));
    }
    void processEvents() override {
        events.push_back("events");
        if (onProcessEvents)
            onProcessEvents(processed_++);
    }
    void pause(int milliseconds) override {
        events.push_back("pause:" + std::to_string(milliseconds));
    }
    bool cancelled() override { return cancelBefore >= 0 && asked_++ >= cancelBefore; }

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
    int asked_ = 0;
};

} // namespace kw::test
