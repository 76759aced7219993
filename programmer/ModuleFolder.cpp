#include "programmer/ModuleFolder.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

namespace kw {

std::filesystem::path thisModuleFolder() {
#ifdef _WIN32
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&thisModuleFolder), &module))
        return {};
    wchar_t name[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, name, MAX_PATH);
    if (length == 0 || length == MAX_PATH)
        return {};
    return std::filesystem::path(name).parent_path();
#else
    Dl_info info{};
    link_map* module = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&thisModuleFolder), &info,
                reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) == 0 ||
        info.dli_fname == nullptr)
        return {};
    std::error_code ec;
    // For the executable itself the loader only knows argv[0], which is a bare name when the
    // program was started through PATH and relative to a folder the process may have left;
    // the kernel knows the real file.
    if (module != nullptr && (module->l_name == nullptr || module->l_name[0] == '\0')) {
        const auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (!ec)
            return executable.parent_path();
    }
    const auto file = std::filesystem::canonical(info.dli_fname, ec);
    return ec ? std::filesystem::path(info.dli_fname).parent_path() : file.parent_path();
#endif
}

} // namespace kw
