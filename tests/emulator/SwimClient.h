#pragma once

#include "emulator/Probe.h"

#include <cstdint>
#include <initializer_list>
#include <vector>

// Drives an emulated probe through the ST-LINK protocol, as a programmer library would, so
// the tests see exactly what a client sees.
class SwimClient {
public:
    static kw::emu::Options instant(); // in memory, no sleeping

    explicit SwimClient(kw::emu::Options options = instant());

    kw::emu::Probe probe;

    int send(std::initializer_list<std::uint8_t> bytes); // one 16-byte frame
    int sendRaw(const std::vector<std::uint8_t>& bytes);
    std::vector<std::uint8_t> receive(int length, int* result = nullptr);
    std::uint8_t status();     // F4 09, byte 0
    std::uint8_t waitStatus(); // polls while busy
    double emulatedMs() const { return probe.statistics().emulatedSeconds * 1000.0; }

    // Probe in SWIM mode, entry sequence, SWIM_CSR written (debug mode, safe mask).
    void connect(std::uint8_t swimCsr = 0xA0);
    std::uint8_t write(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    std::vector<std::uint8_t> read(std::uint32_t address, std::size_t length,
                                   std::uint8_t* finalStatus = nullptr);
    std::uint8_t readByte(std::uint32_t address) { return read(address, 1)[0]; }
    void unlockFlash();
    void unlockData();
    // CR2/NCR2 and the block's bytes; returns IAPSR once EOP or WR_PG_DIS shows, or after
    // 20 ms without either.
    std::uint8_t programBlock(std::uint32_t address, const std::vector<std::uint8_t>& bytes,
                              std::uint8_t cr2 = 0x01);
    std::uint8_t waitFlash(double limitMs = 20);
    void resetChip(); // NRST pulse
};

std::vector<std::uint8_t> pattern(std::size_t length, std::uint8_t seed);
