#pragma once

// A private scratch folder for the fuzz targets that need real files. It lives on /dev/shm
// when possible: the settings writer syncs every file, and a disk would cap the rate.

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace kwfuzz {

inline const std::filesystem::path& scratchDir() {
    // Never destroyed, so the exit handler can still use it.
    static const std::filesystem::path* const dir = [] {
        std::error_code ec;
        std::filesystem::path base = "/dev/shm";
        if (!std::filesystem::is_directory(base, ec)) {
            const char* tmp = std::getenv("TMPDIR");
            base = tmp != nullptr ? tmp : "/tmp";
        }
        std::string pattern = (base / "kw-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchDir(), ignored);
        });
        return new std::filesystem::path(pattern);
    }();
    return *dir;
}

inline void writeFile(const std::filesystem::path& path, const void* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || (size != 0 && std::fwrite(data, 1, size, f) != size) ||
        std::fclose(f) != 0) {
        std::perror("fuzz scratch file");
        std::abort();
    }
}

// Stops the run with a message that names the broken invariant.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "INVARIANT BROKEN: %s\n", what);
    std::abort();
}

} // namespace kwfuzz
