#include "programmer/ProgrammerLibrary.h"

#include <system_error>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
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

    BlockFunction lookup(const char* exportName) override {
        return reinterpret_cast<BlockFunction>(GetProcAddress(module_, exportName));
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

    BlockFunction lookup(const char* exportName) override {
        void* symbol = dlsym(handle_, exportName);
        return reinterpret_cast<BlockFunction>(symbol);
    }

private:
    void* handle_;
};

#endif

} // namespace

SystemLibraryLoader::SystemLibraryLoader(std::filesystem::path executableDir)
    : executableDir_(std::move(executableDir)) {}

std::unique_ptr<ProgrammerLibrary> SystemLibraryLoader::load() {
    // A library beside the executable wins. Only when there is none there does the bare
    // name go to the system search; a file that is there but fails to load is not
    // silently replaced by some other copy found elsewhere.
    std::filesystem::path path = kLibraryFileName;
    if (!executableDir_.empty()) {
        std::error_code ec;
        const auto beside = executableDir_ / kLibraryFileName;
        if (std::filesystem::exists(beside, ec))
            path = beside;
    }

#ifdef _WIN32
    HMODULE module = openLibrary(path);
    if (module == nullptr) {
        lastError_ = "LoadLibrary failed, error " + std::to_string(GetLastError());
        return nullptr;
    }
    lastError_.clear();
    return std::make_unique<WindowsLibrary>(module);
#else
    // A name without a slash makes dlopen use LD_LIBRARY_PATH, the caller's RUNPATH, the
    // ld.so cache and the default directories, never the current directory.
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        lastError_ = error != nullptr ? error : "dlopen failed";
        return nullptr;
    }
    lastError_.clear();
    return std::make_unique<DlLibrary>(handle);
#endif
}

} // namespace kw
