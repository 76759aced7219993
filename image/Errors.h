#pragma once

#include <stdexcept>
#include <string>

namespace kw {

// A text that should have been a number. what() is the text shown in the error box.
class ConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A file that could not be opened or read to its end.
class IoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace kw
