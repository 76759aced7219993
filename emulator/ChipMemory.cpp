#include "emulator/ChipMemory.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kw::emu {

namespace {

// File layout: magic, flash, EEPROM, option bytes, probe state. Fixed offsets, no padding
// surprises: every field is a byte array.
constexpr char kMagic[16] = "KW STM8 EMU v1\n";
constexpr std::size_t kMagicOffset = 0;
constexpr std::size_t kFlashOffset = 16;
constexpr std::size_t kEepromOffset = kFlashOffset + ChipMemory::kFlashBytes;
constexpr std::size_t kOptionOffset = kEepromOffset + ChipMemory::kEepromBytes;
constexpr std::size_t kProbeOffset = kOptionOffset + 16;
constexpr std::size_t kFileSize = kProbeOffset + 16;

std::runtime_error fileError(const std::string& what, const std::string& path) {
    return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

} // namespace

ChipMemory::ChipMemory(std::string path) : path_(std::move(path)) {
    if (path_.empty())
        return;
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0 && errno == ENOENT) {
        createErased();
        fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    }
    if (fd_ < 0)
        throw fileError("cannot open chip memory file", path_);
    reload();
}

ChipMemory::~ChipMemory() {
    if (fd_ >= 0)
        ::close(fd_); // also drops the lock
}

void ChipMemory::createErased() {
    // Written beside the target and linked into place, so a second emulator starting at the
    // same moment never sees a half-written file.
    std::vector<std::uint8_t> image(kFileSize, 0);
    std::memcpy(image.data() + kMagicOffset, kMagic, sizeof kMagic);
    std::memcpy(image.data() + kOptionOffset, kFactoryOptions.data(), kOptionBytes);
    std::string temp = path_ + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        throw fileError("cannot create chip memory file", path_);
    const bool written =
        ::write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size());
    ::close(fd);
    if (!written || (::link(temp.c_str(), path_.c_str()) != 0 && errno != EEXIST)) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        throw fileError("cannot create chip memory file", path_);
    }
    ::unlink(temp.c_str());
}

void ChipMemory::reload() {
    if (fd_ < 0)
        return;
    std::vector<std::uint8_t> image(kFileSize + 1);
    const ssize_t got = ::pread(fd_, image.data(), image.size(), 0);
    if (got < 0)
        throw fileError("cannot read chip memory file", path_);
    if (static_cast<std::size_t>(got) != kFileSize ||
        std::memcmp(image.data() + kMagicOffset, kMagic, sizeof kMagic) != 0)
        throw std::runtime_error(
            path_ + " exists but is not an emulated chip's memory; it was left as it is");
    std::memcpy(flash.data(), image.data() + kFlashOffset, kFlashBytes);
    std::memcpy(eeprom.data(), image.data() + kEepromOffset, kEepromBytes);
    std::memcpy(options.data(), image.data() + kOptionOffset, kOptionBytes);
    probeMode = image[kProbeOffset];
    probeHighSpeed = image[kProbeOffset + 1] != 0;
}

void ChipMemory::erase() {
    flash.fill(0);
    eeprom.fill(0);
    options = kFactoryOptions;
    saveFlash(0, flash.size());
    saveEeprom(0, eeprom.size());
    saveOptions();
}

void ChipMemory::write(std::size_t fileOffset, const std::uint8_t* data, std::size_t length) {
    if (fd_ < 0 || length == 0)
        return;
    if (::pwrite(fd_, data, length, static_cast<off_t>(fileOffset)) != static_cast<ssize_t>(length))
        throw fileError("cannot write chip memory file", path_);
}

void ChipMemory::saveFlash(std::size_t offset, std::size_t length) {
    write(kFlashOffset + offset, flash.data() + offset, length);
}

void ChipMemory::saveEeprom(std::size_t offset, std::size_t length) {
    write(kEepromOffset + offset, eeprom.data() + offset, length);
}

void ChipMemory::saveOptions() {
    write(kOptionOffset, options.data(), kOptionBytes);
}

void ChipMemory::saveProbe() {
    const std::uint8_t state[2]{probeMode, static_cast<std::uint8_t>(probeHighSpeed ? 1 : 0)};
    write(kProbeOffset, state, sizeof state);
}

bool ChipMemory::tryLock() {
    if (fd_ < 0 || locked_)
        return true;
    locked_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    return locked_;
}

void ChipMemory::unlock() {
    if (fd_ >= 0 && locked_)
        ::flock(fd_, LOCK_UN);
    locked_ = false;
}

} // namespace kw::emu
