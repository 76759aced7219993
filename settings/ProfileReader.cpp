#include "settings/ProfileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "settings/ProfileSyntax.h"

namespace kw {

namespace {

// Far more than any settings file this tool writes; a larger file is not one of them.
constexpr off_t kLargestProfile = 1 << 20;

std::optional<std::string> readSmallRegularFile(const std::filesystem::path& file) {
    // Non-blocking, so that opening a FIFO returns at once; it is then refused below.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::optional<std::string> content;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargestProfile) {
        std::string text(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        text.resize(got);
        content = std::move(text);
    }
    ::close(fd);
    return content;
}

} // namespace

std::optional<std::string> readProfileString(const std::filesystem::path& file,
                                             std::string_view section,
                                             std::string_view key) noexcept {
    try {
        const auto content = readSmallRegularFile(file);
        if (!content)
            return std::nullopt;
        const auto lines = profile::splitLines(*content);
        const auto place = profile::findKey(*content, lines, section, key);
        if (!place.key)
            return std::nullopt;
        const std::string_view text = profile::lineText(*content, lines, *place.key);
        return std::string(profile::trim(text.substr(text.find('=') + 1)));
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace kw
