#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "programmer/Exports.h"

namespace kw {

// One loaded programmer library. Destroying it releases the library, exactly once.
class ProgrammerLibrary {
public:
    virtual ~ProgrammerLibrary() = default;
    // The named export, or nullptr when the library does not have it.
    virtual BlockFunction lookup(const char* exportName) = 0;
};

// Loads the programmer library at the start of a transfer.
class LibraryLoader {
public:
    virtual ~LibraryLoader() = default;
    // nullptr when the library cannot be loaded.
    virtual std::unique_ptr<ProgrammerLibrary> load() = 0;
};

// Loads TOLVANEX.dll with the system loader: first from `executableDir`, then by its bare
// name through the system's search order. The current directory is never searched.
class SystemLibraryLoader final : public LibraryLoader {
public:
    explicit SystemLibraryLoader(std::filesystem::path executableDir);
    std::unique_ptr<ProgrammerLibrary> load() override;

    // The loader's reason for the last failed load(), empty after a successful one.
    const std::string& lastError() const noexcept { return lastError_; }

private:
    std::filesystem::path executableDir_;
    std::string lastError_;
};

} // namespace kw
