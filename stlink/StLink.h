#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "stlink/Results.h"
#include "stlink/Usb.h"

namespace kw::stlink {

struct FirmwareVersion {
    int stlink = 0; // probe generation: 2 or 3
    int jtag = 0;
    int swim = 0; // 0: the firmware cannot speak SWIM
};

// The ST-LINK's own command set over one claimed probe: 16-byte command frames on the OUT
// endpoint, replies on IN. Every USB transfer and every status poll has a bounded time;
// a USB failure throws Failure(ProbeLost), a SWIM failure Failure(TargetSilent).
class StLink {
public:
    // The largest SWIM read or write the firmware buffers.
    static constexpr int kMaxBufferSize = 6144;
    static constexpr unsigned kUsbTimeoutMs = 100;

    explicit StLink(std::unique_ptr<UsbLink> link);

    const ProbeModel& model() const noexcept { return *model_; }
    FirmwareVersion readVersion();
    // Leaves DFU, debug or a SWIM session an earlier program left open, then enters SWIM.
    void enterSwim();
    void exitSwim();
    // How many bytes one read or write may carry, as the probe reports it.
    int readBufferSize();

    // SWIM on the wire; each waits for the probe to report it done.
    void setHighSpeed(bool high);
    void assertReset();
    void releaseReset();
    void entrySequence();
    void resync();
    void systemReset();
    // A flash access waits on the wire while the chip programs a block; `tooLong` is the
    // failure when the probe stays busy beyond any reasonable time.
    void writeMemory(std::uint32_t address, const std::uint8_t* data, int length,
                     Reason tooLong = Reason::TargetSilent);
    // `bytesFrom`: when the chip can start sending, if later than the command's arrival (the
    // end of a flash operation); the probe is first asked when the bytes should be through.
    void readMemory(std::uint32_t address, std::uint8_t* data, int length,
                    Reason tooLong = Reason::TargetSilent,
                    std::chrono::steady_clock::time_point bytesFrom = {});
    // When the last write's final byte reached the chip, by the speed of the wire: a little
    // before the probe could report it.
    std::chrono::steady_clock::time_point lastWriteLanded() const noexcept { return landed_; }

private:
    using Frame = std::uint8_t[16];
    void send(const Frame& frame);
    void sendData(const std::uint8_t* data, int length);
    void receive(std::uint8_t* data, int length);
    void swimCommand(std::uint8_t command, int argument = -1);
    // Polls the status of the last SWIM command until done; `payload` bytes on the wire set
    // how long the probe may rightly report busy.
    void awaitSwim(int payload, Reason tooLong = Reason::TargetSilent,
                   std::chrono::steady_clock::time_point bytesFrom = {});
    // Headers and bytes on the wire, and the bytes alone.
    std::chrono::microseconds wireTime(int payload) const;
    std::chrono::microseconds bytesTime(int payload) const;

    std::unique_ptr<UsbLink> link_;
    const ProbeModel* model_;
    bool highSpeed_ = false;
    std::chrono::steady_clock::time_point landed_;
};

} // namespace kw::stlink
