#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "stlink/Results.h"
#include "stlink/Usb.h"

namespace kw::stlink {

struct FirmwareVersion {
    int stlink = 0; // probe generation: 2 or 3
    int jtag = 0;
    int swim = 0; // 0: the firmware cannot speak SWIM
};

// A SWIM command the probe answered with an error status: 0x04 no answer from the target,
// 0x05 the target was not ready (an access while its flash programs), others from wiring.
class SwimError : public Failure {
public:
    explicit SwimError(std::uint8_t status) : Failure(Reason::TargetSilent), status_(status) {}
    std::uint8_t status() const noexcept { return status_; }

private:
    std::uint8_t status_;
};

// A memory access failed at high speed even after its retry: the link should go on at low
// speed. A caller that cannot fall back reports it as the chip not answering.
class SpeedTrouble : public Failure {
public:
    SpeedTrouble() : Failure(Reason::TargetSilent) {}
};

// The ST-LINK's own command set over one claimed probe: 16-byte command frames on the OUT
// endpoint, replies on IN. Every USB transfer and every status poll has a bounded time, scaled
// by the round trip measured on this link; a USB failure throws Failure(ProbeLost), a SWIM
// failure SwimError or Failure(TargetSilent).
class StLink {
public:
    // The largest SWIM read or write the firmware buffers.
    static constexpr int kMaxBufferSize = 6144;

    explicit StLink(std::unique_ptr<UsbLink> link);

    const ProbeModel& model() const noexcept { return *model_; }
    // A probe that does not answer (left mid-command by a killed program) gets a USB reset
    // and one more try.
    FirmwareVersion readVersion();
    // The target voltage the probe measures, if it reports one; unreliable on clones.
    std::optional<double> targetVolts();
    // Leaves DFU, debug or a SWIM session an earlier program left open, then enters SWIM.
    void enterSwim();
    void exitSwim();
    // How many bytes one read or write may carry, as the probe reports it.
    int readBufferSize();

    // SWIM on the wire; each waits for the probe to report it done.
    void setHighSpeed(bool high);
    bool highSpeed() const noexcept { return highSpeed_; }
    void assertReset();
    void releaseReset();
    void entrySequence();
    void resync();
    void systemReset();
    // Status 0x04 or 0x05 on a memory access is followed by a resync and one retry. `tooLong`
    // is the failure when the probe stays busy, without progress, beyond any reasonable time.
    void writeMemory(std::uint32_t address, const std::uint8_t* data, int length,
                     Reason tooLong = Reason::TargetSilent);
    void readMemory(std::uint32_t address, std::uint8_t* data, int length,
                    Reason tooLong = Reason::TargetSilent);

    // When the last write's final byte reached the chip, by the speed of the wire: a little
    // before the probe could report it.
    std::chrono::steady_clock::time_point lastWriteLanded() const noexcept { return landed_; }
    // One command and its reply on this USB, as measured when the probe was first asked.
    std::chrono::microseconds roundTrip() const noexcept { return roundTrip_; }
    // About how long a command frame takes to reach the probe: half a round trip.
    std::chrono::microseconds oneTransfer() const noexcept { return roundTrip_ / 2; }
    // SWIM errors recovered by a retry since the link was made.
    int recoveredErrors() const noexcept { return recovered_; }
    // Errors at high speed come so often that the link should go on at low speed.
    bool wantsLowSpeed() const noexcept;

private:
    using Frame = std::uint8_t[16];
    void send(const Frame& frame);
    void sendData(const std::uint8_t* data, int length);
    void receive(std::uint8_t* data, int length);
    FirmwareVersion queryVersion();
    void measured(std::chrono::steady_clock::time_point sent);
    void swimCommand(std::uint8_t command, int argument = -1);
    template <class Access> void retried(const Access& access);
    // Polls the status of the last SWIM command until done; `payload` bytes on the wire set
    // how long the probe may rightly report busy before it reports progress.
    void awaitSwim(int payload, Reason tooLong = Reason::TargetSilent);
    // Headers and bytes on the wire.
    std::chrono::microseconds wireTime(int payload) const;

    std::unique_ptr<UsbLink> link_;
    const ProbeModel* model_;
    bool highSpeed_ = false;
    std::chrono::microseconds roundTrip_{0};
    std::chrono::steady_clock::time_point landed_;
    unsigned usbTimeoutMs_;
    int recovered_ = 0;
    int trouble_ = 0; // grows with each error at high speed, shrinks with each clean access
};

} // namespace kw::stlink
