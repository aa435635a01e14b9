// Driver libraries of the stand-in: LoadLibraryW / LoadDriver find a module among the
// built-in ones, as a shared library file, or as a device image (a PE file, mapped by
// peimage.cpp), count references, call the module's DllMain on first load and last
// unload, and look exports up for GetProcAddressW.
//
// Which file a name loads is decided in one place, CandidatePaths(): the device image
// folder first (standin::SetDeviceImageFolder or QSX_DEVICE_IMAGES), then the search path;
// a file found is a device image when it starts with "MZ", otherwise a shared library.
// A device image runs only in a 32-bit build; a 64-bit build refuses it with
// ERROR_BAD_EXE_FORMAT and a line on stderr.
#include <windows.h>

#include <kfuncs.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

#include "kernel_internal.h"
#include "peimage.h"
#include "standin/gwes.h"

namespace {

// The platform's code for a DllMain that refused to attach.
constexpr DWORD kErrorDllInitFailed = 1114;

using DllMainProc = BOOL (*)(HANDLE hInst, DWORD reason, LPVOID reserved);
using ProgramEntry = int (*)(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);
using ExportLookup = std::function<void *(std::string_view)>;

// A device image the loader mapped.
struct PeModule {
    standin::pe::Headers headers;
    standin::pe::ImageMemory memory;
};

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
    std::unique_ptr<PeModule> pe;  // non-null for a device image
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
    std::string deviceImageFolder;  // searched first; empty: QSX_DEVICE_IMAGES
    std::vector<std::unique_ptr<Module>> modules;
    std::map<std::pair<std::string, std::string>, void *> imageExports;  // (dll, name)
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

// Every file `wideName` may name, in the order tried: the name in the device image folder
// (as given, no other ending), then the name as given when it has a folder part, then each
// folder of the search path and QSX_LIBRARY_PATH, with the endings FileCandidates adds.
std::vector<std::string> CandidatePaths(std::u16string_view wideName, const Loader &loader) {
    std::string name = standin::ToUtf8(wideName);
    for (char &c : name) {
        if (c == '\\') c = '/';
    }
    std::vector<std::string> paths;
    const size_t slash = name.rfind('/');
    const std::string fileName = slash == std::string::npos ? name : name.substr(slash + 1);
    if (fileName.empty()) return paths;
    std::string imageFolder = loader.deviceImageFolder;
    if (imageFolder.empty()) {
        if (const char *env = std::getenv("QSX_DEVICE_IMAGES")) imageFolder = env;
    }
    if (!imageFolder.empty()) paths.push_back(imageFolder + "/" + fileName);
    if (slash != std::string::npos) {
        for (std::string &candidate : FileCandidates(name)) paths.push_back(std::move(candidate));
    }
    std::vector<std::string> folders = loader.searchPath;
    for (std::string &folder : SplitPathList(std::getenv("QSX_LIBRARY_PATH"))) {
        folders.push_back(std::move(folder));
    }
    const std::vector<std::string> candidates = FileCandidates(fileName);
    for (const std::string &folder : folders) {
        if (folder.empty()) continue;
        for (const std::string &candidate : candidates) paths.push_back(folder + "/" + candidate);
    }
    return paths;
}

bool IsDeviceImage(const std::string &path) {
    char magic[2] = {};
    std::ifstream file(path, std::ios::binary);
    return file.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

// ---- device images ------------------------------------------------------------------

struct DeviceExport {
    const char *dll;
    const char *name;
    uint16_t ordinal;  // 0: none given
};

// Everything the device's coredll.dll and usbd.dll export that a device image may import.
constexpr DeviceExport kDeviceExports[] = {
#include "device_exports.inc"
};

bool SameDll(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
           });
}

// The stand-in library that serves `dll` ("coredll.dll": the one holding this code;
// "usbd.dll": libusbd.so beside it), opened once and kept for the process.
void *StandinLibrary(std::string_view dll) {
    static void *const coredll = [] {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void *>(&LoadLibraryW), &info) || !info.dli_fname) return static_cast<void *>(nullptr);
        return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    }();
    static void *const usbd = [] {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void *>(&LoadLibraryW), &info) && info.dli_fname) {
            std::string path = info.dli_fname;
            const size_t slash = path.rfind('/');
            path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "libusbd.so";
            if (void *dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return dl;
        }
        return dlopen("libusbd.so", RTLD_NOW | RTLD_LOCAL);
    }();
    if (SameDll(dll, "coredll.dll")) return coredll;
    if (SameDll(dll, "usbd.dll")) return usbd;
    return nullptr;
}

// `name` as the library `dl` itself defines it: dlsym() also finds the C library's
// functions (a 32-bit wchar_t wcslen, say), which are not what the device exports.
void *OwnSymbol(void *dl, const char *name) {
    void *symbol = dlsym(dl, name);
    Dl_info info{};
    struct link_map *map = nullptr;
    if (!symbol || !dladdr(symbol, &info) || dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || !map || !info.dli_fname ||
        !map->l_name || std::string_view(info.dli_fname) != map->l_name) {
        return nullptr;
    }
    return symbol;
}

// The C runtime functions coredll exports. The device's take 16-bit characters, so the
// string ones are the platform headers' own (the C library's wcslen counts 32-bit ones);
// the memory ones are the C library's, which have the device's arguments and results.
size_t ImageWcslen(const WCHAR *s) { return wcslen(s); }
WCHAR *ImageWcscpy(WCHAR *to, const WCHAR *from) { return wcscpy(to, from); }
int ImageWcsicmp(const WCHAR *a, const WCHAR *b) { return _wcsicmp(a, b); }

void *RuntimeExport(std::string_view name) {
    static const std::pair<std::string_view, void *> kRuntime[] = {
        {"memchr", reinterpret_cast<void *>(static_cast<void *(*)(void *, int, size_t)>(&memchr))},
        {"memcpy", reinterpret_cast<void *>(&memcpy)},
        {"memset", reinterpret_cast<void *>(&memset)},
        {"wcslen", reinterpret_cast<void *>(&ImageWcslen)},
        {"wcscpy", reinterpret_cast<void *>(&ImageWcscpy)},
        {"_wcsicmp", reinterpret_cast<void *>(&ImageWcsicmp)},
    };
    for (const auto &[known, address] : kRuntime)
        if (known == name) return address;
    return nullptr;
}

// With the loader lock held.
void *ImportAddress(Loader &loader, std::string_view dll, std::string_view name, uint16_t ordinal, std::string *why) {
    if (!SameDll(dll, "coredll.dll") && !SameDll(dll, "usbd.dll")) {
        *why = "the stand-in serves imports from coredll.dll and usbd.dll only";
        return nullptr;
    }
    const DeviceExport *listed = nullptr;
    for (const DeviceExport &e : kDeviceExports) {
        if (SameDll(dll, e.dll) && (name.empty() ? (ordinal != 0 && e.ordinal == ordinal) : name == e.name)) {
            listed = &e;
            break;
        }
    }
    if (!listed) {
        *why = "not in the device's export list";
        return nullptr;
    }
    const auto registered = loader.imageExports.find({listed->dll, listed->name});
    if (registered != loader.imageExports.end()) return registered->second;
    if (SameDll(dll, "coredll.dll"))
        if (void *runtime = RuntimeExport(listed->name)) return runtime;
    void *dl = StandinLibrary(dll);
    void *address = dl ? OwnSymbol(dl, listed->name) : nullptr;
    if (!address) *why = "the stand-in has no such function";
    return address;
}

// Serves the image's resources to FindResourceW for the module file `path`.
void RegisterImageResources(const std::string &path, const uint8_t *image,
                            const std::vector<standin::pe::Resource> &resources) {
    std::vector<std::u16string> names;
    names.reserve(resources.size());
    std::vector<standin::gwes::ResourceEntry> entries;
    for (const standin::pe::Resource &r : resources) {
        names.push_back(r.name);
        entries.push_back({r.type, r.nameId, r.name.empty() ? nullptr : names.back().c_str(), image + r.rva, r.size});
    }
    standin::gwes::RegisterModuleResources(path, image, entries);
}

// Where the device would put the image: a program that keeps its relocations at 64 KiB,
// anything else at its own base (a hint: the image moves when that is taken).
uint32_t PreferredBase(const standin::pe::Headers &headers) {
    const bool relocatable = headers.dirs[standin::pe::kRelocDir].size != 0 && !headers.relocsStripped;
    return !headers.dll && relocatable ? 0x10000 : headers.imageBase;
}

// Maps the device image at `path` into `module`; ERROR_SUCCESS, or the error for
// SetLastError after a line on stderr that says why.
DWORD LoadDeviceImage(Loader &loader, const std::string &path, Module *module) {
    auto pe = std::make_unique<PeModule>();
    std::string error;
    DWORD code = ERROR_BAD_EXE_FORMAT;
    std::vector<uint8_t> file;
    {
        std::ifstream in(path, std::ios::binary);
        file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in.eof() && !in) error = "cannot read the file";
    }
    if (error.empty() && standin::pe::ParseHeaders(file, &pe->headers, &error)) {
        if (sizeof(void *) > 4) {
            error = "a 32-bit x86 device image, which this 64-bit build of the stand-in cannot run";
        } else if (pe->memory.Allocate(pe->headers.imageSize, PreferredBase(pe->headers), &error)) {
            bool missing = false;
            const auto resolve = [&](const standin::pe::Import &import, std::string *why) -> uint32_t {
                void *address = ImportAddress(loader, import.dll, import.name, import.ordinal, why);
                missing = missing || !address;
                return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
            };
            if (!standin::pe::LoadInto(file, pe->headers, pe->memory.span(), pe->memory.base(), resolve, &error)) {
                if (missing) code = ERROR_PROC_NOT_FOUND;
            } else {
                pe->memory.Protect(pe->headers, &error);
            }
        }
    }
    if (error.empty()) {
        std::vector<standin::pe::Resource> resources;
        if (standin::pe::ListResources(pe->headers, {pe->memory.data(), pe->memory.size()}, &resources, &error)) {
            char resolved[PATH_MAX];
            module->path = realpath(path.c_str(), resolved) ? resolved : path;
            RegisterImageResources(module->path, pe->memory.data(), resources);
        }
    }
    if (!error.empty()) {
        std::fprintf(stderr, "coredll: cannot load %s: %s\n", path.c_str(), error.c_str());
        return code;
    }
    module->pe = std::move(pe);
    return ERROR_SUCCESS;
}

// The module's own DllMain: dlsym() also searches the libraries a module depends on,
// whose DllMain is not this module's business. A device image's is its entry point.
DllMainProc FindDllMain(const Module &module) {
    if (module.pe) {
        const standin::pe::Headers &h = module.pe->headers;
        if (!h.dll || h.entryRva == 0) return nullptr;
        return reinterpret_cast<DllMainProc>(module.pe->memory.data() + h.entryRva);
    }
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
    if (module->pe) standin::gwes::UnregisterResources(module->pe->memory.data());
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

void SetDeviceImageFolder(std::string folder) {
    Loader &loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    loader.deviceImageFolder = std::move(folder);
}

bool RegisterImageExport(std::string_view dll, std::string_view name, void *address) {
    Loader &loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    for (const DeviceExport &e : kDeviceExports) {
        if (SameDll(dll, e.dll) && name == e.name) {
            if (address) {
                loader.imageExports[{e.dll, e.name}] = address;
            } else {
                loader.imageExports.erase({e.dll, e.name});
            }
            return true;
        }
    }
    return false;
}

void *DeviceImportAddress(std::string_view dll, std::string_view name, std::string *why) {
    Loader &loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    std::string reason;
    void *address = ImportAddress(loader, dll, name, 0, &reason);
    if (why) *why = std::move(reason);
    return address;
}

int RunDeviceProgram(HMODULE program, LPCWSTR commandLine, int show) {
    ProgramEntry entry = nullptr;
    {
        Loader &loader = TheLoader();
        std::lock_guard lock(loader.mutex);
        Module *module = FindModule(loader, program);
        if (!module || !module->pe || module->pe->headers.dll) {
            SetLastError(ERROR_INVALID_HANDLE);
            return -1;
        }
        entry = reinterpret_cast<ProgramEntry>(module->pe->memory.data() + module->pe->headers.entryRva);
    }
    // The entry gets its own copy of the command line, which it may write to.
    std::u16string line = commandLine ? std::u16string(commandLine) : std::u16string();
    return entry(program, nullptr, line.data(), show);
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
        DWORD result = ERROR_MOD_NOT_FOUND;
        for (const std::string &path : CandidatePaths(lpLibFileName, loader)) {
            if (access(path.c_str(), F_OK) != 0) continue;
            if (IsDeviceImage(path)) {
                char resolved[PATH_MAX];
                const std::string canonical = realpath(path.c_str(), resolved) ? resolved : path;
                for (auto &loaded : loader.modules) {
                    if (loaded->pe && loaded->path == canonical) {
                        ++loaded->refs;
                        return loaded->handle;
                    }
                }
                // A device image found is the answer, loaded or refused.
                result = LoadDeviceImage(loader, path, module.get());
                break;
            }
            module->dl = TryOpen(path, &module->path);
            if (module->dl) {
                result = ERROR_SUCCESS;
                break;
            }
        }
        if (result != ERROR_SUCCESS) {
            SetLastError(result);
            return nullptr;
        }
        // Another name for a library already loaded: dlopen handed out the same handle
        // and counted one more reference of its own, which this one does not need.
        for (auto &loaded : loader.modules) {
            if (module->dl && loaded->dl == module->dl) {
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
    // Export names are ASCII; ordinals (values below 0x10000) are offered by device
    // images only.
    std::string name;
    const uintptr_t ordinal = reinterpret_cast<uintptr_t>(lpProcName);
    if (ordinal >= 0x10000) {
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
    if (module->pe && (!name.empty() || (ordinal != 0 && ordinal < 0x10000))) {
        std::string error;
        const uint32_t rva = standin::pe::FindExport(module->pe->headers, module->pe->memory.span(), name,
                                                     static_cast<uint16_t>(name.empty() ? ordinal : 0), &error);
        if (rva) address = module->pe->memory.data() + rva;
        if (!error.empty()) std::fprintf(stderr, "coredll: %s: %s\n", module->path.c_str(), error.c_str());
    } else if (!module->pe && !name.empty()) {
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
