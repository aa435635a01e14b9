// The registry of the simulated device: one tree per process under four predefined roots,
// guarded by one mutex, reached through the platform's Reg* calls and a table of key
// handles. Key and value names are case-insensitive (ASCII folding) and keep the spelling
// they were created with; values are typed bytes of exact size; enumeration follows
// insertion order.
#include "registry_tree.h"

#include <excpt.h>
#include <standin/registry.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#if defined(__i386__)
#include "i386/seh.h"
#endif

namespace standin::regtree {
namespace {

// ---- handle table ----------------------------------------------------------
// A handle is a 32-bit number, never a pointer into the tree:
//   bits 31..30  01 (so it can never equal a predefined root or null)
//   bits 29..16  generation of the slot, bumped on every close
//   bits 15..0   slot index + 1
// A closed handle's slot has moved on to another generation, so using it again gives
// ERROR_INVALID_HANDLE; free slots are reused oldest first, which keeps a stale handle
// from matching a reused slot for a long time.
constexpr uintptr_t kHandleMarker = 0x40000000;
constexpr uint32_t kGenerationMask = 0x3FFF;
constexpr uint32_t kMaxSlots = 0xFFFF;

struct Slot {
    std::shared_ptr<Key> key;  // null while the slot is free
    uint32_t generation = 0;
};

struct State {
    std::mutex mutex;
    std::shared_ptr<Key> roots[4];
    std::vector<Slot> slots;  // guarded by mutex
    std::deque<uint32_t> freeSlots;  // guarded by mutex
    State() {
        for (auto &root : roots) root = std::make_shared<Key>();
    }
};

// Never destroyed: a thread still in a Reg* call at process exit must not meet a
// destroyed mutex.
State &S() {
    static State *state = new State;
    return *state;
}

const RootName kRootNames[] = {
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "HKCR"},
    {HKEY_USERS, "HKEY_USERS", "HKU"},
};

char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? c - u'A' + u'a' : c; }

void MarkDeleted(Key *key) {
    key->deleted = true;
    key->parent = nullptr;
    for (auto &sub : key->subkeys) MarkDeleted(sub.get());
}

}  // namespace

std::mutex &TreeMutex() { return S().mutex; }

Key *RootKey(HKEY root) {
    for (size_t i = 0; i < std::size(kRootNames); ++i)
        if (kRootNames[i].root == root) return S().roots[i].get();
    return nullptr;
}

std::span<const RootName> Roots() { return kRootNames; }

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

std::optional<std::vector<std::u16string>> SplitPath(std::u16string_view path) {
    if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
    if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    std::vector<std::u16string> parts;
    if (path.empty()) return parts;
    for (;;) {
        size_t end = path.find(u'\\');
        std::u16string_view part = path.substr(0, end);
        if (part.empty() || part.size() > kMaxKeyNameLength) return std::nullopt;
        for (char16_t c : part)
            if (c < 0x20) return std::nullopt;
        parts.emplace_back(part);
        if (end == std::u16string_view::npos) break;
        path.remove_prefix(end + 1);
    }
    return parts;
}

static Key *FindSubkey(Key *key, std::u16string_view name) {
    for (auto &sub : key->subkeys)
        if (SameName(sub->name, name)) return sub.get();
    return nullptr;
}

Key *FindPath(Key *from, std::span<const std::u16string> path) {
    Key *key = from;
    for (const auto &name : path) {
        key = FindSubkey(key, name);
        if (!key) return nullptr;
    }
    return key;
}

Key *CreatePath(Key *from, std::span<const std::u16string> path, bool *created) {
    if (from->depth + path.size() > kMaxDepth) return nullptr;
    Key *key = from;
    bool isNew = false;
    for (const auto &name : path) {
        Key *sub = FindSubkey(key, name);
        isNew = !sub;
        if (!sub) {
            auto fresh = std::make_shared<Key>();
            fresh->name = name;
            fresh->parent = key;
            fresh->depth = key->depth + 1;
            sub = fresh.get();
            key->subkeys.push_back(std::move(fresh));
        }
        key = sub;
    }
    if (created) *created = isNew;
    return key;
}

// CE removes a key together with everything below it (desktop Windows refuses a key that
// still has subkeys); handles open on any of those keys go stale rather than dangling.
void DeleteKey(Key *key) {
    Key *parent = key->parent;
    if (!parent) return;
    auto &list = parent->subkeys;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->get() == key) {
            std::shared_ptr<Key> keep = *it;  // handles may still own it
            list.erase(it);
            MarkDeleted(key);
            return;
        }
    }
}

void ClearKey(Key *root) {
    for (auto &sub : root->subkeys) MarkDeleted(sub.get());
    root->subkeys.clear();
    root->values.clear();
}

Value *FindValue(Key *key, std::u16string_view name) {
    for (auto &value : key->values)
        if (SameName(value.name, name)) return &value;
    return nullptr;
}

void SetValue(Key *key, std::u16string_view name, DWORD type, std::vector<BYTE> data) {
    Value *value = FindValue(key, name);
    if (!value) {
        key->values.push_back(Value{std::u16string(name), type, {}});
        value = &key->values.back();
    }
    value->type = type;
    value->data = std::move(data);
}

bool DeleteValue(Key *key, std::u16string_view name) {
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (SameName(it->name, name)) {
            key->values.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace standin::regtree

using namespace standin::regtree;

namespace {

// With the tree mutex held: the key behind a root or an open handle.
LONG Resolve(HKEY hKey, Key **out) {
    if (Key *root = RootKey(hKey)) {
        *out = root;
        return ERROR_SUCCESS;
    }
    uintptr_t v = reinterpret_cast<uintptr_t>(hKey);
    if ((v >> 30) != 1) return ERROR_INVALID_HANDLE;
    uint32_t index = static_cast<uint32_t>(v & 0xFFFF);
    uint32_t generation = static_cast<uint32_t>(v >> 16) & kGenerationMask;
    auto &slots = S().slots;
    if (index == 0 || index > slots.size()) return ERROR_INVALID_HANDLE;
    Slot &slot = slots[index - 1];
    if (!slot.key || slot.generation != generation) return ERROR_INVALID_HANDLE;
    if (slot.key->deleted) return ERROR_BADKEY;
    *out = slot.key.get();
    return ERROR_SUCCESS;
}

// With the tree mutex held: a new handle on `key`, or null when the table is full.
HKEY NewHandle(Key *key) {
    State &s = S();
    uint32_t index;
    if (!s.freeSlots.empty()) {
        index = s.freeSlots.front();
        s.freeSlots.pop_front();
    } else {
        if (s.slots.size() >= kMaxSlots) return nullptr;
        s.slots.emplace_back();
        index = static_cast<uint32_t>(s.slots.size() - 1);
    }
    Slot &slot = s.slots[index];
    slot.key = key->shared_from_this();
    return reinterpret_cast<HKEY>(kHandleMarker | (uintptr_t{slot.generation} << 16) |
                                  (index + 1));
}

std::u16string_view NameOrDefault(LPCWSTR name) { return name ? name : u""; }

// Reading through a bad pointer must raise an access violation the caller can catch, not
// kill the process: the range is first copied with process_vm_readv, which reports an
// unreadable page as EFAULT instead of faulting. (Where that call is not allowed, writing
// the range into a pipe tells the same.) The real copy is done afterwards with memcpy so
// that AddressSanitizer still sees a caller's size that overruns its buffer.
//
// Each copy stays within one page: Linux copies up to the first unreadable page and says
// how much it copied, but qemu-user (which runs the 32-bit build) fails the whole range, so
// a range that crossed into a bad page would be blamed on its first byte.
size_t ChunkWithinPage(const BYTE *at, size_t left, size_t most) {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t toPageEnd = page - (reinterpret_cast<uintptr_t>(at) & (page - 1));
    return std::min({left, toPageEnd, most});
}

bool ProbeWithPipe(const BYTE *data, size_t size, const BYTE **bad) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return true;  // cannot tell; assume readable
    char scratch[4096];
    size_t done = 0;
    bool readable = true;
    while (done < size) {
        size_t chunk = ChunkWithinPage(data + done, size - done, sizeof scratch);
        ssize_t n = write(fds[1], data + done, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            readable = errno != EFAULT;
            *bad = data + done;
            break;
        }
        while (read(fds[0], scratch, static_cast<size_t>(n)) < 0 && errno == EINTR) {
        }
        done += static_cast<size_t>(n);
    }
    close(fds[0]);
    close(fds[1]);
    return readable;
}

// A caller's data that cannot be read. Image code on the calling thread guards such calls
// with __try frames and takes the access violation there, as on the device; a C++
// exception could not pass its frames. Other callers get the C++ exception.
[[noreturn]] void Unreadable(const BYTE *address) {
#if defined(__i386__)
    standin::internal::RaiseAccessViolation(address, false);
#endif
    throw standin::AccessViolation(address);
}

void ProbeReadable(const BYTE *data, size_t size) {
    static thread_local BYTE scratch[4096];
    size_t done = 0;
    while (done < size) {
        size_t chunk = ChunkWithinPage(data + done, size - done, sizeof scratch);
        iovec local{scratch, chunk};
        iovec remote{const_cast<BYTE *>(data + done), chunk};
        ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EFAULT) {
            const BYTE *bad = nullptr;
            if (ProbeWithPipe(data + done, size - done, &bad)) return;
            Unreadable(bad);
        }
        Unreadable(data + done);
    }
}

}  // namespace

extern "C" {

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::lock_guard lock(TreeMutex());
    Key *base;
    if (LONG rc = Resolve(hKey, &base)) return rc;
    auto path = SplitPath(NameOrDefault(lpSubKey));
    if (!path) return ERROR_FILE_NOT_FOUND;  // such a name can never exist
    Key *key = FindPath(base, *path);
    if (!key) return ERROR_FILE_NOT_FOUND;
    HKEY handle = NewHandle(key);
    if (!handle) return ERROR_OUTOFMEMORY;
    *phkResult = handle;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                            LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::lock_guard lock(TreeMutex());
    Key *base;
    if (LONG rc = Resolve(hKey, &base)) return rc;
    auto path = SplitPath(NameOrDefault(lpSubKey));
    if (!path) return ERROR_INVALID_PARAMETER;
    if (S().slots.size() >= kMaxSlots && S().freeSlots.empty()) return ERROR_OUTOFMEMORY;
    bool created = false;
    Key *key = CreatePath(base, *path, &created);
    if (!key) return ERROR_INVALID_PARAMETER;  // too deep
    HKEY handle = NewHandle(key);  // cannot fail: a slot was checked above
    *phkResult = handle;
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    if (RootKey(hKey)) return ERROR_SUCCESS;
    std::lock_guard lock(TreeMutex());
    uintptr_t v = reinterpret_cast<uintptr_t>(hKey);
    if ((v >> 30) != 1) return ERROR_INVALID_HANDLE;
    uint32_t index = static_cast<uint32_t>(v & 0xFFFF);
    uint32_t generation = static_cast<uint32_t>(v >> 16) & kGenerationMask;
    State &s = S();
    if (index == 0 || index > s.slots.size()) return ERROR_INVALID_HANDLE;
    Slot &slot = s.slots[index - 1];
    if (!slot.key || slot.generation != generation) return ERROR_INVALID_HANDLE;
    slot.key.reset();
    slot.generation = (slot.generation + 1) & kGenerationMask;
    s.freeSlots.push_back(index - 1);
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(TreeMutex());
    Key *key;
    if (LONG rc = Resolve(hKey, &key)) return rc;
    const Value *value = FindValue(key, NameOrDefault(lpValueName));
    if (!value) return ERROR_FILE_NOT_FOUND;
    DWORD size = static_cast<DWORD>(value->data.size());
    if (lpType) *lpType = value->type;
    if (!lpcbData) return ERROR_SUCCESS;
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(lpData, value->data.data(), size);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                           const BYTE *lpData, DWORD cbData) {
    if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> bytes;
    if (cbData) {
        ProbeReadable(lpData, cbData);  // throws standin::AccessViolation
        bytes.assign(lpData, lpData + cbData);
    }
    std::lock_guard lock(TreeMutex());
    Key *key;
    if (LONG rc = Resolve(hKey, &key)) return rc;
    SetValue(key, NameOrDefault(lpValueName), dwType, std::move(bytes));
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    std::lock_guard lock(TreeMutex());
    Key *key;
    if (LONG rc = Resolve(hKey, &key)) return rc;
    return DeleteValue(key, NameOrDefault(lpValueName)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// An empty sub-key deletes the key the handle stands for; roots cannot be deleted.
LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(TreeMutex());
    Key *base;
    if (LONG rc = Resolve(hKey, &base)) return rc;
    auto path = SplitPath(lpSubKey);
    if (!path) return ERROR_FILE_NOT_FOUND;
    Key *key = FindPath(base, *path);
    if (!key) return ERROR_FILE_NOT_FOUND;
    if (!key->parent) return ERROR_ACCESS_DENIED;
    DeleteKey(key);
    return ERROR_SUCCESS;
}

// A name buffer that is too small gives ERROR_MORE_DATA and leaves *lpcchName as it was.
LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD,
                          LPWSTR lpClass, LPDWORD lpcchClass, void *lpftLastWriteTime) {
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(TreeMutex());
    Key *key;
    if (LONG rc = Resolve(hKey, &key)) return rc;
    if (dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::u16string &name = key->subkeys[dwIndex]->name;
    if (*lpcchName < name.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpcchClass) {
        if (lpClass && *lpcchClass) lpClass[0] = 0;
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime) std::memset(lpftLastWriteTime, 0, 8);  // a FILETIME; not kept
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(TreeMutex());
    Key *key;
    if (LONG rc = Resolve(hKey, &key)) return rc;
    if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value &value = key->values[dwIndex];
    if (*lpcchValueName < value.name.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(lpValueName, value.name.c_str(), (value.name.size() + 1) * sizeof(WCHAR));
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    if (lpType) *lpType = value.type;
    if (!lpcbData) return ERROR_SUCCESS;
    DWORD size = static_cast<DWORD>(value.data.size());
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(lpData, value.data.data(), size);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

}  // extern "C"

namespace standin {

void ClearRegistry() {
    std::lock_guard lock(TreeMutex());
    for (const RootName &root : Roots()) ClearKey(RootKey(root.root));
}

size_t OpenRegistryKeyCount() {
    std::lock_guard lock(TreeMutex());
    size_t open = 0;
    for (const Slot &slot : S().slots)
        if (slot.key) ++open;
    return open;
}

}  // namespace standin
