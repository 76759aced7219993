#pragma once

#include <stdexcept>
#include <string>

namespace kw {

// A text that should have been a number. what() is the text shown in the error box.
class ConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A file that could not be opened or read to its end. what() is the text shown to the user;
// kind() tells callers that treat some failures as normal (a file not made yet) apart.
class IoError : public std::runtime_error {
public:
    enum class Kind {
        Absent,     // no file of that name
        NotRegular, // a FIFO, device, socket or folder: refused without being read
        Failed,     // there, but it could not be opened or read
    };
    explicit IoError(const std::string& text, Kind kind = Kind::Failed)
        : std::runtime_error(text), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

} // namespace kw
