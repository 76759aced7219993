#pragma once

// The ST-LINK library's USB seam over an in-process emulated probe. A test may tamper with
// the chip's memory replies to fake faults the emulator does not make on its own.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emulator/Probe.h"
#include "stlink/Usb.h"

namespace kw::test {

// Called with each reply to a SWIM command: the command answered (0x09 status, 0x0C read
// buffer), the last memory command (0x0A write, 0x0B read) and its chip address, the bytes.
using ReplyTamper = std::function<void(int reply, int memoryCommand, std::uint32_t address,
                                       std::uint8_t* data, int length)>;

class EmulatedLink final : public stlink::UsbLink {
public:
    EmulatedLink(emu::Probe& probe, ReplyTamper tamper)
        : probe_(probe), tamper_(std::move(tamper)) {}
    ~EmulatedLink() override { probe_.close(); }
    EmulatedLink(const EmulatedLink&) = delete;
    EmulatedLink& operator=(const EmulatedLink&) = delete;

    std::uint16_t vendorId() const override { return probe_.vendorId(); }
    std::uint16_t productId() const override { return probe_.productId(); }
    int bulkTransfer(std::uint8_t endpoint, std::uint8_t* data, int length, int* transferred,
                     unsigned timeoutMs) override {
        const bool in = (endpoint & 0x80) != 0;
        // Remember where the last memory command pointed, for the replies that follow it.
        const bool command = !in && length == 16 && data[0] == 0xF4;
        if (command && (data[1] == 0x0A || data[1] == 0x0B)) {
            memoryCommand_ = data[1];
            address_ =
                static_cast<std::uint32_t>(data[4] << 24 | data[5] << 16 | data[6] << 8 | data[7]);
        }
        if (!in && length == 16)
            lastCommand_ = command ? data[1] : -1;
        const int result = probe_.bulkTransfer(endpoint, data, length, transferred, timeoutMs);
        if (in && result == 0 && tamper_ && (lastCommand_ == 0x09 || lastCommand_ == 0x0C))
            tamper_(lastCommand_, memoryCommand_, address_, data, *transferred);
        return result;
    }
    int resetDevice() override { return probe_.resetDevice(); }

private:
    emu::Probe& probe_;
    ReplyTamper tamper_;
    int memoryCommand_ = -1;
    std::uint32_t address_ = 0;
    int lastCommand_ = -1;
};

// Probes on an emulated bus, in bus order, each with its port path and serial.
struct AttachedProbe {
    emu::Probe* probe;
    std::string location;
    std::string serial;
};

class EmulatedPort final : public stlink::UsbPort {
public:
    explicit EmulatedPort(emu::Probe& probe, ReplyTamper tamper = {})
        : EmulatedPort({{&probe, "1-2", "EMULATED"}}, std::move(tamper)) {}
    EmulatedPort(std::vector<AttachedProbe> probes, ReplyTamper tamper)
        : probes_(std::move(probes)), tamper_(std::move(tamper)) {}

    int open(int index, std::unique_ptr<stlink::UsbLink>& link) override {
        const std::vector<emu::Probe*> listed = present();
        if (index < 0 || index >= static_cast<int>(listed.size()))
            return stlink::kUsbErrorNotFound;
        emu::Probe& probe = *listed[static_cast<std::size_t>(index)];
        if (const int result = probe.open(); result != 0)
            return result;
        if (const int result = probe.claimInterface(0); result != 0) {
            probe.close();
            return result;
        }
        link = std::make_unique<EmulatedLink>(probe, tamper_);
        return stlink::kUsbSuccess;
    }
    std::vector<stlink::ProbeListing> list() override { return listed(true); }
    std::vector<stlink::ProbeListing> identify() override { return listed(false); }

private:
    std::vector<stlink::ProbeListing> listed(bool tryClaim) {
        std::vector<stlink::ProbeListing> listings;
        for (const AttachedProbe& attached : probes_) {
            emu::Probe& probe = *attached.probe;
            if (!probe.present() ||
                stlink::probeModel(probe.vendorId(), probe.productId()) == nullptr)
                continue;
            stlink::ProbeListing listed{attached.location, probe.productId(), attached.serial,
                                        probe.open()};
            if (listed.openResult == 0) {
                if (tryClaim)
                    listed.openResult = probe.claimInterface(0);
                probe.close();
            }
            listings.push_back(listed);
        }
        return listings;
    }

    std::vector<emu::Probe*> present() const {
        std::vector<emu::Probe*> listed;
        for (const AttachedProbe& attached : probes_)
            if (attached.probe->present() &&
                stlink::probeModel(attached.probe->vendorId(), attached.probe->productId()) !=
                    nullptr)
                listed.push_back(attached.probe);
        return listed;
    }

    std::vector<AttachedProbe> probes_;
    ReplyTamper tamper_;
};

} // namespace kw::test
