// The stand-in libusb-1.0.so.0, linked as a program links the real one.
#include <libusb.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A composite V2-1 probe, chip in memory, no waiting. The first libusb_init of the process
// reads these.
libusb_context* start() {
    ::setenv("KW_EMU_MEMORY", "", 1);
    ::setenv("KW_EMU_PRODUCT", "0x374B", 1);
    ::setenv("KW_EMU_TIME_SCALE", "0", 1);
    libusb_context* context = nullptr;
    EXPECT_EQ(libusb_init(&context), 0);
    return context;
}

libusb_device_handle* openProbe(libusb_context* context) {
    libusb_device** list = nullptr;
    EXPECT_EQ(libusb_get_device_list(context, &list), 1);
    libusb_device_handle* handle = nullptr;
    EXPECT_EQ(libusb_open(list[0], &handle), 0);
    libusb_free_device_list(list, 1);
    return handle;
}

TEST(StandInLibusb, ListsOneProbeWhoseDebugInterfaceComesFirst) {
    libusb_context* context = start();
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(context, &list), 1);
    libusb_device_descriptor device{};
    ASSERT_EQ(libusb_get_device_descriptor(list[0], &device), 0);
    EXPECT_EQ(device.idVendor, 0x0483);
    EXPECT_EQ(device.idProduct, 0x374B);
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(list[0], &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 4);
    const libusb_interface_descriptor& debug = config->interface[0].altsetting[0];
    ASSERT_EQ(debug.bNumEndpoints, 3);
    EXPECT_EQ(debug.endpoint[0].bEndpointAddress, 0x81);
    EXPECT_EQ(debug.endpoint[1].bEndpointAddress, 0x01);
    libusb_free_config_descriptor(config);

    libusb_device_handle* handle = nullptr;
    ASSERT_EQ(libusb_open(list[0], &handle), 0);
    libusb_free_device_list(list, 1);
    unsigned char serial[64]{};
    EXPECT_EQ(
        libusb_get_string_descriptor_ascii(handle, device.iSerialNumber, serial, sizeof serial),
        24);
    EXPECT_EQ(libusb_claim_interface(handle, 0), 0);
    EXPECT_EQ(libusb_claim_interface(handle, 1), LIBUSB_ERROR_BUSY)
        << "mass storage is the kernel's";
    EXPECT_EQ(libusb_release_interface(handle, 0), 0);
    libusb_close(handle);
    libusb_exit(context);
}

struct Completion {
    std::vector<int>* order = nullptr;
    int id = 0;
    int done = 0;
};

void LIBUSB_CALL completed(libusb_transfer* transfer) {
    auto* completion = static_cast<Completion*>(transfer->user_data);
    completion->order->push_back(completion->id);
    completion->done = 1;
}

TEST(StandInLibusb, SynchronousAndAsynchronousTransfersReachTheProbe) {
    libusb_context* context = start();
    libusb_device_handle* handle = openProbe(context);
    ASSERT_EQ(libusb_claim_interface(handle, 0), 0);

    unsigned char frame[16]{0xF1};
    int done = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x01, frame, 16, &done, 100), 0);
    unsigned char version[6]{};
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, version, 6, &done, 100), 0);
    EXPECT_EQ(done, 6);
    EXPECT_EQ(version[4] | version[5] << 8, 0x374B);

    // OpenOCD's pattern: command and answer submitted together, then events handled.
    std::vector<int> order;
    Completion out{&order, 1}, in{&order, 2};
    unsigned char mode[16]{0xF5}, answer[2]{0xEE, 0xEE};
    libusb_transfer* send = libusb_alloc_transfer(0);
    libusb_transfer* receive = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(send, handle, 0x01, mode, 16, completed, &out, 100);
    libusb_fill_bulk_transfer(receive, handle, 0x81, answer, 2, completed, &in, 100);
    ASSERT_EQ(libusb_submit_transfer(send), 0);
    ASSERT_EQ(libusb_submit_transfer(receive), 0);
    while (in.done == 0)
        ASSERT_EQ(libusb_handle_events_completed(context, &in.done), 0);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(receive->status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(receive->actual_length, 2);
    EXPECT_EQ(answer[0], 0x00) << "DFU mode after power-up";

    in.done = 0;
    ASSERT_EQ(libusb_submit_transfer(receive), 0);
    EXPECT_EQ(libusb_cancel_transfer(receive), 0);
    while (in.done == 0)
        ASSERT_EQ(libusb_handle_events_completed(context, &in.done), 0);
    EXPECT_EQ(receive->status, LIBUSB_TRANSFER_CANCELLED);
    EXPECT_EQ(libusb_cancel_transfer(receive), LIBUSB_ERROR_NOT_FOUND);
    libusb_free_transfer(send);
    libusb_free_transfer(receive);

    EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_NO_DEVICE), "LIBUSB_ERROR_NO_DEVICE");
    libusb_close(handle);
    libusb_exit(context);
}

} // namespace
