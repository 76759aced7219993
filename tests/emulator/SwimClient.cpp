#include "SwimClient.h"

#include <libusb.h>

#include <algorithm>

namespace {
constexpr unsigned char kOut = 0x02, kIn = 0x81; // ST-LINK/V2
constexpr unsigned kTimeoutMs = 100;
} // namespace

kw::emu::Options SwimClient::instant() {
    kw::emu::Options options;
    options.timeScale = 0;
    return options;
}

SwimClient::SwimClient(kw::emu::Options options) : probe(std::move(options)) {}

int SwimClient::sendRaw(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> copy = bytes;
    int done = 0;
    const unsigned char out = probe.productId() == 0x3748 ? kOut : 0x01;
    return probe.bulkTransfer(out, copy.data(), static_cast<int>(copy.size()), &done, kTimeoutMs);
}

int SwimClient::send(std::initializer_list<std::uint8_t> bytes) {
    std::vector<std::uint8_t> frame(bytes);
    frame.resize(16);
    return sendRaw(frame);
}

std::vector<std::uint8_t> SwimClient::receive(int length, int* result) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    int done = 0;
    const int r = probe.bulkTransfer(kIn, bytes.data(), length, &done, kTimeoutMs);
    if (result != nullptr)
        *result = r;
    bytes.resize(static_cast<std::size_t>(done));
    return bytes;
}

std::uint8_t SwimClient::status() {
    send({0xF4, 0x09});
    const auto reply = receive(4);
    return reply.empty() ? 0xFF : reply[0];
}

std::uint8_t SwimClient::waitStatus() {
    std::uint8_t s = 0x01;
    for (int i = 0; i < 100000 && s == 0x01; ++i)
        s = status();
    return s;
}

void SwimClient::connect(std::uint8_t swimCsr) {
    send({0xF4, 0x00});
    send({0xF4, 0x04});
    waitStatus();
    write(0x7F80, {swimCsr});
}

std::uint8_t SwimClient::write(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    const auto n = static_cast<std::uint16_t>(bytes.size());
    std::vector<std::uint8_t> frame{0xF4,
                                    0x0A,
                                    static_cast<std::uint8_t>(n >> 8),
                                    static_cast<std::uint8_t>(n),
                                    static_cast<std::uint8_t>(address >> 24),
                                    static_cast<std::uint8_t>(address >> 16),
                                    static_cast<std::uint8_t>(address >> 8),
                                    static_cast<std::uint8_t>(address)};
    const std::size_t inFrame = std::min<std::size_t>(8, bytes.size());
    frame.insert(frame.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(inFrame));
    frame.resize(16);
    sendRaw(frame);
    if (bytes.size() > inFrame)
        sendRaw(std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(inFrame),
                                          bytes.end()));
    return waitStatus();
}

std::vector<std::uint8_t> SwimClient::read(std::uint32_t address, std::size_t length,
                                           std::uint8_t* finalStatus) {
    send({0xF4, 0x0B, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
          static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
          static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)});
    const std::uint8_t s = waitStatus();
    if (finalStatus != nullptr)
        *finalStatus = s;
    send({0xF4, 0x0C});
    return receive(static_cast<int>(length));
}

void SwimClient::unlockFlash() {
    write(0x5062, {0x56});
    write(0x5062, {0xAE});
}

void SwimClient::unlockData() {
    write(0x5064, {0xAE});
    write(0x5064, {0x56});
}

std::uint8_t SwimClient::waitFlash(double limitMs) {
    const double start = emulatedMs();
    std::uint8_t iapsr = 0;
    while (emulatedMs() - start < limitMs) {
        iapsr = readByte(0x505F);
        if ((iapsr & 0x05) != 0)
            break;
    }
    return iapsr;
}

std::uint8_t SwimClient::programBlock(std::uint32_t address, const std::vector<std::uint8_t>& bytes,
                                      std::uint8_t cr2) {
    write(0x505B, {cr2, static_cast<std::uint8_t>(~cr2)});
    write(address, bytes);
    return waitFlash();
}

void SwimClient::resetChip() {
    send({0xF4, 0x07});
    waitStatus();
    send({0xF4, 0x08});
    waitStatus();
}

std::vector<std::uint8_t> pattern(std::size_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 3));
    return bytes;
}
