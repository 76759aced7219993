#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <type_traits>

#include "programmer/Exports.h"

namespace kw {

// One loaded programmer library. Destroying it releases the library, exactly once.
class ProgrammerLibrary {
public:
    virtual ~ProgrammerLibrary() = default;

    // The named export as a function of type `Function`, or nullptr when the library does not
    // have it. The caller names the type the contract gives the export.
    template <class Function = BlockFunction> Function lookup(const char* exportName) {
        static_assert(std::is_pointer_v<Function> &&
                          std::is_function_v<std::remove_pointer_t<Function>>,
                      "an export is looked up as a function pointer");
        return reinterpret_cast<Function>(exportAddress(exportName));
    }

protected:
    // Any function pointer type converts to this and back unchanged.
    using AnyFunction = void (*)();
    virtual AnyFunction exportAddress(const char* exportName) = 0;
};

// Loads the programmer library at the start of a transfer.
class LibraryLoader {
public:
    virtual ~LibraryLoader() = default;
    // nullptr when the library cannot be loaded.
    virtual std::unique_ptr<ProgrammerLibrary> load() = 0;
    // After a load() that returned nullptr: one line naming the library file that was there
    // but did not load and the system loader's reason (not a shared object, a missing
    // dependency, an undefined symbol). Empty when no library file was found at all, and
    // after a successful load.
    virtual std::string lastError() const { return {}; }
};

// Loads TOLVANEX.dll with the system loader.
class SystemLibraryLoader final : public LibraryLoader {
public:
    // First from `executableDir`, then by its bare name through the system's search order.
    // The current directory is never searched.
    explicit SystemLibraryLoader(std::filesystem::path executableDir);
    // Exactly `file` (made absolute against the current directory now), nothing else: no
    // search and no fallback. A missing file is then a reason worth telling too.
    static SystemLibraryLoader forFile(const std::filesystem::path& file);

    std::unique_ptr<ProgrammerLibrary> load() override;
    std::string lastError() const override { return lastError_; }

private:
    SystemLibraryLoader() = default;

    std::filesystem::path executableDir_;
    std::filesystem::path exactFile_; // set only by forFile()
    std::string lastError_;
};

} // namespace kw
