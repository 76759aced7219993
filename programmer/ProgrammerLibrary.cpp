#include "programmer/ProgrammerLibrary.h"

#include <system_error>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#endif

namespace kw {

namespace {

#ifdef _WIN32

class WindowsLibrary final : public ProgrammerLibrary {
public:
    explicit WindowsLibrary(HMODULE module) : module_(module) {}
    ~WindowsLibrary() override { FreeLibrary(module_); }
    WindowsLibrary(const WindowsLibrary&) = delete;
    WindowsLibrary& operator=(const WindowsLibrary&) = delete;

protected:
    AnyFunction exportAddress(const char* exportName) override {
        return reinterpret_cast<AnyFunction>(GetProcAddress(module_, exportName));
    }

private:
    HMODULE module_;
};

HMODULE openLibrary(const std::filesystem::path& path) {
    // The bare name goes to the system directories only: the application folder has been
    // tried by full path already, and neither the current folder nor PATH is wanted.
    const DWORD flags = path.has_parent_path()
                            ? LOAD_WITH_ALTERED_SEARCH_PATH
                            : LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
    return LoadLibraryExA(path.string().c_str(), nullptr, flags);
}

#else

class DlLibrary final : public ProgrammerLibrary {
public:
    explicit DlLibrary(void* handle) : handle_(handle) {}
    ~DlLibrary() override { dlclose(handle_); }
    DlLibrary(const DlLibrary&) = delete;
    DlLibrary& operator=(const DlLibrary&) = delete;

protected:
    AnyFunction exportAddress(const char* exportName) override {
        return reinterpret_cast<AnyFunction>(dlsym(handle_, exportName));
    }

private:
    void* handle_;
};

// dlerror() starts with the object it failed on: the library's own file when that file is
// broken, a dependency's name when the dependency is missing.
std::string failedObject(const std::string& reason) {
    return reason.substr(0, reason.find(": "));
}

// The search found no file of that name: the bare name itself could not be opened because it
// does not exist anywhere (and not, say, a dependency of a file it did find).
bool searchFoundNothing(const std::string& reason) {
    const std::string notFound = std::string(": ") + std::strerror(ENOENT);
    return failedObject(reason) == kLibraryFileName && reason.size() > notFound.size() &&
           reason.compare(reason.size() - notFound.size(), notFound.size(), notFound) == 0;
}

// One line that names the library file and says why it did not load.
std::string describeFailure(const std::filesystem::path& tried, const std::string& reason) {
    const std::filesystem::path named = failedObject(reason);
    if (named.filename() == tried.filename())
        return reason;
    return tried.string() + ": " + reason;
}

#endif

} // namespace

SystemLibraryLoader::SystemLibraryLoader(std::filesystem::path executableDir)
    : executableDir_(std::move(executableDir)) {}

SystemLibraryLoader SystemLibraryLoader::forFile(const std::filesystem::path& file) {
    SystemLibraryLoader loader;
    // A name without a directory would send the system loader searching.
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(file, ec);
    loader.exactFile_ = ec ? std::filesystem::path(".") / file : std::move(absolute);
    return loader;
}

std::unique_ptr<ProgrammerLibrary> SystemLibraryLoader::load() {
    lastError_.clear();
    // A library beside the executable wins. Only when there is none there does the bare
    // name go to the system search; a file that is there but fails to load is not
    // silently replaced by some other copy found elsewhere.
    std::filesystem::path path = kLibraryFileName;
    if (!exactFile_.empty()) {
        path = exactFile_;
    } else if (!executableDir_.empty()) {
        std::error_code ec;
        const auto beside = executableDir_ / kLibraryFileName;
        if (std::filesystem::exists(beside, ec))
            path = beside;
    }
    const bool searched = !path.has_parent_path();

#ifdef _WIN32
    HMODULE module = openLibrary(path);
    if (module == nullptr) {
        const DWORD error = GetLastError();
        if (!(searched && error == ERROR_MOD_NOT_FOUND))
            lastError_ = path.string() + ": LoadLibrary failed, error " + std::to_string(error);
        return nullptr;
    }
    return std::make_unique<WindowsLibrary>(module);
#else
    // A name without a slash makes dlopen use LD_LIBRARY_PATH, the caller's RUNPATH, the
    // ld.so cache and the default directories, never the current directory.
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        const std::string reason = error != nullptr ? error : "dlopen failed";
        if (!(searched && searchFoundNothing(reason)))
            lastError_ = describeFailure(path, reason);
        return nullptr;
    }
    return std::make_unique<DlLibrary>(handle);
#endif
}

} // namespace kw
