#include <libusb.h>

#include <string>
#include <vector>

#include "stlink/Usb.h"

namespace kw::stlink {

constexpr bool sameValue(int ours, int theirs) {
    return ours == theirs;
}
static_assert(sameValue(kUsbErrorIo, LIBUSB_ERROR_IO) &&
              sameValue(kUsbErrorAccess, LIBUSB_ERROR_ACCESS) &&
              sameValue(kUsbErrorNoDevice, LIBUSB_ERROR_NO_DEVICE) &&
              sameValue(kUsbErrorNotFound, LIBUSB_ERROR_NOT_FOUND) &&
              sameValue(kUsbErrorBusy, LIBUSB_ERROR_BUSY) &&
              sameValue(kUsbErrorTimeout, LIBUSB_ERROR_TIMEOUT));

namespace {

// The debug interface: interface 0 on every model (the others belong to the mass storage and
// serial port functions of V2-1 and V3, which stay with their kernel drivers).
constexpr int kDebugInterface = 0;

class LibusbLink final : public UsbLink {
public:
    LibusbLink(libusb_device_handle* handle, std::uint16_t vendor, std::uint16_t product)
        : handle_(handle), vendor_(vendor), product_(product) {}
    ~LibusbLink() override {
        libusb_release_interface(handle_, kDebugInterface);
        libusb_close(handle_);
    }
    LibusbLink(const LibusbLink&) = delete;
    LibusbLink& operator=(const LibusbLink&) = delete;

    std::uint16_t vendorId() const override { return vendor_; }
    std::uint16_t productId() const override { return product_; }
    int bulkTransfer(std::uint8_t endpoint, std::uint8_t* data, int length, int* transferred,
                     unsigned timeoutMs) override {
        return libusb_bulk_transfer(handle_, endpoint, data, length, transferred, timeoutMs);
    }
    int resetDevice() override { return libusb_reset_device(handle_); }

private:
    libusb_device_handle* handle_;
    std::uint16_t vendor_;
    std::uint16_t product_;
};

class LibusbPort final : public UsbPort {
public:
    LibusbPort() {
        if (libusb_init(&context_) != LIBUSB_SUCCESS)
            context_ = nullptr;
    }
    ~LibusbPort() override {
        if (context_ != nullptr)
            libusb_exit(context_);
    }
    LibusbPort(const LibusbPort&) = delete;
    LibusbPort& operator=(const LibusbPort&) = delete;

    int open(int index, std::unique_ptr<UsbLink>& link) override {
        int result = kUsbErrorNotFound;
        int seen = 0;
        forEachProbe([&](libusb_device* device, const libusb_device_descriptor& descriptor) {
            if (seen++ != index)
                return true;
            result = openDevice(device, descriptor, link);
            return false;
        });
        return result;
    }

    std::vector<ProbeListing> list() override { return listed(true); }
    std::vector<ProbeListing> identify() override { return listed(false); }

private:
    std::vector<ProbeListing> listed(bool tryClaim) {
        std::vector<ProbeListing> probes;
        forEachProbe([&](libusb_device* device, const libusb_device_descriptor& descriptor) {
            ProbeListing probe;
            probe.location = location(device);
            probe.productId = descriptor.idProduct;
            libusb_device_handle* handle = nullptr;
            probe.openResult = libusb_open(device, &handle);
            if (probe.openResult == LIBUSB_SUCCESS) {
                unsigned char serial[128] = {};
                if (descriptor.iSerialNumber != 0 &&
                    libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, serial,
                                                       sizeof serial) > 0)
                    probe.serial = reinterpret_cast<const char*>(serial);
                if (tryClaim) {
                    libusb_set_auto_detach_kernel_driver(handle, 1);
                    probe.openResult = libusb_claim_interface(handle, kDebugInterface);
                    if (probe.openResult == LIBUSB_SUCCESS)
                        libusb_release_interface(handle, kDebugInterface);
                }
                libusb_close(handle);
            }
            probes.push_back(probe);
            return true;
        });
        return probes;
    }

    // Calls `visit` for each probe probeModel() accepts, in bus order, until it returns false.
    template <class Visit> void forEachProbe(Visit visit) {
        if (context_ == nullptr)
            return;
        libusb_device** devices = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &devices);
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device_descriptor descriptor{};
            if (libusb_get_device_descriptor(devices[i], &descriptor) != LIBUSB_SUCCESS ||
                probeModel(descriptor.idVendor, descriptor.idProduct) == nullptr)
                continue;
            if (!visit(devices[i], descriptor))
                break;
        }
        if (devices != nullptr)
            libusb_free_device_list(devices, 1);
    }

    // "bus-port.port...", as the kernel names the device under /sys/bus/usb/devices.
    static std::string location(libusb_device* device) {
        std::uint8_t ports[8] = {};
        const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
        std::string text = std::to_string(libusb_get_bus_number(device));
        for (int i = 0; i < depth; ++i)
            text += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
        return text;
    }

    static int openDevice(libusb_device* device, const libusb_device_descriptor& descriptor,
                          std::unique_ptr<UsbLink>& link) {
        libusb_device_handle* handle = nullptr;
        int result = libusb_open(device, &handle);
        if (result != LIBUSB_SUCCESS)
            return result;
        // Never set the configuration: that would reset the probe's other functions.
        libusb_set_auto_detach_kernel_driver(handle, 1);
        result = libusb_claim_interface(handle, kDebugInterface);
        if (result != LIBUSB_SUCCESS) {
            libusb_close(handle);
            return result;
        }
        link = std::make_unique<LibusbLink>(handle, descriptor.idVendor, descriptor.idProduct);
        return kUsbSuccess;
    }

    libusb_context* context_ = nullptr;
};

} // namespace

std::unique_ptr<UsbPort> makeLibusbPort() {
    return std::make_unique<LibusbPort>();
}

} // namespace kw::stlink
