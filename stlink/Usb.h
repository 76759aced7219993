#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The USB below the ST-LINK library: the library speaks to probes only through these two
// interfaces, so that tests can put an emulated probe where libusb would be.

namespace kw::stlink {

// Results of USB calls, with libusb-1.0's values so that a libusb result passes unchanged.
enum UsbResult : int {
    kUsbSuccess = 0,
    kUsbErrorIo = -1,
    kUsbErrorAccess = -3,
    kUsbErrorNoDevice = -4,
    kUsbErrorNotFound = -5,
    kUsbErrorBusy = -6,
    kUsbErrorTimeout = -7,
};

inline constexpr std::uint16_t kStVendorId = 0x0483;

// An ST-LINK with SWIM-capable firmware, and where its commands go.
struct ProbeModel {
    std::uint16_t productId;
    const char* name;
    std::uint8_t outEndpoint;
    std::uint8_t inEndpoint;
};

// The model with that USB ID, or nullptr for anything that is not a SWIM-capable ST-LINK
// (V1 and the V3 boot loader included).
const ProbeModel* probeModel(std::uint16_t vendorId, std::uint16_t productId) noexcept;

// One opened probe with its debug interface claimed; destroying it releases and closes it.
class UsbLink {
public:
    virtual ~UsbLink() = default;
    virtual std::uint16_t vendorId() const = 0;
    virtual std::uint16_t productId() const = 0;
    // libusb_bulk_transfer: a UsbResult; `transferred` gets the bytes moved, also on timeout.
    virtual int bulkTransfer(std::uint8_t endpoint, std::uint8_t* data, int length,
                             int* transferred, unsigned timeoutMs) = 0;
    // libusb_reset_device: ends whatever the probe was doing, as a replug would.
    virtual int resetDevice() = 0;
};

// A probe as the bus lists it, for a report.
struct ProbeListing {
    std::string location; // bus and port path as Linux writes it: "1-2", "3-2.4"
    std::uint16_t productId = 0;
    std::string serial; // empty when it cannot be read
    int openResult = 0; // kUsbSuccess, or why it cannot be opened or claimed
};

// The probes on the bus. Destroying it ends all USB use (libusb_exit); links go first.
class UsbPort {
public:
    virtual ~UsbPort() = default;
    // Opens the index-th plugged-in probe that probeModel() accepts, in bus order:
    // kUsbSuccess with `link` set; kUsbErrorNotFound when there are not that many; else the
    // reason that probe could not be opened or claimed (kUsbErrorAccess, kUsbErrorBusy, ...).
    virtual int open(int index, std::unique_ptr<UsbLink>& link) = 0;
    // Every probe that open() would count, in the same order, without keeping any open.
    virtual std::vector<ProbeListing> list() = 0;
    // As list(), but nothing is claimed (openResult stays kUsbSuccess): reading a serial
    // needs no claim, and a claim, however brief, would make a probe that another process is
    // opening at that moment fail as busy.
    virtual std::vector<ProbeListing> identify() = 0;
};

// The real bus, through libusb-1.0.
std::unique_ptr<UsbPort> makeLibusbPort();

} // namespace kw::stlink
