#pragma once

// Checks shared by the ST-LINK library's tests: what a transfer leaves behind in this process
// and on the emulated probe.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "emulator/Probe.h"

namespace kw::test {

// Threads of this process, as the kernel lists them.
inline int threadCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// Another program can claim the probe kept in `chipFile` and finds it out of SWIM mode.
inline void expectProbeFree(const std::string& chipFile) {
    emu::Options options;
    options.memoryFile = chipFile;
    emu::Probe probe(options);
    ASSERT_EQ(probe.open(), 0);
    ASSERT_EQ(probe.claimInterface(0), 0) << "the probe is still held";
    std::uint8_t frame[16] = {0xF5};
    std::uint8_t mode[2] = {0xFF, 0xFF};
    int moved = 0;
    ASSERT_EQ(probe.bulkTransfer(0x02, frame, 16, &moved, 100), 0);
    ASSERT_EQ(probe.bulkTransfer(0x81, mode, 2, &moved, 100), 0);
    EXPECT_NE(mode[0], 3) << "the probe was left in SWIM mode";
    probe.close();
}

} // namespace kw::test
