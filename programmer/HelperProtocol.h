#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace kw::helper {

// The conversation between ProcessProgrammer and kaliwire-programmer over one stream socket
// (the helper's fd 3). The client sends a request and waits for its reply; there is never more
// than one request in flight.
//
// Frame:   u32 length of what follows | u8 type | payload
// Numbers are little-endian; a string is u32 byte count then the bytes (UTF-8, no NUL).
//
//   type              request payload                   reply payload (same type byte)
//   'O' open          u32 count, count x (name, value)  u8 opened, string failure,
//                     for the settings, then the same   u32 offers (bit per Operation),
//                     for the preferences               u8 refused, string name,
//                                                       string value, u8 noOptionExport
//   'W' write         i32 offset, 128 bytes             i32 code
//   'R' read          i32 offset                        i32 code, 32 bytes
//   'T' text          i32 code                          string text
//   'P' report        string topic                      i32 code, string text
//   'E' EEPROM write  i32 offset, 64 bytes              i32 code
//   'G' EEPROM read   i32 offset                        i32 code, 64 bytes
//   'B' option bytes  (nothing)                         i32 code, 11 bytes
//   'Y' option write  i32 index, u8 value               i32 code
//   'U' unprotect     (nothing)                         i32 code
//   'Z' pauses        (nothing)                         u8 needed
//   'C' close         (nothing)                         (nothing); the helper then exits with 0
//
// The helper serves one session: it loads the library at 'O', releases it at 'C' or when the
// socket closes, and exits. Any frame it cannot read ends it with kBadRequestStatus.

inline constexpr std::uint32_t kMaxFrame = 1u << 20;
inline constexpr int kSocketFd = 3;
inline constexpr int kBadRequestStatus = 70;
inline constexpr const char* kHelperFileName = "kaliwire-programmer";

enum class Type : std::uint8_t {
    Open = 'O',
    Write = 'W',
    Read = 'R',
    Text = 'T',
    Report = 'P',
    EepromWrite = 'E',
    EepromRead = 'G',
    OptionBytesRead = 'B',
    OptionByteWrite = 'Y',
    RemoveProtection = 'U',
    BlockPauses = 'Z',
    Close = 'C',
};

// Builds one frame; finish() fills in its length.
class FrameWriter {
public:
    explicit FrameWriter(Type type) {
        frame_.assign(4, '\0');
        frame_.push_back(static_cast<char>(type));
    }
    FrameWriter& u8(std::uint8_t value) {
        frame_.push_back(static_cast<char>(value));
        return *this;
    }
    FrameWriter& u32(std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            frame_.push_back(static_cast<char>((value >> shift) & 0xFF));
        return *this;
    }
    FrameWriter& i32(std::int32_t value) { return u32(static_cast<std::uint32_t>(value)); }
    FrameWriter& bytes(std::span<const std::uint8_t> data) {
        frame_.append(reinterpret_cast<const char*>(data.data()), data.size());
        return *this;
    }
    FrameWriter& string(std::string_view text) {
        u32(static_cast<std::uint32_t>(text.size()));
        frame_.append(text);
        return *this;
    }
    const std::string& finish() {
        const auto length = static_cast<std::uint32_t>(frame_.size() - 4);
        for (int k = 0; k < 4; ++k)
            frame_[static_cast<std::size_t>(k)] = static_cast<char>((length >> (8 * k)) & 0xFF);
        return frame_;
    }

private:
    std::string frame_;
};

inline std::uint32_t frameLength(const unsigned char (&header)[4]) {
    return static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
           static_cast<std::uint32_t>(header[2]) << 16 |
           static_cast<std::uint32_t>(header[3]) << 24;
}

// Reads one frame's body (type and payload). Every read is checked against what is left; a
// short or malformed frame sets failed() and reads as zeros from then on.
class FrameReader {
public:
    explicit FrameReader(std::string_view body) : body_(body) {
        if (body_.empty())
            failed_ = true;
        else
            type_ = static_cast<Type>(static_cast<unsigned char>(body_[0]));
        position_ = 1;
    }
    Type type() const { return type_; }
    bool failed() const { return failed_; }
    bool atEnd() const { return position_ == body_.size(); }

    std::uint8_t u8() {
        if (!take(1))
            return 0;
        return static_cast<std::uint8_t>(body_[position_ - 1]);
    }
    std::uint32_t u32() {
        if (!take(4))
            return 0;
        std::uint32_t value = 0;
        for (int k = 0; k < 4; ++k)
            value |= static_cast<std::uint32_t>(static_cast<unsigned char>(
                         body_[position_ - 4 + static_cast<unsigned>(k)]))
                     << (8 * k);
        return value;
    }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    void bytes(std::span<std::uint8_t> out) {
        if (!take(out.size())) {
            std::memset(out.data(), 0, out.size());
            return;
        }
        std::memcpy(out.data(), body_.data() + position_ - out.size(), out.size());
    }
    std::string string() {
        const std::uint32_t length = u32();
        if (!take(length))
            return {};
        return std::string(body_.substr(position_ - length, length));
    }

private:
    bool take(std::size_t count) {
        if (failed_ || body_.size() - position_ < count) {
            failed_ = true;
            return false;
        }
        position_ += count;
        return true;
    }

    std::string_view body_;
    std::size_t position_ = 0;
    Type type_{};
    bool failed_ = false;
};

#ifndef _WIN32
// Sends all of `data` on a socket, through interruptions; false when the peer is gone.
// MSG_NOSIGNAL: a side that died must not take the other with it through SIGPIPE.
bool sendAll(int fd, std::string_view data) noexcept;
#endif

} // namespace kw::helper
