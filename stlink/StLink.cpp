#include "stlink/StLink.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>

#include "stlink/Log.h"
#include "stlink/Results.h"

namespace kw::stlink {

namespace {

constexpr ProbeModel kModels[] = {
    {0x3748, "ST-LINK/V2", 0x02, 0x81},   {0x374B, "ST-LINK/V2-1", 0x01, 0x81},
    {0x3752, "ST-LINK/V2-1", 0x01, 0x81}, {0x374E, "STLINK-V3", 0x01, 0x81},
    {0x374F, "STLINK-V3", 0x01, 0x81},    {0x3753, "STLINK-V3", 0x01, 0x81},
    {0x3754, "STLINK-V3", 0x01, 0x81},
};

constexpr std::uint8_t kGetVersion = 0xF1;
constexpr std::uint8_t kDebugCommand = 0xF2;
constexpr std::uint8_t kDfuCommand = 0xF3;
constexpr std::uint8_t kSwimCommand = 0xF4;
constexpr std::uint8_t kGetMode = 0xF5;
constexpr std::uint8_t kGetVersionV3 = 0xFB;

constexpr std::uint8_t kDebugExit = 0x21;
constexpr std::uint8_t kDfuExit = 0x07;

constexpr std::uint8_t kModeDfu = 0;
constexpr std::uint8_t kModeDebug = 2;
constexpr std::uint8_t kModeSwim = 3;

enum SwimCommand : std::uint8_t {
    kSwimEnter = 0x00,
    kSwimExit = 0x01,
    kSwimSpeed = 0x03,
    kSwimEntrySequence = 0x04,
    kSwimSystemReset = 0x05,
    kSwimResync = 0x06,
    kSwimAssertReset = 0x07,
    kSwimReleaseReset = 0x08,
    kSwimStatus = 0x09,
    kSwimWrite = 0x0A,
    kSwimRead = 0x0B,
    kSwimReadBuffer = 0x0C,
    kSwimBufferSize = 0x0D,
};

constexpr std::uint8_t kStatusOk = 0x00;
constexpr std::uint8_t kStatusBusy = 0x01;
constexpr std::uint8_t kStatusNoAnswer = 0x04;
constexpr std::uint8_t kStatusNotReady = 0x05;

constexpr std::uint8_t kTargetVoltage = 0xF7;

// Data bytes a write-memory frame carries after its 8-byte header.
constexpr int kFrameDataBytes = 8;

// SWIM bit times: 800 kbit/s at high speed, 363 kbit/s at low speed. A byte takes 11 bit
// times; each read or write command on the wire carries at most 255 bytes behind a header of
// about 50 bit times.
constexpr double kHighSpeedBitUs = 1.25;
constexpr double kLowSpeedBitUs = 2.75;
constexpr int kBitsPerByte = 11;
constexpr int kHeaderBits = 50;
constexpr int kBytesPerWireCommand = 255;

// A command may report busy without progress this long beyond twice its time on the wire,
// plus a few round trips of a slow USB; the entry sequence alone takes about 10 ms.
constexpr auto kBusyAllowance = std::chrono::milliseconds(40);
constexpr int kBusyRoundTrips = 4;
// Polls closer than this only load the USB.
constexpr auto kPollInterval = std::chrono::microseconds(100);
// One USB transfer may take this long, or this many measured round trips on a slow link.
constexpr unsigned kUsbTimeoutMs = 100;
constexpr int kUsbTimeoutRoundTrips = 8;

// Each unanswered access at high speed adds this, each clean memory access takes one off; at the
// limit the link should go slower. Errors on one access in five or fewer stay below it.
constexpr int kTroublePerError = 4;
constexpr int kTroubleLimit = 12;

void putBig16(std::uint8_t* at, int value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

void putBig32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

} // namespace

const ProbeModel* probeModel(std::uint16_t vendorId, std::uint16_t productId) noexcept {
    if (vendorId != kStVendorId)
        return nullptr;
    for (const ProbeModel& model : kModels)
        if (model.productId == productId)
            return &model;
    return nullptr;
}

StLink::StLink(std::unique_ptr<UsbLink> link)
    : link_(std::move(link)), model_(probeModel(link_->vendorId(), link_->productId())),
      usbTimeoutMs_(kUsbTimeoutMs) {
    if (model_ == nullptr)
        throw Failure(Reason::NoProbe);
}

namespace {

void traceBytes(const char* direction, const std::uint8_t* data, int length, int result) {
    if (logLevel() < 2)
        return;
    char text[3 * 16 + 1] = {};
    const int shown = std::min(length, 16);
    for (int i = 0; i < shown; ++i)
        std::snprintf(text + 3 * i, 4, " %02X", data[i]);
    logLine(2, "%s%s%s (%d bytes)%s%s", direction, text, length > shown ? " ..." : "", length,
            result == kUsbSuccess ? "" : " USB error ",
            result == kUsbSuccess ? "" : std::to_string(result).c_str());
}

} // namespace

void StLink::send(const Frame& frame) {
    sendData(frame, sizeof frame);
}

void StLink::sendData(const std::uint8_t* data, int length) {
    int moved = 0;
    // libusb only reads an OUT transfer's buffer.
    const int result = link_->bulkTransfer(model_->outEndpoint, const_cast<std::uint8_t*>(data),
                                           length, &moved, usbTimeoutMs_);
    traceBytes(">", data, length, result);
    if (result != kUsbSuccess || moved != length)
        throw Failure(Reason::ProbeLost);
}

void StLink::receive(std::uint8_t* data, int length) {
    int moved = 0;
    const int result = link_->bulkTransfer(model_->inEndpoint, data, length, &moved, usbTimeoutMs_);
    traceBytes("<", data, moved, result);
    if (result != kUsbSuccess || moved != length)
        throw Failure(Reason::ProbeLost);
}

void StLink::measured(std::chrono::steady_clock::time_point sent) {
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - sent);
    roundTrip_ = roundTrip_.count() == 0 ? took : std::min(roundTrip_, took);
    const auto scaled = roundTrip_.count() * kUsbTimeoutRoundTrips / 1000;
    usbTimeoutMs_ = std::max<unsigned>(kUsbTimeoutMs, static_cast<unsigned>(scaled));
}

FirmwareVersion StLink::readVersion() {
    try {
        return queryVersion();
    } catch (const Failure&) {
    }
    logLine(1, "the probe does not answer the version query: resetting it and trying again");
    const int reset = link_->resetDevice();
    if (reset != kUsbSuccess) {
        logLine(1, "the USB reset failed (libusb %d)", reset);
        throw Failure(Reason::ProbeLost);
    }
    return queryVersion();
}

FirmwareVersion StLink::queryVersion() {
    std::uint8_t reply[12] = {};
    const auto sent = std::chrono::steady_clock::now();
    send({kGetVersion});
    receive(reply, 6);
    measured(sent);
    const int word = reply[0] << 8 | reply[1];
    const int high = word >> 6 & 0x3F;
    const int low = word & 0x3F;
    FirmwareVersion version{word >> 12 & 0x0F, high, low};
    // V2-1 firmware reuses the two fields: STM8 builds report mass storage and SWIM
    // ("MxSy"), STM32 builds JTAG and mass storage ("JxMy") and have no SWIM. The known STM8
    // builds are M up to 22 with S7, and M from 25 with S7 to S12.
    if (model_->productId == 0x374B || model_->productId == 0x3752) {
        const bool stm8Build = (high <= 22 && low == 7) || (high >= 25 && low >= 7 && low <= 12);
        version.jtag = stm8Build ? 0 : high;
        version.swim = stm8Build ? low : 0;
    }
    // V3 reports its versions only through the extended command.
    if (version.stlink >= 3) {
        send({kGetVersionV3});
        receive(reply, 12);
        version = {reply[0], reply[2], reply[1]};
    }
    return version;
}

std::optional<double> StLink::targetVolts() {
    std::uint8_t reply[8] = {};
    send({kTargetVoltage});
    receive(reply, sizeof reply);
    const auto word = [&reply](int at) {
        return static_cast<std::uint32_t>(reply[at] | reply[at + 1] << 8 | reply[at + 2] << 16 |
                                          reply[at + 3] << 24);
    };
    if (word(0) == 0)
        return std::nullopt;
    return 2.0 * word(4) * 1.2 / word(0);
}

void StLink::enterSwim() {
    std::uint8_t mode[2] = {};
    send({kGetMode});
    receive(mode, 2);
    if (mode[0] == kModeDfu)
        send({kDfuCommand, kDfuExit});
    else if (mode[0] == kModeDebug)
        send({kDebugCommand, kDebugExit});
    else if (mode[0] == kModeSwim)
        send({kSwimCommand, kSwimExit});
    send({kSwimCommand, kSwimEnter});
    highSpeed_ = false;
}

void StLink::exitSwim() {
    send({kSwimCommand, kSwimExit});
}

int StLink::readBufferSize() {
    std::uint8_t reply[2] = {};
    const auto sent = std::chrono::steady_clock::now();
    send({kSwimCommand, kSwimBufferSize});
    receive(reply, 2);
    measured(sent);
    return reply[0] | reply[1] << 8;
}

void StLink::swimCommand(std::uint8_t command, int argument) {
    Frame frame = {kSwimCommand, command};
    if (argument >= 0)
        frame[2] = static_cast<std::uint8_t>(argument);
    send(frame);
    awaitSwim(0);
}

void StLink::setHighSpeed(bool high) {
    swimCommand(kSwimSpeed, high ? 1 : 0);
    highSpeed_ = high;
    trouble_ = 0;
}

void StLink::assertReset() {
    swimCommand(kSwimAssertReset);
}
void StLink::releaseReset() {
    swimCommand(kSwimReleaseReset);
}
void StLink::entrySequence() {
    swimCommand(kSwimEntrySequence);
    highSpeed_ = false; // the chip's SWIM starts at low speed
}
void StLink::resync() {
    swimCommand(kSwimResync);
}
void StLink::systemReset() {
    swimCommand(kSwimSystemReset);
}

// A memory access is repeated once after an error that clones and long wires make now and
// then; at high speed a second error, or errors that keep coming, ask for low speed.
template <class Access> void StLink::retried(const Access& access) {
    std::uint8_t status = kStatusOk;
    try {
        access();
        trouble_ = std::max(trouble_ - 1, 0);
        return;
    } catch (const SwimError& error) {
        status = error.status();
        if (status != kStatusNoAnswer && status != kStatusNotReady)
            throw;
        logLine(1, "SWIM status 0x%02X at %s speed: resynchronising and retrying", error.status(),
                highSpeed_ ? "high" : "low");
    }
    try {
        resync();
        access();
    } catch (const SwimError&) {
        if (highSpeed_)
            throw SpeedTrouble();
        throw;
    }
    ++recovered_;
    // No answer is what a marginal wire gives; a chip that was not ready says nothing about
    // the speed.
    if (highSpeed_ && status == kStatusNoAnswer)
        trouble_ += kTroublePerError;
}

bool StLink::wantsLowSpeed() const noexcept {
    return highSpeed_ && trouble_ >= kTroubleLimit;
}

void StLink::writeMemory(std::uint32_t address, const std::uint8_t* data, int length,
                         Reason tooLong) {
    Frame frame = {kSwimCommand, kSwimWrite};
    putBig16(frame + 2, length);
    putBig32(frame + 4, address);
    const int inFrame = std::min(length, kFrameDataBytes);
    std::copy_n(data, inFrame, frame + 8);
    retried([&] {
        send(frame);
        if (length > inFrame)
            sendData(data + inFrame, length - inFrame);
        landed_ = std::chrono::steady_clock::now() + wireTime(length);
        awaitSwim(length, tooLong);
        landed_ = std::min(landed_, std::chrono::steady_clock::now());
    });
}

void StLink::readMemory(std::uint32_t address, std::uint8_t* data, int length, Reason tooLong) {
    Frame frame = {kSwimCommand, kSwimRead};
    putBig16(frame + 2, length);
    putBig32(frame + 4, address);
    retried([&] {
        send(frame);
        awaitSwim(length, tooLong);
    });
    send({kSwimCommand, kSwimReadBuffer});
    receive(data, length);
}

std::chrono::microseconds StLink::wireTime(int payload) const {
    const double bitUs = highSpeed_ ? kHighSpeedBitUs : kLowSpeedBitUs;
    const int commands = (payload + kBytesPerWireCommand - 1) / kBytesPerWireCommand;
    const int bits = kHeaderBits * std::max(commands, 1) + kBitsPerByte * payload;
    return std::chrono::microseconds(static_cast<long>(bits * bitUs));
}

void StLink::awaitSwim(int payload, Reason tooLong) {
    using Clock = std::chrono::steady_clock;
    // The probe is certainly busy until the bytes are off the wire: a poll that reaches it
    // before that only costs a USB round trip. The poll is sent one transfer early, so that it
    // arrives as they are.
    const auto done = Clock::now() + wireTime(payload);
    const auto patience = kBusyAllowance + kBusyRoundTrips * roundTrip_;
    auto deadline = done + wireTime(payload) + patience;
    const auto firstPoll = done - oneTransfer();
    if (firstPoll - Clock::now() > kPollInterval)
        std::this_thread::sleep_until(firstPoll);
    int progress = -1;
    for (;;) {
        std::uint8_t status[4] = {};
        send({kSwimCommand, kSwimStatus});
        receive(status, sizeof status);
        if (status[0] == kStatusOk)
            return;
        if (status[0] != kStatusBusy)
            throw SwimError(status[0]);
        // A busy probe counts the bytes it has moved in bytes 1-2: while they change, a slow
        // transfer is still a working one.
        const int now = status[1] << 8 | status[2];
        if (now != progress) {
            if (progress >= 0)
                deadline = std::max(deadline, Clock::now() + patience);
            progress = now;
        } else if (Clock::now() > deadline) {
            throw Failure(tooLong);
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

} // namespace kw::stlink
