#pragma once

// The pieces every transfer is made of, shared by the flash transfers and the whole-chip ones.

#include <cstdint>
#include <functional>
#include <span>

#include "programmer/Transfer.h"

namespace kw::detail {

// Closes the session on every way out, after every event of it, an exception included.
class SessionCloser {
public:
    explicit SessionCloser(Programmer& programmer) : programmer_(programmer) {}
    ~SessionCloser() { programmer_.close(); }
    SessionCloser(const SessionCloser&) = delete;
    SessionCloser& operator=(const SessionCloser&) = delete;

private:
    Programmer& programmer_;
};

// One session around `body`: opened with the options, every way out told to the host.
template <class Body>
void runSession(Programmer& programmer, const SessionOptions& options, TransferKind kind,
                TransferHost& host, TransferResult& result, Body&& body) {
    const SessionCloser closer(programmer);
    try {
        if (!programmer.open(options)) {
            result.failure.kind = kind;
            result.failure.loaderReason = programmer.openFailure();
            result.failure.refusal = programmer.refusedOption();
            if (result.failure.refusal) {
                result.outcome = TransferOutcome::OptionRefused;
                host.optionRefused(kind, *result.failure.refusal, result.failure.loaderReason);
            } else {
                result.outcome = TransferOutcome::LibraryMissing;
                host.libraryMissing(kind, result.failure.loaderReason);
            }
            return;
        }
        body();
        host.sessionEnding(kind, programmer);
    } catch (const ProgrammerStopped& stop) {
        // Whatever the transfer had reached, the programmer is gone: nothing it did last is
        // confirmed.
        result.outcome = TransferOutcome::Stopped;
        result.failure.stop = stop;
        host.stopped(kind, stop);
    }
}

// Records a block the library refused and tells the host.
void blockFailed(Programmer& programmer, TransferHost& host, TransferKind kind, int block,
                 ResultCode code, TransferResult& result);

// Records an export the library lacks and tells the host.
void exportMissing(TransferHost& host, TransferKind kind, const char* exportName,
                   TransferResult& result);

// Whether the host stopped the part before its `done`-th block; records it when it did.
bool cancelledAt(TransferHost& host, TransferKind kind, int done, TransferResult& result);

// Sends the flash blocks numbered in `blocks` (of download::kBlockSize) in that order, padded
// with `pad` past the image. false when it ended early; `result` then says why.
bool sendFlashBlocks(Programmer& programmer, const std::function<const ImageBuffer*()>& flash,
                     std::span<const int> blocks, std::uint8_t pad, TransferHost& host,
                     TransferResult& result);

// Reads the flash blocks numbered in `blocks` (of readback::kBlockSize) into `image` at their
// offsets. false when it ended early.
bool readFlashBlocks(Programmer& programmer, std::span<const int> blocks, ImageBuffer& image,
                     TransferHost& host, TransferResult& result);

} // namespace kw::detail
