#pragma once

// The transfers' host for benches: nothing on screen, the pauses timed, and a failure kept
// as one line to print.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "programmer/Pause.h"
#include "programmer/Transfer.h"

namespace kw::bench {

class BenchHost : public TransferHost {
public:
    bool plainSleep = false;     // std::this_thread::sleep_for instead of preciseSleep
    double shortestMargin = 1e9; // actual minus nominal pause, ms
    std::string failure;

    void libraryMissing(TransferKind, const std::string& reason) override {
        failure = "no library: " + reason;
    }
    void optionRefused(TransferKind, const OptionRefusal&, const std::string& reason) override {
        failure = reason;
    }
    void started(TransferKind) override {}
    void exportMissing(TransferKind, const char* name) override {
        failure = std::string("no ") + name;
    }
    void blockDone(TransferKind, int) override {}
    void blockFailed(TransferKind, int block, ResultCode code, const std::string& text) override {
        failure = "block " + std::to_string(block) + ": code " + std::to_string(code) + " " + text;
    }
    void stopped(TransferKind, const ProgrammerStopped& stop) override { failure = stop.what(); }
    void finished(TransferKind) override {}
    void setProgressMaximum(int) override {}
    void processEvents() override {}
    void pause(int milliseconds) override {
        const auto start = std::chrono::steady_clock::now();
        if (plainSleep)
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        else
            preciseSleep(milliseconds);
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        shortestMargin = std::min(shortestMargin, took.count() - milliseconds);
    }
};

} // namespace kw::bench
