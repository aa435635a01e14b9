// Driver libraries of the stand-in: LoadLibraryW / LoadDriver find a module among the
// built-in ones or as a shared library file, count references, call the module's DllMain
// on first load and last unload, and look exports up for GetProcAddressW.
#include <windows.h>

#include <kfuncs.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include "kernel_internal.h"

namespace {

// The platform's code for a DllMain that refused to attach.
constexpr DWORD kErrorDllInitFailed = 1114;

using DllMainProc = BOOL (*)(HANDLE hInst, DWORD reason, LPVOID reserved);
using ExportLookup = std::function<void *(std::string_view)>;

struct Builtin {
    std::u16string fileName;
    ExportLookup lookup;
};

struct Module {
    HMODULE handle = nullptr;
    int refs = 0;
    void *dl = nullptr;         // dlopen handle of a file module
    std::u16string builtinKey;  // non-empty for a built-in module
    ExportLookup lookup;        // built-in module's exports
    std::string path;           // UTF-8, for GetModuleFileNameW
};

// Module handles lie above every kernel handle value (those stay below 2 GiB), so that one
// is never taken for the other, and 64 KiB apart. A 64-bit build has room above 4 GiB
// to hand out a new value for every load; a 32-bit one has 2 to 3 GiB, 16384 values,
// which loads and frees reuse once they have all been handed out (the device manager's
// handles start at 3 GiB).
constexpr uintptr_t kModuleHandleStep = 0x10000;
constexpr uintptr_t kModuleHandleFirst =
    sizeof(uintptr_t) > 4 ? static_cast<uintptr_t>(uint64_t{1} << 32) : uintptr_t{0x80000000};
constexpr uintptr_t kModuleHandleEnd =
    sizeof(uintptr_t) > 4 ? static_cast<uintptr_t>(uint64_t{1} << 48) : uintptr_t{0xC0000000};

// One loader lock, recursive because a DllMain may load or look up modules itself.
struct Loader {
    std::recursive_mutex mutex;
    std::map<std::u16string, Builtin> builtins;  // by BuiltinKey
    std::vector<std::string> searchPath;
    std::vector<std::unique_ptr<Module>> modules;
    uintptr_t nextHandle = kModuleHandleFirst;
};

Loader &TheLoader() {
    static auto *loader = new Loader;
    return *loader;
}

// The file name without folder part, lower-cased, with a ".dll" or ".so" ending removed:
// "\Windows\QSXPDD.DLL", "qsxpdd.so" and "QSXPDD" all name the same built-in module.
std::u16string BuiltinKey(std::u16string_view name) {
    const size_t slash = name.find_last_of(u"/\\");
    if (slash != std::u16string_view::npos) name.remove_prefix(slash + 1);
    std::u16string key;
    for (char16_t c : name) key += (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    for (std::u16string_view ending : {u".dll", u".so"}) {
        if (key.size() > ending.size() && key.ends_with(ending)) {
            key.resize(key.size() - ending.size());
            break;
        }
    }
    return key;
}

// The file names tried for `name`: as given, with its extension replaced by ".so", and
// with ".so" appended ("QSXPDD.dll" is built as "QSXPDD.so").
std::vector<std::string> FileCandidates(const std::string &name) {
    std::vector<std::string> names{name};
    auto add = [&names](std::string candidate) {
        if (std::find(names.begin(), names.end(), candidate) == names.end()) names.push_back(candidate);
    };
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        add(name.substr(0, dot) + ".so");
    }
    add(name + ".so");
    return names;
}

std::vector<std::string> SplitPathList(const char *list) {
    std::vector<std::string> folders;
    if (!list) return folders;
    std::string folder;
    for (const char *p = list;; ++p) {
        if (*p == ';' || *p == ':' || *p == 0) {
            if (!folder.empty()) folders.push_back(folder);
            folder.clear();
            if (*p == 0) break;
        } else {
            folder += *p;
        }
    }
    return folders;
}

void *TryOpen(const std::string &path, std::string *openedPath) {
    if (access(path.c_str(), F_OK) != 0) return nullptr;
    void *dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        // The file is there but does not load (a missing symbol, say): worth telling.
        const char *why = dlerror();
        std::fprintf(stderr, "coredll: cannot load %s: %s\n", path.c_str(), why ? why : "?");
        return nullptr;
    }
    char resolved[PATH_MAX];
    *openedPath = realpath(path.c_str(), resolved) ? resolved : path;
    return dl;
}

// dlopen()s the library file for `wideName`, or returns null.
void *OpenLibraryFile(std::u16string_view wideName, const std::vector<std::string> &searchPath,
                      std::string *openedPath) {
    std::string name = standin::ToUtf8(wideName);
    for (char &c : name) {
        if (c == '\\') c = '/';
    }
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) {
        for (const std::string &candidate : FileCandidates(name)) {
            if (void *dl = TryOpen(candidate, openedPath)) return dl;
        }
        name.erase(0, slash + 1);
        if (name.empty()) return nullptr;
    }
    std::vector<std::string> folders = searchPath;
    for (std::string &folder : SplitPathList(std::getenv("QSX_LIBRARY_PATH"))) {
        folders.push_back(std::move(folder));
    }
    const std::vector<std::string> candidates = FileCandidates(name);
    for (const std::string &folder : folders) {
        if (folder.empty()) continue;
        for (const std::string &candidate : candidates) {
            if (void *dl = TryOpen(folder + "/" + candidate, openedPath)) return dl;
        }
    }
    return nullptr;
}

// The module's own DllMain: dlsym() also searches the libraries a module depends on,
// whose DllMain is not this module's business.
DllMainProc FindDllMain(const Module &module) {
    if (!module.dl) {
        return reinterpret_cast<DllMainProc>(module.lookup ? module.lookup("DllMain") : nullptr);
    }
    void *symbol = dlsym(module.dl, "DllMain");
    if (!symbol) return nullptr;
    Dl_info info{};
    struct link_map *map = nullptr;
    if (dladdr(symbol, &info) && dlinfo(module.dl, RTLD_DI_LINKMAP, &map) == 0 && map &&
        info.dli_fname && map->l_name && std::string_view(info.dli_fname) != map->l_name) {
        return nullptr;
    }
    return reinterpret_cast<DllMainProc>(symbol);
}

// A handle value no loaded module holds, or null when every one is taken. Values are
// handed out in turn, so a freed module's handle comes back only after all the others.
HMODULE NewModuleHandle(Loader &loader) {
    const size_t values = (kModuleHandleEnd - kModuleHandleFirst) / kModuleHandleStep;
    if (loader.modules.size() >= values) return nullptr;
    for (;;) {
        const uintptr_t value = loader.nextHandle;
        loader.nextHandle = value + kModuleHandleStep < kModuleHandleEnd ? value + kModuleHandleStep
                                                                         : kModuleHandleFirst;
        const bool taken = std::any_of(loader.modules.begin(), loader.modules.end(), [value](const auto &m) {
            return reinterpret_cast<uintptr_t>(m->handle) == value;
        });
        if (!taken) return reinterpret_cast<HMODULE>(value);
    }
}

Module *FindModule(Loader &loader, HMODULE handle) {
    if (!handle) return nullptr;
    for (auto &module : loader.modules) {
        if (module->handle == handle) return module.get();
    }
    return nullptr;
}

void RemoveModule(Loader &loader, Module *module) {
    void *dl = module->dl;
    std::erase_if(loader.modules, [module](const auto &m) { return m.get() == module; });
    if (dl) dlclose(dl);
}

}  // namespace

namespace standin {

void RegisterBuiltinModule(std::u16string_view fileName,
                           std::function<void *(std::string_view exportName)> lookup) {
    Loader &loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    loader.builtins[BuiltinKey(fileName)] = Builtin{std::u16string(fileName), std::move(lookup)};
}

void UnregisterBuiltinModule(std::u16string_view fileName) {
    Loader &loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    // A module already loaded keeps its exports until it is freed.
    loader.builtins.erase(BuiltinKey(fileName));
}

void SetLibrarySearchPath(std::vector<std::string> folders) {
    Loader &loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    loader.searchPath = std::move(folders);
}

}  // namespace standin

extern "C" {

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    if (!lpLibFileName || !*lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Loader &loader = TheLoader();
    std::lock_guard lock(loader.mutex);

    auto module = std::make_unique<Module>();
    const std::u16string key = BuiltinKey(lpLibFileName);
    if (auto builtin = loader.builtins.find(key); builtin != loader.builtins.end()) {
        for (auto &loaded : loader.modules) {
            if (loaded->builtinKey == key) {
                ++loaded->refs;
                return loaded->handle;
            }
        }
        module->builtinKey = key;
        module->lookup = builtin->second.lookup;
        module->path = standin::ToUtf8(builtin->second.fileName);
    } else {
        module->dl = OpenLibraryFile(lpLibFileName, loader.searchPath, &module->path);
        if (!module->dl) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        // Another name for a library already loaded: dlopen handed out the same handle
        // and counted one more reference of its own, which this one does not need.
        for (auto &loaded : loader.modules) {
            if (loaded->dl == module->dl) {
                dlclose(module->dl);
                ++loaded->refs;
                return loaded->handle;
            }
        }
    }
    module->handle = NewModuleHandle(loader);
    if (!module->handle) {
        if (module->dl) dlclose(module->dl);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    module->refs = 1;
    Module *added = module.get();
    loader.modules.push_back(std::move(module));

    // In the table before DllMain runs, which may call DisableThreadLibraryCalls.
    if (DllMainProc dllMain = FindDllMain(*added)) {
        if (!dllMain(reinterpret_cast<HANDLE>(added->handle), DLL_PROCESS_ATTACH, nullptr)) {
            RemoveModule(loader, added);
            SetLastError(kErrorDllInitFailed);
            return nullptr;
        }
    }
    return added->handle;
}

HINSTANCE WINAPI LoadDriver(LPCWSTR lpszFileName) { return LoadLibraryW(lpszFileName); }

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    Loader &loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    Module *module = FindModule(loader, hLibModule);
    if (!module || module->refs <= 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--module->refs > 0) return TRUE;
    if (DllMainProc dllMain = FindDllMain(*module)) {
        dllMain(reinterpret_cast<HANDLE>(module->handle), DLL_PROCESS_DETACH, nullptr);
    }
    RemoveModule(loader, module);
    return TRUE;
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
    Loader &loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    // The stand-in never sends thread notifications; there is nothing to switch off.
    if (!FindModule(loader, hLibModule)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

FARPROC WINAPI GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) {
    // Export names are ASCII; ordinals (values below 0x10000) are not offered.
    std::string name;
    if (reinterpret_cast<uintptr_t>(lpProcName) >= 0x10000) {
        for (const WCHAR *p = lpProcName; *p; ++p) {
            if (*p >= 0x80) {
                name.clear();
                break;
            }
            name += static_cast<char>(*p);
        }
    }
    Loader &loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    Module *module = FindModule(loader, hModule);
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void *address = nullptr;
    if (!name.empty()) {
        address = module->dl ? dlsym(module->dl, name.c_str())
                             : (module->lookup ? module->lookup(name) : nullptr);
    }
    if (!address) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(address);
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    std::string path;
    if (!hModule) {
        char buffer[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
        if (n <= 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return 0;
        }
        path.assign(buffer, static_cast<size_t>(n));
    } else {
        Loader &loader = TheLoader();
        std::lock_guard lock(loader.mutex);
        Module *module = FindModule(loader, hModule);
        if (!module) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = module->path;
    }
    const std::u16string wide = standin::FromUtf8(path);
    if (!lpFilename || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // Too small a buffer gets as much as fits, terminated, and its full size back.
    if (wide.size() >= nSize) {
        std::copy_n(wide.data(), nSize - 1, lpFilename);
        lpFilename[nSize - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::copy(wide.begin(), wide.end(), lpFilename);
    lpFilename[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}

}  // extern "C"
