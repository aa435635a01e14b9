// Resources of the stand-in: the table that generated resource code and the loader of
// device images register into, one section per module (the program, a shared library told
// apart by the image that holds the registering code, or a device image by its file), and the platform calls that read it: FindResourceW,
// LoadResource, SizeofResource and LoadStringW (LockResource is inline in winuser.h).
#include <windows.h>

#include <link.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "standin/gwes.h"
#include "standin/kernel.h"

namespace {

// A module is named by the canonical path of its image; the program is "".
struct Entry {
    std::string module;
    const void *anchor;
    WORD type;
    WORD nameId;
    std::u16string name;  // upper case; empty for a numeric name
    const void *data;
    DWORD size;
};

struct Table {
    std::mutex mutex;
    std::vector<std::unique_ptr<Entry>> entries;  // oldest first; HRSRC points at one
};

Table &TheTable() {
    // Never destroyed: generated code unregisters from static destructors.
    static auto *table = new Table;
    return *table;
}

std::string Canonical(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

const std::string &ProgramPath() {
    static const std::string path = Canonical("/proc/self/exe");
    return path;
}

// The module whose loaded image holds `address`.
std::string ModuleOfAddress(const void *address) {
    struct Search {
        uintptr_t address = 0;
        int index = 0;
        int found = -1;
        std::string name;
    } search;
    search.address = reinterpret_cast<uintptr_t>(address);
    dl_iterate_phdr(
        [](struct dl_phdr_info *info, size_t, void *data) -> int {
            auto *s = static_cast<Search *>(data);
            const int index = s->index++;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr) &ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD) continue;
                const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
                if (s->address >= start && s->address < start + ph.p_memsz) {
                    s->found = index;
                    s->name = info->dlpi_name ? info->dlpi_name : "";
                    return 1;
                }
            }
            return 0;
        },
        &search);
    // The first image listed is the program itself.
    if (search.found <= 0 || search.name.empty()) return "";
    const std::string path = Canonical(search.name);
    return path == ProgramPath() ? std::string() : path;
}

// The module an instance handle names; false when it names none.
bool ModuleOfInstance(HMODULE instance, std::string *module) {
    if (!instance || instance == standin::gwes::ProgramInstance()) {
        module->clear();
        return true;
    }
    WCHAR path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(instance, path, static_cast<DWORD>(std::size(path)));
    if (n == 0 || n >= std::size(path)) return false;
    *module = Canonical(standin::ToUtf8(std::u16string_view(path, n)));
    if (*module == ProgramPath()) module->clear();
    return true;
}

std::u16string Upper(std::u16string_view name) {
    std::u16string upper(name);
    for (char16_t &c : upper) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    return upper;
}

// A resource name or type as the caller gave it: a number (MAKEINTRESOURCE or "#123")
// or an upper-cased string. False for an unusable one.
bool ParseName(LPCWSTR name, WORD *id, std::u16string *text) {
    if (!name) return false;
    if (IS_INTRESOURCE(name)) {
        *id = static_cast<WORD>(reinterpret_cast<uintptr_t>(name));
        text->clear();
        return *id != 0;
    }
    std::u16string_view view(name);
    if (view.size() > 1 && view[0] == u'#') {
        uint32_t value = 0;
        for (char16_t c : view.substr(1)) {
            if (c < u'0' || c > u'9' || value > 0xFFFF) return false;
            value = value * 10 + (c - u'0');
        }
        if (value == 0 || value > 0xFFFF) return false;
        *id = static_cast<WORD>(value);
        text->clear();
        return true;
    }
    *id = 0;
    *text = Upper(view);
    return !text->empty();
}

// With the table lock held: the newest matching entry.
const Entry *Lookup(Table &table, const std::string &module, WORD type, WORD nameId,
                    const std::u16string &name) {
    for (auto it = table.entries.rbegin(); it != table.entries.rend(); ++it) {
        const Entry &e = **it;
        if (e.module == module && e.type == type && e.nameId == nameId && e.name == name) return &e;
    }
    return nullptr;
}

bool Live(Table &table, const Entry *entry) {
    return std::any_of(table.entries.begin(), table.entries.end(),
                       [entry](const auto &e) { return e.get() == entry; });
}

}  // namespace

namespace standin::gwes {

HINSTANCE ProgramInstance() {
    // The image base that device programs are linked at; never a loader or kernel handle.
    return reinterpret_cast<HINSTANCE>(uintptr_t{0x10000});
}

void RegisterResources(const void *anchor, std::span<const ResourceEntry> entries) {
    RegisterModuleResources(ModuleOfAddress(anchor), anchor, entries);
}

void RegisterModuleResources(const std::string &modulePath, const void *anchor,
                             std::span<const ResourceEntry> entries) {
    const std::string module = modulePath.empty() ? modulePath : Canonical(modulePath);
    Table &table = TheTable();
    std::lock_guard lock(table.mutex);
    for (const ResourceEntry &r : entries) {
        auto entry = std::make_unique<Entry>();
        entry->module = module;
        entry->anchor = anchor;
        entry->type = r.type;
        entry->nameId = r.nameString ? 0 : r.nameId;
        if (r.nameString) entry->name = Upper(r.nameString);
        entry->data = r.data;
        entry->size = r.size;
        if (Lookup(table, module, entry->type, entry->nameId, entry->name)) {
            std::fprintf(stderr, "coredll: resource type %u name %s registered twice in %s; the later one wins\n",
                         entry->type,
                         entry->name.empty() ? std::to_string(entry->nameId).c_str()
                                             : standin::ToUtf8(entry->name).c_str(),
                         module.empty() ? "the program" : module.c_str());
        }
        table.entries.push_back(std::move(entry));
    }
}

void UnregisterResources(const void *anchor) {
    Table &table = TheTable();
    std::lock_guard lock(table.mutex);
    std::erase_if(table.entries, [anchor](const auto &e) { return e->anchor == anchor; });
}

}  // namespace standin::gwes

extern "C" {

HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    WORD typeId = 0, nameId = 0;
    std::u16string typeName, name;
    if (!ParseName(lpType, &typeId, &typeName)) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    if (!ParseName(lpName, &nameId, &name)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    std::string module;
    if (!ModuleOfInstance(hModule, &module)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    // Every resource the compiler emits has a numeric type.
    if (!typeName.empty()) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    Table &table = TheTable();
    std::lock_guard lock(table.mutex);
    const Entry *entry = Lookup(table, module, typeId, nameId, name);
    if (!entry) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(const_cast<Entry *>(entry));
}

HGLOBAL WINAPI LoadResource(HMODULE, HRSRC hResInfo) {
    Table &table = TheTable();
    std::lock_guard lock(table.mutex);
    const auto *entry = reinterpret_cast<const Entry *>(hResInfo);
    if (!entry || !Live(table, entry)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<void *>(entry->data);
}

DWORD WINAPI SizeofResource(HMODULE, HRSRC hResInfo) {
    Table &table = TheTable();
    std::lock_guard lock(table.mutex);
    const auto *entry = reinterpret_cast<const Entry *>(hResInfo);
    if (!entry || !Live(table, entry)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return entry->size;
}

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    if (!lpBuffer || cchBufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cchBufferMax > 0) lpBuffer[0] = 0;
    // Strings live in blocks of 16: block n + 1 holds ids 16n to 16n + 15, each as a
    // length word and that many characters.
    const UINT block = (uID >> 4) + 1;
    if (uID > 0xFFFF) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    HRSRC found = FindResourceW(hInstance, MAKEINTRESOURCEW(block), RT_STRING);
    if (!found) return 0;
    const auto *data = static_cast<const BYTE *>(LoadResource(hInstance, found));
    const DWORD size = SizeofResource(hInstance, found);
    if (!data) return 0;
    DWORD offset = 0;
    for (UINT i = 0; i <= (uID & 15); ++i) {
        if (offset + 2 > size) {
            SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
            return 0;
        }
        WORD length;
        std::memcpy(&length, data + offset, 2);
        offset += 2;
        if (offset + 2u * length > size) {
            SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
            return 0;
        }
        if (i == (uID & 15)) {
            if (length == 0) {
                SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
                return 0;
            }
            const auto *text = reinterpret_cast<const WCHAR *>(data + offset);
            if (cchBufferMax == 0) {
                std::memcpy(lpBuffer, &text, sizeof text);
                return length;
            }
            const int copied = std::min<int>(length, cchBufferMax - 1);
            std::memcpy(lpBuffer, text, 2u * static_cast<size_t>(copied));
            lpBuffer[copied] = 0;
            return copied;
        }
        offset += 2u * length;
    }
    return 0;
}

}  // extern "C"
