// The stand-in's device manager: the table of registered stream devices and their names,
// CreateFileW on device names, the calls on device file handles (ReadFile, WriteFile,
// DeviceIoControl, and CloseHandle through the kernel's handle table), the device search
// (FindFirstDevice, FindNextDevice, FindClose), and the reference a device holds on the
// module of its driver.
//
// Lifetime: a Device lives as long as it is registered or a file refers to it. Its driver
// object and module reference are let go together, once the device is deregistered and
// the Close of its last file has returned, so no call can still be running in the
// driver's code when its module is released.
#include <windows.h>

#include <devmgr.h>
#include <standin/devmgr.h>
#include <standin/kernel.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "kernel_internal.h"

using standin::StreamDevice;
using namespace standin::internal;

namespace {

// Device handles are not kernel handles: they live in a range of their own, clear of
// both the kernel's handle values (below 2 GiB) and the loader's module handles (from
// 4 GiB up on a 64-bit build, 2 to 3 GiB on a 32-bit one).
constexpr uintptr_t kDeviceHandleBase =
    sizeof(uintptr_t) > 4 ? static_cast<uintptr_t>(uint64_t{0x7D} << 40) : uintptr_t{0xC0000000};
// The platform's legacy names are at most 5 characters ("COM1:").
constexpr size_t kLegacyNameMax = 5;
constexpr std::u16string_view kNamespace = u"$device";

char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char16_t x, char16_t y) { return Fold(x) == Fold(y); });
}

// '*' matches any run of characters, '?' any one; letter case is ignored.
bool WildcardMatch(std::u16string_view pattern, std::u16string_view text) {
    size_t p = 0, t = 0, star = std::u16string_view::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || Fold(pattern[p]) == Fold(text[t]))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            mark = t;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

// One open of a device, from just before the driver's Open until its Close returned:
// what the share check compares new opens with.
struct OpenRecord {
    const void *file;
    DWORD access;
    DWORD share;
};

struct Device {
    uintptr_t id = 0;
    std::u16string name;  // "COM11"
    std::u16string key;
    bool legacy = false;
    // The fields below are guarded by the manager's lock.
    std::shared_ptr<StreamDevice> ops;  // null once let go
    HMODULE owner = nullptr;            // our module reference, null once released
    bool registered = true;
    std::vector<OpenRecord> opens;
    size_t calls = 0;  // calls inside the driver, on all files

    HANDLE Handle() const { return reinterpret_cast<HANDLE>(kDeviceHandleBase + id); }
};

struct Manager {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<Device>> devices;  // registered ones, oldest first
    uintptr_t nextId = 1;
};

Manager &TheManager() {
    static auto *manager = new Manager;
    return *manager;
}

// What a device that is gone for good lets go of; dropped without any lock held, since
// the driver object's destructor and the module's DllMain may call back in.
struct Leftover {
    std::shared_ptr<StreamDevice> ops;
    HMODULE owner = nullptr;
};

// With the manager's lock held.
Leftover TakeIfDone(Device &device) {
    Leftover left;
    if (!device.registered && device.opens.empty()) {
        left.ops = std::move(device.ops);
        left.owner = std::exchange(device.owner, nullptr);
    }
    return left;
}

void Drop(Leftover left) {
    const DWORD error = GetLastError();
    left.ops.reset();  // the driver's code must still be loaded for its destructor
    if (left.owner) FreeLibrary(left.owner);
    SetLastError(error);
}

bool Conflicts(DWORD access, DWORD share, const OpenRecord &other) {
    // Opens without data access (device-control only) neither restrict nor are restricted.
    constexpr DWORD kData = GENERIC_READ | GENERIC_WRITE;
    if (!(access & kData) || !(other.access & kData)) return false;
    return ((access & GENERIC_READ) && !(other.share & FILE_SHARE_READ)) ||
           ((access & GENERIC_WRITE) && !(other.share & FILE_SHARE_WRITE)) ||
           ((other.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) ||
           ((other.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE));
}

// A handle from CreateFileW. Calls on it are counted so that closing it can wait for them
// before the driver's Close.
class DeviceFile final : public KernelObject {
public:
    DeviceFile(std::shared_ptr<Device> device, DWORD access, DWORD share)
        : device_(std::move(device)), access_(access), share_(share) {}

    DWORD Access() const { return access_; }
    DWORD_PTR Context() const { return context_; }
    void SetContext(DWORD_PTR context) { context_ = context; }

    // Starts a call: the driver to call, or null with the last error set.
    StreamDevice *Enter() {
        std::lock_guard guard(mutex_);
        if (closing_) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        StreamDevice *ops;
        {
            std::lock_guard manager(TheManager().lock);
            if (!device_->registered) {
                SetLastError(ERROR_DEVICE_NOT_CONNECTED);
                return nullptr;
            }
            ops = device_->ops.get();  // alive while this file's open record exists
            ++device_->calls;
        }
        ++calls_;
        return ops;
    }

    void Leave() {
        std::lock_guard guard(mutex_);
        {
            std::lock_guard manager(TheManager().lock);
            --device_->calls;
        }
        if (--calls_ == 0) idle_.notify_all();
    }

    // Adds this file's open record to its device; ERROR_SHARING_VIOLATION when an open
    // already there forbids it. Returns the driver to open, or null.
    StreamDevice *Reserve() {
        Manager &manager = TheManager();
        std::lock_guard guard(manager.lock);
        if (!device_->registered) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        for (const OpenRecord &other : device_->opens) {
            if (Conflicts(access_, share_, other)) {
                SetLastError(ERROR_SHARING_VIOLATION);
                return nullptr;
            }
        }
        device_->opens.push_back({this, access_, share_});
        return device_->ops.get();
    }

    // Takes the open record away again (after a refused open or after Close).
    void Unreserve() {
        Leftover left;
        {
            std::lock_guard guard(TheManager().lock);
            std::erase_if(device_->opens, [this](const OpenRecord &r) { return r.file == this; });
            left = TakeIfDone(*device_);
        }
        Drop(std::move(left));
    }

    // Ends the open: PreClose wakes the calls that wait, Close follows once none is left.
    void Shutdown() {
        {
            std::lock_guard guard(mutex_);
            closing_ = true;
        }
        StreamDevice *ops;
        {
            std::lock_guard guard(TheManager().lock);
            ops = device_->ops.get();
        }
        ops->PreClose(context_);
        {
            std::unique_lock guard(mutex_);
            idle_.wait(guard, [this] { return calls_ == 0; });
        }
        ops->Close(context_);
        Unreserve();
    }

    void OnLastHandleClosed() override { Shutdown(); }

private:
    const std::shared_ptr<Device> device_;
    const DWORD access_;
    const DWORD share_;
    DWORD_PTR context_ = 0;  // set once, before the handle exists

    std::mutex mutex_;
    std::condition_variable idle_;  // calls_ reached 0
    size_t calls_ = 0;              // mutex_
    bool closing_ = false;          // mutex_
};

// A device name as CreateFileW takes it: "$device\COM11", "$device/COM11",
// "\$device\COM11" or the legacy "COM11:". Gives the bare name and whether the legacy
// form was used.
std::optional<std::pair<std::u16string, bool>> ParseDeviceName(std::u16string_view path) {
    auto plain = [](std::u16string_view name) {
        return !name.empty() && name.find_first_of(u"\\/:") == std::u16string_view::npos;
    };
    if (path.size() > 1 && path[0] == u'\\' && path[1] == u'$') path.remove_prefix(1);
    if (path.size() > kNamespace.size() && EqualNoCase(path.substr(0, kNamespace.size()), kNamespace) &&
        (path[kNamespace.size()] == u'\\' || path[kNamespace.size()] == u'/')) {
        std::u16string_view name = path.substr(kNamespace.size() + 1);
        if (!plain(name)) return std::nullopt;
        return std::make_pair(std::u16string(name), false);
    }
    if (path.size() > 1 && path.back() == u':') {
        std::u16string_view name = path.substr(0, path.size() - 1);
        if (!plain(name)) return std::nullopt;
        return std::make_pair(std::u16string(name), true);
    }
    return std::nullopt;
}

std::shared_ptr<Device> FindByName(Manager &manager, std::u16string_view name, bool legacyForm) {
    for (auto &[id, device] : manager.devices) {
        if (EqualNoCase(device->name, name) && (!legacyForm || device->legacy)) return device;
    }
    return nullptr;
}

// ---- device search ------------------------------------------------------------------
struct Found {
    HANDLE device;
    std::u16string legacyName;  // empty when it does not fit the record
    std::u16string key;
    std::u16string name;  // "$device\COM11"
};

class DeviceSearch final : public KernelObject {
public:
    explicit DeviceSearch(std::vector<Found> found) : found_(std::move(found)) {}

    // The next result, or null at the end.
    const Found *Next() {
        std::lock_guard guard(mutex_);
        return next_ < found_.size() ? &found_[next_++] : nullptr;
    }

private:
    std::mutex mutex_;
    const std::vector<Found> found_;
    size_t next_ = 0;  // mutex_
};

void CopyTruncated(WCHAR *dest, size_t capacity, std::u16string_view text) {
    const size_t n = std::min(text.size(), capacity - 1);
    std::copy_n(text.data(), n, dest);
    dest[n] = 0;
}

void Fill(PDEVMGR_DEVICE_INFORMATION pdi, const Found &found) {
    const DWORD size = pdi->dwSize;
    *pdi = DEVMGR_DEVICE_INFORMATION{};
    pdi->dwSize = size;
    pdi->hDevice = found.device;
    CopyTruncated(pdi->szLegacyName, std::size(pdi->szLegacyName), found.legacyName);
    CopyTruncated(pdi->szDeviceKey, std::size(pdi->szDeviceKey), found.key);
    CopyTruncated(pdi->szDeviceName, std::size(pdi->szDeviceName), found.name);
}

bool ValidRecord(PDEVMGR_DEVICE_INFORMATION pdi) {
    if (!pdi || pdi->dwSize < sizeof(DEVMGR_DEVICE_INFORMATION)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

// A call on a device file handle: null (last error set) when the handle is not one.
std::shared_ptr<DeviceFile> FileOf(HANDLE handle) {
    auto file = LookupHandleAs<DeviceFile>(handle);
    if (!file) SetLastError(ERROR_INVALID_HANDLE);
    return file;
}

}  // namespace

namespace standin {

HANDLE RegisterStreamDevice(std::u16string name, bool legacyName, std::u16string deviceKey,
                            std::shared_ptr<StreamDevice> device, HMODULE owner) {
    if (name.empty() || name.find_first_of(u"\\/:") != std::u16string::npos || !device) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // The module reference is taken the way a driver would take one itself: by loading
    // the module again under its own file name.
    HMODULE reference = nullptr;
    if (owner) {
        std::vector<WCHAR> path(4096);
        const DWORD n = GetModuleFileNameW(owner, path.data(), static_cast<DWORD>(path.size()));
        if (n != 0 && n < path.size()) reference = LoadLibraryW(path.data());
        if (reference != owner) {
            if (reference) FreeLibrary(reference);
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
    }
    Manager &manager = TheManager();
    std::unique_lock guard(manager.lock);
    if (FindByName(manager, name, false)) {
        guard.unlock();
        if (reference) FreeLibrary(reference);
        SetLastError(ERROR_ALREADY_EXISTS);
        return nullptr;
    }
    auto record = std::make_shared<Device>();
    record->id = manager.nextId++;
    record->name = std::move(name);
    record->key = std::move(deviceKey);
    record->legacy = legacyName;
    record->ops = std::move(device);
    record->owner = reference;
    manager.devices.emplace(record->id, record);
    return record->Handle();
}

bool DeregisterStreamDevice(HANDLE device) {
    Manager &manager = TheManager();
    Leftover left;
    {
        std::lock_guard guard(manager.lock);
        const uintptr_t value = reinterpret_cast<uintptr_t>(device);
        auto it = value > kDeviceHandleBase ? manager.devices.find(value - kDeviceHandleBase)
                                            : manager.devices.end();
        if (it == manager.devices.end()) return false;
        it->second->registered = false;
        left = TakeIfDone(*it->second);
        manager.devices.erase(it);
    }
    Drop(std::move(left));
    return true;
}

size_t StreamDeviceCount() {
    Manager &manager = TheManager();
    std::lock_guard guard(manager.lock);
    return manager.devices.size();
}

size_t StreamDeviceCallsInProgress(std::u16string_view name) {
    Manager &manager = TheManager();
    std::lock_guard guard(manager.lock);
    auto device = FindByName(manager, name, false);
    return device ? device->calls : 0;
}

}  // namespace standin

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    // Devices exist already: the disposition, attributes and template mean nothing to them.
    (void)lpSecurityAttributes;
    (void)dwCreationDisposition;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // The stand-in has no file system: device names are all CreateFileW knows.
    auto parsed = ParseDeviceName(lpFileName);
    std::shared_ptr<Device> device;
    if (parsed) {
        Manager &manager = TheManager();
        std::lock_guard guard(manager.lock);
        device = FindByName(manager, parsed->first, parsed->second);
    }
    if (!device) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    auto file = std::make_shared<DeviceFile>(device, dwDesiredAccess, dwShareMode);
    StreamDevice *ops = file->Reserve();
    if (!ops) return INVALID_HANDLE_VALUE;
    SetLastError(ERROR_GEN_FAILURE);  // what a driver that refuses without saying why gets
    const DWORD_PTR context = ops->Open(dwDesiredAccess, dwShareMode);
    if (context == 0) {
        file->Unreserve();
        return INVALID_HANDLE_VALUE;
    }
    file->SetContext(context);
    HANDLE handle = CreateHandle(file);
    if (!handle) {
        const DWORD error = GetLastError();
        file->Shutdown();
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    auto file = FileOf(hFile);
    if (!file) return FALSE;
    if (lpOverlapped || (!lpBuffer && nNumberOfBytesToRead)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(file->Access() & GENERIC_READ)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    StreamDevice *ops = file->Enter();
    if (!ops) return FALSE;
    const DWORD n = ops->Read(file->Context(), lpBuffer, nNumberOfBytesToRead);
    file->Leave();
    if (n == static_cast<DWORD>(-1)) return FALSE;
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = n;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    auto file = FileOf(hFile);
    if (!file) return FALSE;
    if (lpOverlapped || (!lpBuffer && nNumberOfBytesToWrite)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(file->Access() & GENERIC_WRITE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    StreamDevice *ops = file->Enter();
    if (!ops) return FALSE;
    const DWORD n = ops->Write(file->Context(), lpBuffer, nNumberOfBytesToWrite);
    file->Leave();
    if (n == static_cast<DWORD>(-1)) return FALSE;
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = n;
    return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    auto file = FileOf(hDevice);
    if (!file) return FALSE;
    if (lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    StreamDevice *ops = file->Enter();
    if (!ops) return FALSE;
    // The driver gets the caller's buffers, sizes and count pointer as they are, as on the
    // device: a null buffer keeps the size it was given, a null count stays null, and the
    // count holds whatever the driver wrote there (nothing, if it wrote nothing).
    const BOOL ok = ops->IOControl(file->Context(), dwIoControlCode, lpInBuffer, nInBufferSize,
                                   lpOutBuffer, nOutBufferSize, lpBytesReturned);
    file->Leave();
    return ok ? TRUE : FALSE;
}

HANDLE WINAPI FindFirstDevice(DeviceSearchType searchType, LPCVOID pvSearchParam,
                              PDEVMGR_DEVICE_INFORMATION pdi) {
    if (!ValidRecord(pdi) || !pvSearchParam) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (searchType != DeviceSearchByLegacyName && searchType != DeviceSearchByDeviceName) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string_view pattern(static_cast<LPCWSTR>(pvSearchParam));
    std::vector<Found> found;
    {
        Manager &manager = TheManager();
        std::lock_guard guard(manager.lock);
        for (auto &[id, device] : manager.devices) {
            const std::u16string legacy = device->name + u":";
            const std::u16string full = std::u16string(kNamespace) + u"\\" + device->name;
            const bool match = searchType == DeviceSearchByLegacyName
                                   ? device->legacy && (WildcardMatch(pattern, legacy) ||
                                                        WildcardMatch(pattern, device->name))
                                   : WildcardMatch(pattern, device->name) || WildcardMatch(pattern, full);
            if (!match) continue;
            found.push_back({device->Handle(),
                             device->legacy && legacy.size() <= kLegacyNameMax ? legacy : u"",
                             device->key, full});
        }
    }
    if (found.empty()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return INVALID_HANDLE_VALUE;
    }
    auto search = std::make_shared<DeviceSearch>(std::move(found));
    HANDLE handle = CreateHandle(search);
    if (!handle) return INVALID_HANDLE_VALUE;
    Fill(pdi, *search->Next());
    return handle;
}

BOOL WINAPI FindNextDevice(HANDLE h, PDEVMGR_DEVICE_INFORMATION pdi) {
    auto search = LookupHandleAs<DeviceSearch>(h);
    if (!search) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!ValidRecord(pdi)) return FALSE;
    const Found *found = search->Next();
    if (!found) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    Fill(pdi, *found);
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    if (!LookupHandleAs<DeviceSearch>(hFindFile) || !CloseKernelHandle(hFindFile)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
