// libusb-1.0.so.0 whose bus holds emulated ST-LINK probes (one unless KW_EMU_PROBES says
// more), each with its own chip. Put its folder on LD_LIBRARY_PATH and a program's libusb
// calls, synchronous and asynchronous, reach the emulator configured by the KW_EMU_*
// environment variables.

#include "emulator/Probe.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/time.h>

// Every libusb entry point is exported; everything else in this file stays hidden.
#pragma GCC visibility push(default)
#include <libusb.h>
#pragma GCC visibility pop

struct libusb_context {
    int users = 1;
};

struct libusb_device {
    std::atomic<int> references{0};
    std::size_t index = 0; // of its probe on the bus
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
};

namespace {

using kw::emu::Generation;
using kw::emu::Probe;

struct Bus {
    std::mutex mutex;
    bool created = false;
    std::vector<kw::emu::Attachment> attachments;
    std::vector<std::unique_ptr<Probe>> probes;
    std::unique_ptr<libusb_device[]> devices; // one per probe, never moved
    int defaultContextUsers = 0;
    std::mutex queueMutex;
    std::deque<libusb_transfer*> pending;
    std::vector<libusb_transfer*> cancelled;
};

// Lives as long as the process: the emulated hardware does not reset because a library that
// uses it was unloaded (the library is also linked with -z nodelete).
Bus& bus() {
    static Bus* instance = new Bus;
    return *instance;
}

// The probes, created from the environment on first use; empty if that failed.
Bus& probes() {
    Bus& b = bus();
    std::lock_guard lock(b.mutex);
    if (!b.created) {
        b.created = true;
        try {
            b.attachments = kw::emu::busFromEnvironment();
            for (const kw::emu::Attachment& attached : b.attachments)
                b.probes.push_back(std::make_unique<Probe>(attached.options));
            b.devices = std::make_unique<libusb_device[]>(b.probes.size());
            for (std::size_t i = 0; i < b.probes.size(); ++i)
                b.devices[i].index = i;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "kw-emu: emulated ST-LINK unavailable: %s\n", error.what());
            b.probes.clear();
            b.attachments.clear();
        }
    }
    return b;
}

bool busReady() {
    return !probes().probes.empty();
}

// The device's probe; nullptr for a device that is not ours or when the bus failed.
Probe* probeOf(const libusb_device* device) {
    Bus& b = probes();
    if (device == nullptr || device->index >= b.probes.size() ||
        device != &b.devices[device->index])
        return nullptr;
    return b.probes[device->index].get();
}

Probe* probeOf(const libusb_device_handle* handle) {
    return handle != nullptr ? probeOf(handle->device) : nullptr;
}

template <class Device> bool probePresent(const Device* device) {
    Probe* p = probeOf(device);
    return p != nullptr && p->present();
}

std::uint16_t maxPacket(const Probe& probe) {
    return probe.generation() == Generation::V3 ? 512 : 64;
}

const char* stringDescriptor(const libusb_device* device, std::uint8_t index) {
    const Probe* probe = probeOf(device);
    if (probe == nullptr)
        return nullptr;
    switch (index) {
    case 1:
        return "STMicroelectronics";
    case 2:
        return probe->generation() == Generation::V3 ? "STLINK-V3" : "STM32 STLink";
    case 3:
        return bus().attachments[device->index].serial.c_str();
    default:
        return nullptr;
    }
}

libusb_device_descriptor deviceDescriptor(const Probe& probe) {
    libusb_device_descriptor d{};
    d.bLength = LIBUSB_DT_DEVICE_SIZE;
    d.bDescriptorType = LIBUSB_DT_DEVICE;
    d.bcdUSB = 0x0200;
    if (probe.generation() != Generation::V2) {
        // Composite device with interface association descriptors.
        d.bDeviceClass = LIBUSB_CLASS_MISCELLANEOUS;
        d.bDeviceSubClass = 0x02;
        d.bDeviceProtocol = 0x01;
    }
    d.bMaxPacketSize0 = 64;
    d.idVendor = probe.vendorId();
    d.idProduct = probe.productId();
    d.bcdDevice = 0x0100;
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.iSerialNumber = 3;
    d.bNumConfigurations = 1;
    return d;
}

// One allocation holding a configuration descriptor and everything it points to.
struct ConfigHolder {
    libusb_config_descriptor config{};
    libusb_interface interfaces[4]{};
    libusb_interface_descriptor settings[4]{};
    libusb_endpoint_descriptor endpoints[4][3]{};
};

libusb_config_descriptor* makeConfig(const Probe& probe) {
    auto* h = new ConfigHolder;
    const Generation g = probe.generation();
    const std::uint16_t packet = maxPacket(probe);
    int count = 0;
    auto addInterface = [&](std::uint8_t cls, std::uint8_t sub, std::uint8_t protocol,
                            std::initializer_list<std::pair<std::uint8_t, std::uint8_t>> eps) {
        libusb_interface_descriptor& s = h->settings[count];
        s.bLength = LIBUSB_DT_INTERFACE_SIZE;
        s.bDescriptorType = LIBUSB_DT_INTERFACE;
        s.bInterfaceNumber = static_cast<std::uint8_t>(count);
        s.bInterfaceClass = cls;
        s.bInterfaceSubClass = sub;
        s.bInterfaceProtocol = protocol;
        int e = 0;
        for (const auto& [address, type] : eps) {
            libusb_endpoint_descriptor& ep = h->endpoints[count][e++];
            ep.bLength = LIBUSB_DT_ENDPOINT_SIZE;
            ep.bDescriptorType = LIBUSB_DT_ENDPOINT;
            ep.bEndpointAddress = address;
            ep.bmAttributes = type;
            ep.wMaxPacketSize = type == LIBUSB_TRANSFER_TYPE_INTERRUPT ? 16 : packet;
            ep.bInterval = type == LIBUSB_TRANSFER_TYPE_INTERRUPT ? 16 : 0;
        }
        s.bNumEndpoints = static_cast<std::uint8_t>(e);
        s.endpoint = h->endpoints[count];
        h->interfaces[count].altsetting = &s;
        h->interfaces[count].num_altsetting = 1;
        ++count;
    };
    constexpr std::uint8_t bulk = LIBUSB_TRANSFER_TYPE_BULK;
    constexpr std::uint8_t interrupt = LIBUSB_TRANSFER_TYPE_INTERRUPT;
    if (g == Generation::V2) {
        addInterface(0xFF, 0xFF, 0xFF, {{0x81, bulk}, {0x02, bulk}, {0x83, bulk}});
    } else {
        // Debug interface first, then mass storage (not on the no-MSD variants) and the
        // virtual serial port.
        addInterface(0xFF, 0xFF, 0xFF, {{0x81, bulk}, {0x01, bulk}, {0x82, bulk}});
        const std::uint16_t pid = probe.productId();
        if (pid != 0x3752 && pid != 0x3754)
            addInterface(LIBUSB_CLASS_MASS_STORAGE, 0x06, 0x50, {{0x83, bulk}, {0x03, bulk}});
        addInterface(LIBUSB_CLASS_COMM, 0x02, 0x01, {{0x84, interrupt}});
        addInterface(LIBUSB_CLASS_DATA, 0x00, 0x00, {{0x85, bulk}, {0x05, bulk}});
    }
    libusb_config_descriptor& c = h->config;
    c.bLength = LIBUSB_DT_CONFIG_SIZE;
    c.bDescriptorType = LIBUSB_DT_CONFIG;
    int total = LIBUSB_DT_CONFIG_SIZE;
    for (int i = 0; i < count; ++i)
        total += LIBUSB_DT_INTERFACE_SIZE + LIBUSB_DT_ENDPOINT_SIZE * h->settings[i].bNumEndpoints;
    c.wTotalLength = static_cast<std::uint16_t>(total);
    c.bNumInterfaces = static_cast<std::uint8_t>(count);
    c.bConfigurationValue = 1;
    c.bmAttributes = 0x80;
    c.MaxPower = 50; // 100 mA
    c.interface = h->interfaces;
    return &h->config;
}

libusb_transfer_status transferStatus(int result) {
    switch (result) {
    case 0:
        return LIBUSB_TRANSFER_COMPLETED;
    case LIBUSB_ERROR_TIMEOUT:
        return LIBUSB_TRANSFER_TIMED_OUT;
    case LIBUSB_ERROR_NO_DEVICE:
        return LIBUSB_TRANSFER_NO_DEVICE;
    case LIBUSB_ERROR_PIPE:
        return LIBUSB_TRANSFER_STALL;
    case LIBUSB_ERROR_OVERFLOW:
        return LIBUSB_TRANSFER_OVERFLOW;
    default:
        return LIBUSB_TRANSFER_ERROR;
    }
}

struct LibusbError {
    int code;
    const char* name;
    const char* text;
};

constexpr LibusbError kLibusbErrors[] = {
    {LIBUSB_SUCCESS, "LIBUSB_SUCCESS", "Success"},
    {LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO", "Input/output error"},
    {LIBUSB_ERROR_INVALID_PARAM, "LIBUSB_ERROR_INVALID_PARAM", "Invalid parameter"},
    {LIBUSB_ERROR_ACCESS, "LIBUSB_ERROR_ACCESS", "Access denied (insufficient permissions)"},
    {LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE",
     "No such device (it may have been disconnected)"},
    {LIBUSB_ERROR_NOT_FOUND, "LIBUSB_ERROR_NOT_FOUND", "Entity not found"},
    {LIBUSB_ERROR_BUSY, "LIBUSB_ERROR_BUSY", "Resource busy"},
    {LIBUSB_ERROR_TIMEOUT, "LIBUSB_ERROR_TIMEOUT", "Operation timed out"},
    {LIBUSB_ERROR_OVERFLOW, "LIBUSB_ERROR_OVERFLOW", "Overflow"},
    {LIBUSB_ERROR_PIPE, "LIBUSB_ERROR_PIPE", "Pipe error"},
    {LIBUSB_ERROR_INTERRUPTED, "LIBUSB_ERROR_INTERRUPTED",
     "System call interrupted (perhaps due to signal)"},
    {LIBUSB_ERROR_NO_MEM, "LIBUSB_ERROR_NO_MEM", "Insufficient memory"},
    {LIBUSB_ERROR_NOT_SUPPORTED, "LIBUSB_ERROR_NOT_SUPPORTED",
     "Operation not supported or unimplemented on this platform"},
    {LIBUSB_ERROR_OTHER, "LIBUSB_ERROR_OTHER", "Other error"},
};

const LibusbError& libusbError(int code) {
    static constexpr LibusbError kUnknown{0, "**UNKNOWN**", "Other error"};
    for (const LibusbError& error : kLibusbErrors)
        if (error.code == code)
            return error;
    return kUnknown;
}

// Runs submitted transfers in submission order, each to completion, calling its callback.
void runPendingTransfers(const int* completed) {
    Bus& b = bus();
    for (;;) {
        libusb_transfer* transfer = nullptr;
        bool cancelled = false;
        {
            std::lock_guard lock(b.queueMutex);
            if (b.pending.empty() || (completed != nullptr && *completed != 0))
                return;
            transfer = b.pending.front();
            b.pending.pop_front();
            const auto found = std::find(b.cancelled.begin(), b.cancelled.end(), transfer);
            cancelled = found != b.cancelled.end();
            if (cancelled)
                b.cancelled.erase(found);
        }
        int actual = 0;
        Probe* target = probeOf(transfer->dev_handle);
        if (cancelled) {
            transfer->status = LIBUSB_TRANSFER_CANCELLED;
        } else if (target == nullptr) {
            transfer->status = LIBUSB_TRANSFER_NO_DEVICE;
        } else {
            const int result = target->bulkTransfer(transfer->endpoint, transfer->buffer,
                                                    transfer->length, &actual, transfer->timeout);
            transfer->status = transferStatus(result);
        }
        transfer->actual_length = actual;
        const bool freeAfter = (transfer->flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0;
        if (transfer->callback != nullptr)
            transfer->callback(transfer);
        if (freeAfter)
            libusb_free_transfer(transfer);
    }
}

int handleEvents(const timeval* tv, int* completed) {
    Bus& b = bus();
    bool idle = false;
    {
        std::lock_guard lock(b.queueMutex);
        idle = b.pending.empty();
    }
    if (idle) {
        // Nothing in flight: a real event loop would block up to the timeout. Wait a little
        // so that a caller's polling loop does not spin.
        long micros = 1000;
        if (tv != nullptr)
            micros = std::min<long>(micros, tv->tv_sec * 1'000'000L + tv->tv_usec);
        std::this_thread::sleep_for(std::chrono::microseconds(std::max(0L, micros)));
        return 0;
    }
    runPendingTransfers(completed);
    return 0;
}

} // namespace

extern "C" {

// --- library and contexts ---

int libusb_init(libusb_context** ctx) {
    if (!busReady())
        return LIBUSB_ERROR_OTHER;
    if (ctx != nullptr) {
        *ctx = new libusb_context;
    } else {
        std::lock_guard lock(bus().mutex);
        ++bus().defaultContextUsers;
    }
    return 0;
}

void libusb_exit(libusb_context* ctx) {
    if (ctx != nullptr) {
        delete ctx;
        return;
    }
    std::lock_guard lock(bus().mutex);
    bus().defaultContextUsers = std::max(0, bus().defaultContextUsers - 1);
}

void libusb_set_debug(libusb_context*, int) {}
void libusb_set_log_cb(libusb_context*, libusb_log_cb, int) {}
int libusb_set_option(libusb_context*, enum libusb_option, ...) {
    return 0;
}
int libusb_setlocale(const char*) {
    return 0;
}

const struct libusb_version* libusb_get_version(void) {
    static const libusb_version version{1, 0, 26, 0, "", "emulated ST-LINK (kaliwire)"};
    return &version;
}

int libusb_has_capability(uint32_t capability) {
    return capability == LIBUSB_CAP_HAS_CAPABILITY ||
                   capability == LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER
               ? 1
               : 0;
}

const char* libusb_error_name(int code) {
    return libusbError(code).name;
}

const char* libusb_strerror(int code) {
    return libusbError(code).text;
}

// --- devices and descriptors ---

ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
    if (list == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    Bus& b = probes();
    *list = new libusb_device* [b.probes.size() + 1] {};
    ssize_t count = 0;
    for (std::size_t i = 0; i < b.probes.size(); ++i)
        if (b.probes[i]->present())
            (*list)[count++] = libusb_ref_device(&b.devices[i]);
    return count;
}

void libusb_free_device_list(libusb_device** list, int unrefDevices) {
    if (list == nullptr)
        return;
    if (unrefDevices != 0)
        for (libusb_device** d = list; *d != nullptr; ++d)
            libusb_unref_device(*d);
    delete[] list;
}

libusb_device* libusb_ref_device(libusb_device* dev) {
    if (dev != nullptr)
        ++dev->references;
    return dev;
}

void libusb_unref_device(libusb_device* dev) {
    if (dev != nullptr)
        --dev->references;
}

int libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
    if (desc == nullptr || probeOf(dev) == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    *desc = deviceDescriptor(*probeOf(dev));
    return 0;
}

int libusb_get_active_config_descriptor(libusb_device* dev,
                                        struct libusb_config_descriptor** config) {
    if (config == nullptr || probeOf(dev) == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    *config = makeConfig(*probeOf(dev));
    return 0;
}

int libusb_get_config_descriptor(libusb_device* dev, uint8_t index,
                                 struct libusb_config_descriptor** config) {
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    return libusb_get_active_config_descriptor(dev, config);
}

int libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t value,
                                          struct libusb_config_descriptor** config) {
    if (value != 1)
        return LIBUSB_ERROR_NOT_FOUND;
    return libusb_get_active_config_descriptor(dev, config);
}

void libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    delete reinterpret_cast<ConfigHolder*>(config); // the descriptor is the holder's first member
}

int libusb_get_ss_endpoint_companion_descriptor(libusb_context*,
                                                const struct libusb_endpoint_descriptor*,
                                                struct libusb_ss_endpoint_companion_descriptor**) {
    return LIBUSB_ERROR_NOT_FOUND;
}
void libusb_free_ss_endpoint_companion_descriptor(struct libusb_ss_endpoint_companion_descriptor*) {
}
int libusb_get_bos_descriptor(libusb_device_handle*, struct libusb_bos_descriptor**) {
    return LIBUSB_ERROR_PIPE; // a USB 2.0 device has none
}
void libusb_free_bos_descriptor(struct libusb_bos_descriptor*) {}
int libusb_get_usb_2_0_extension_descriptor(libusb_context*,
                                            struct libusb_bos_dev_capability_descriptor*,
                                            struct libusb_usb_2_0_extension_descriptor**) {
    return LIBUSB_ERROR_INVALID_PARAM;
}
void libusb_free_usb_2_0_extension_descriptor(struct libusb_usb_2_0_extension_descriptor*) {}
int libusb_get_ss_usb_device_capability_descriptor(
    libusb_context*, struct libusb_bos_dev_capability_descriptor*,
    struct libusb_ss_usb_device_capability_descriptor**) {
    return LIBUSB_ERROR_INVALID_PARAM;
}
void libusb_free_ss_usb_device_capability_descriptor(
    struct libusb_ss_usb_device_capability_descriptor*) {}
int libusb_get_container_id_descriptor(libusb_context*,
                                       struct libusb_bos_dev_capability_descriptor*,
                                       struct libusb_container_id_descriptor**) {
    return LIBUSB_ERROR_INVALID_PARAM;
}
void libusb_free_container_id_descriptor(struct libusb_container_id_descriptor*) {}

uint8_t libusb_get_bus_number(libusb_device* dev) {
    return probeOf(dev) != nullptr ? bus().attachments[dev->index].busNumber : 0;
}
uint8_t libusb_get_port_number(libusb_device* dev) {
    return probeOf(dev) != nullptr ? bus().attachments[dev->index].ports.back() : 0;
}
uint8_t libusb_get_device_address(libusb_device* dev) {
    return probeOf(dev) != nullptr ? static_cast<uint8_t>(7 + dev->index) : 0;
}

int libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int length) {
    if (probeOf(dev) == nullptr || ports == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    const std::vector<std::uint8_t>& path = bus().attachments[dev->index].ports;
    if (length < static_cast<int>(path.size()))
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(path.begin(), path.end(), ports);
    return static_cast<int>(path.size());
}

int libusb_get_port_path(libusb_context*, libusb_device* dev, uint8_t* path, uint8_t length) {
    return libusb_get_port_numbers(dev, path, length);
}

libusb_device* libusb_get_parent(libusb_device*) {
    return nullptr;
}

int libusb_get_device_speed(libusb_device* dev) {
    const Probe* p = probeOf(dev);
    if (p == nullptr)
        return LIBUSB_SPEED_UNKNOWN;
    return p->generation() == Generation::V3 ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL;
}

int libusb_get_max_packet_size(libusb_device* dev, unsigned char) {
    const Probe* p = probeOf(dev);
    return p != nullptr ? int{maxPacket(*p)} : int{LIBUSB_ERROR_NO_DEVICE};
}
int libusb_get_max_iso_packet_size(libusb_device*, unsigned char) {
    return LIBUSB_ERROR_NOT_FOUND;
}

// --- handles ---

int libusb_wrap_sys_device(libusb_context*, intptr_t, libusb_device_handle**) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int libusb_open(libusb_device* dev, libusb_device_handle** handle) {
    if (dev == nullptr || handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (probeOf(dev) == nullptr)
        return LIBUSB_ERROR_NO_DEVICE;
    const int result = probeOf(dev)->open();
    if (result != 0)
        return result;
    *handle = new libusb_device_handle{libusb_ref_device(dev)};
    return 0;
}

libusb_device_handle* libusb_open_device_with_vid_pid(libusb_context*, uint16_t vendor,
                                                      uint16_t product) {
    Bus& b = probes();
    for (std::size_t i = 0; i < b.probes.size(); ++i) {
        const Probe& p = *b.probes[i];
        if (!p.present() || vendor != p.vendorId() || product != p.productId())
            continue;
        libusb_device_handle* handle = nullptr;
        return libusb_open(&b.devices[i], &handle) == 0 ? handle : nullptr;
    }
    return nullptr;
}

void libusb_close(libusb_device_handle* handle) {
    if (handle == nullptr)
        return;
    if (Probe* p = probeOf(handle))
        p->close();
    libusb_unref_device(handle->device);
    delete handle;
}

libusb_device* libusb_get_device(libusb_device_handle* handle) {
    return handle != nullptr ? handle->device : nullptr;
}

int libusb_get_configuration(libusb_device_handle* handle, int* config) {
    if (!probePresent(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    *config = 1;
    return 0;
}

int libusb_set_configuration(libusb_device_handle* handle, int configuration) {
    if (!probePresent(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    return configuration == 1 || configuration == -1 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int libusb_claim_interface(libusb_device_handle* handle, int number) {
    Probe* p = probeOf(handle);
    return p != nullptr ? p->claimInterface(number) : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_release_interface(libusb_device_handle* handle, int number) {
    Probe* p = probeOf(handle);
    return p != nullptr ? p->releaseInterface(number) : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_set_interface_alt_setting(libusb_device_handle* handle, int, int alternate) {
    if (!probePresent(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    return alternate == 0 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int libusb_clear_halt(libusb_device_handle* handle, unsigned char) {
    return probePresent(handle) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_reset_device(libusb_device_handle* handle) {
    Probe* p = probeOf(handle);
    return p != nullptr ? p->resetDevice() : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_kernel_driver_active(libusb_device_handle* handle, int number) {
    if (!probePresent(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    return number == 0 ? 0 : 1; // mass storage and serial port belong to the kernel
}

int libusb_detach_kernel_driver(libusb_device_handle* handle, int number) {
    const int active = libusb_kernel_driver_active(handle, number);
    return active < 0 ? active : active == 0 ? LIBUSB_ERROR_NOT_FOUND : 0;
}

int libusb_attach_kernel_driver(libusb_device_handle* handle, int) {
    return probePresent(handle) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) {
    return 0;
}

int libusb_alloc_streams(libusb_device_handle*, uint32_t, unsigned char*, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int libusb_free_streams(libusb_device_handle*, unsigned char*, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
unsigned char* libusb_dev_mem_alloc(libusb_device_handle*, size_t) {
    return nullptr;
}
int libusb_dev_mem_free(libusb_device_handle*, unsigned char*, size_t) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

// --- synchronous transfers ---

int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                         int length, int* transferred, unsigned int timeout) {
    if (handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    Probe* p = probeOf(handle);
    if (p == nullptr)
        return LIBUSB_ERROR_NO_DEVICE;
    return p->bulkTransfer(endpoint, data, length, transferred, timeout);
}

int libusb_interrupt_transfer(libusb_device_handle* handle, unsigned char endpoint,
                              unsigned char* data, int length, int* transferred,
                              unsigned int timeout) {
    return libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
}

int libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                            uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                            unsigned int) {
    if (!probePresent(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    // Only the standard GET_DESCRIPTOR request; everything else stalls.
    if (requestType != LIBUSB_ENDPOINT_IN || request != LIBUSB_REQUEST_GET_DESCRIPTOR)
        return LIBUSB_ERROR_PIPE;
    unsigned char buffer[256]{};
    int size = 0;
    const auto type = static_cast<std::uint8_t>(value >> 8);
    const auto number = static_cast<std::uint8_t>(value);
    if (type == LIBUSB_DT_DEVICE) {
        const libusb_device_descriptor d = deviceDescriptor(*probeOf(handle));
        const unsigned char bytes[18]{d.bLength,
                                      d.bDescriptorType,
                                      static_cast<unsigned char>(d.bcdUSB),
                                      static_cast<unsigned char>(d.bcdUSB >> 8),
                                      d.bDeviceClass,
                                      d.bDeviceSubClass,
                                      d.bDeviceProtocol,
                                      d.bMaxPacketSize0,
                                      static_cast<unsigned char>(d.idVendor),
                                      static_cast<unsigned char>(d.idVendor >> 8),
                                      static_cast<unsigned char>(d.idProduct),
                                      static_cast<unsigned char>(d.idProduct >> 8),
                                      static_cast<unsigned char>(d.bcdDevice),
                                      static_cast<unsigned char>(d.bcdDevice >> 8),
                                      d.iManufacturer,
                                      d.iProduct,
                                      d.iSerialNumber,
                                      d.bNumConfigurations};
        std::memcpy(buffer, bytes, sizeof bytes);
        size = sizeof bytes;
    } else if (type == LIBUSB_DT_STRING && number == 0) {
        const unsigned char languages[4]{4, LIBUSB_DT_STRING, 0x09, 0x04}; // US English
        std::memcpy(buffer, languages, sizeof languages);
        size = sizeof languages;
    } else if (type == LIBUSB_DT_STRING && stringDescriptor(handle->device, number) != nullptr &&
               index == 0x0409) {
        const char* text = stringDescriptor(handle->device, number);
        size = 2;
        for (const char* c = text; *c != '\0' && size + 2 <= 254; ++c) {
            buffer[size++] = static_cast<unsigned char>(*c);
            buffer[size++] = 0;
        }
        buffer[0] = static_cast<unsigned char>(size);
        buffer[1] = LIBUSB_DT_STRING;
    } else {
        return LIBUSB_ERROR_PIPE;
    }
    size = std::min<int>(size, length);
    if (data != nullptr)
        std::memcpy(data, buffer, static_cast<std::size_t>(size));
    return size;
}

int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                       unsigned char* data, int length) {
    if (!probePresent(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    const char* text = stringDescriptor(handle->device, index);
    if (text == nullptr)
        return LIBUSB_ERROR_PIPE;
    if (length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    const int size = std::min<int>(static_cast<int>(std::strlen(text)), length - 1);
    std::memcpy(data, text, static_cast<std::size_t>(size));
    data[size] = 0;
    return size;
}

// --- asynchronous transfers and events ---

struct libusb_transfer* libusb_alloc_transfer(int isoPackets) {
    if (isoPackets < 0)
        return nullptr;
    const std::size_t size = sizeof(libusb_transfer) + sizeof(libusb_iso_packet_descriptor) *
                                                           static_cast<std::size_t>(isoPackets);
    auto* transfer = static_cast<libusb_transfer*>(std::calloc(1, size));
    if (transfer != nullptr)
        transfer->num_iso_packets = isoPackets;
    return transfer;
}

void libusb_free_transfer(struct libusb_transfer* transfer) {
    if (transfer == nullptr)
        return;
    if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0)
        std::free(transfer->buffer);
    std::free(transfer);
}

int libusb_submit_transfer(struct libusb_transfer* transfer) {
    if (transfer == nullptr || transfer->dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK &&
        transfer->type != LIBUSB_TRANSFER_TYPE_INTERRUPT)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    if (!probePresent(transfer->dev_handle))
        return LIBUSB_ERROR_NO_DEVICE;
    Bus& b = bus();
    std::lock_guard lock(b.queueMutex);
    if (std::find(b.pending.begin(), b.pending.end(), transfer) != b.pending.end())
        return LIBUSB_ERROR_BUSY;
    b.pending.push_back(transfer);
    return 0;
}

int libusb_cancel_transfer(struct libusb_transfer* transfer) {
    Bus& b = bus();
    std::lock_guard lock(b.queueMutex);
    if (std::find(b.pending.begin(), b.pending.end(), transfer) == b.pending.end())
        return LIBUSB_ERROR_NOT_FOUND;
    if (std::find(b.cancelled.begin(), b.cancelled.end(), transfer) == b.cancelled.end())
        b.cancelled.push_back(transfer);
    return 0;
}

void libusb_transfer_set_stream_id(struct libusb_transfer*, uint32_t) {}
uint32_t libusb_transfer_get_stream_id(struct libusb_transfer*) {
    return 0;
}

int libusb_handle_events_timeout_completed(libusb_context*, struct timeval* tv, int* completed) {
    return handleEvents(tv, completed);
}
int libusb_handle_events_timeout(libusb_context*, struct timeval* tv) {
    return handleEvents(tv, nullptr);
}
int libusb_handle_events(libusb_context*) {
    return handleEvents(nullptr, nullptr);
}
int libusb_handle_events_completed(libusb_context*, int* completed) {
    return handleEvents(nullptr, completed);
}
int libusb_handle_events_locked(libusb_context*, struct timeval* tv) {
    return handleEvents(tv, nullptr);
}

int libusb_try_lock_events(libusb_context*) {
    return 0;
}
void libusb_lock_events(libusb_context*) {}
void libusb_unlock_events(libusb_context*) {}
int libusb_event_handling_ok(libusb_context*) {
    return 1;
}
int libusb_event_handler_active(libusb_context*) {
    return 0;
}
void libusb_interrupt_event_handler(libusb_context*) {}
void libusb_lock_event_waiters(libusb_context*) {}
void libusb_unlock_event_waiters(libusb_context*) {}
int libusb_wait_for_event(libusb_context*, struct timeval* tv) {
    return handleEvents(tv, nullptr);
}
int libusb_pollfds_handle_timeouts(libusb_context*) {
    return 1;
}

int libusb_get_next_timeout(libusb_context*, struct timeval* tv) {
    if (tv != nullptr)
        *tv = timeval{};
    return 0;
}

const struct libusb_pollfd** libusb_get_pollfds(libusb_context*) {
    return static_cast<const libusb_pollfd**>(
        std::calloc(1, sizeof(void*)) /* just the terminating null */);
}
void libusb_free_pollfds(const struct libusb_pollfd** pollfds) {
    std::free(const_cast<libusb_pollfd**>(pollfds));
}
void libusb_set_pollfd_notifiers(libusb_context*, libusb_pollfd_added_cb, libusb_pollfd_removed_cb,
                                 void*) {}

int libusb_hotplug_register_callback(libusb_context*, int, int, int, int, int,
                                     libusb_hotplug_callback_fn, void*,
                                     libusb_hotplug_callback_handle*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
void libusb_hotplug_deregister_callback(libusb_context*, libusb_hotplug_callback_handle) {}
void* libusb_hotplug_get_user_data(libusb_context*, libusb_hotplug_callback_handle) {
    return nullptr;
}

} // extern "C"
