// The device manager alone, with a fake stream device: device names, share modes and the
// driver's own refusal, the calls on a device handle, the device search, the reference on
// the driver's module, deregistration with handles still open, closing while a call is in
// progress, and the communication functions as the serial requests they become.
#include <gtest/gtest.h>

#include <windows.h>

#include <devmgr.h>
#include <pegdser.h>
#include <standin/devmgr.h>
#include <standin/kernel.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comdriver.h"
#include "driver_fixture.h"

namespace {

using qsxtest::kUntouched;
using qsxtest::WaitUntil;

const std::u16string kKey = u"Drivers\\Fake";

// A global record of what happened, shared by fake devices and the fake driver module,
// so that the order between them shows.
std::mutex gLogLock;
std::vector<std::string> gLog;

void Note(const std::string &what) {
    std::lock_guard g(gLogLock);
    gLog.push_back(what);
}

std::vector<std::string> Log() {
    std::lock_guard g(gLogLock);
    return gLog;
}

bool Logged(const std::string &what) {
    auto log = Log();
    return std::find(log.begin(), log.end(), what) != log.end();
}

struct Request {
    DWORD code;
    std::vector<BYTE> in;
    DWORD outSize;
    // What the driver was handed, as it was handed.
    const void *inBuffer;
    DWORD inSize;
    void *outBuffer;
    DWORD *count;
};

class FakeDevice : public standin::StreamDevice {
public:
    ~FakeDevice() override { Note("destroyed"); }

    DWORD_PTR Open(DWORD access, DWORD share) override {
        (void)share;
        std::lock_guard g(lock_);
        if (refuseWith) {
            SetLastError(refuseWith);
            return 0;
        }
        Note("open");
        return ++opens_ + (access & GENERIC_READ ? 0x100 : 0);
    }
    void PreClose(DWORD_PTR) override {
        Note("preclose");
        std::lock_guard g(lock_);
        preClosed_ = true;
        wake_.notify_all();
    }
    void Close(DWORD_PTR) override {
        std::lock_guard g(lock_);
        if (reading_ > 0) closedDuringRead = true;
        Note("close");
    }
    DWORD Read(DWORD_PTR, void *buffer, DWORD count) override {
        if (!blockReads) {
            const DWORD n = std::min<DWORD>(count, static_cast<DWORD>(readData.size()));
            std::memcpy(buffer, readData.data(), n);
            return n;
        }
        std::unique_lock g(lock_);
        ++reading_;
        Note("read-begin");
        wake_.wait(g, [this] { return preClosed_ && released_; });
        Note("read-end");
        --reading_;
        SetLastError(ERROR_OPERATION_ABORTED);
        return static_cast<DWORD>(-1);
    }
    DWORD Write(DWORD_PTR, const void *data, DWORD count) override {
        std::lock_guard g(lock_);
        written.append(static_cast<const char *>(data), count);
        return count;
    }
    BOOL IOControl(DWORD_PTR, DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize,
                   DWORD *actual) override {
        std::lock_guard g(lock_);
        const BYTE *bytes = static_cast<const BYTE *>(in);
        requests.push_back({code, bytes ? std::vector<BYTE>(bytes, bytes + inSize) : std::vector<BYTE>{}, outSize,
                            in, inSize, out, actual});
        if (!ioctlOk) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        const DWORD n = out ? std::min<DWORD>(outSize, static_cast<DWORD>(reply.size())) : 0;
        if (n) std::memcpy(out, reply.data(), n);
        if (actual) *actual = n;
        return TRUE;
    }

    void Release() {
        std::lock_guard g(lock_);
        released_ = true;
        wake_.notify_all();
    }

    // Knobs, set before use.
    DWORD refuseWith = 0;
    bool blockReads = false;  // Read waits for PreClose and Release(), then fails
    bool ioctlOk = true;
    std::string readData = "hello";
    std::vector<BYTE> reply;  // the output of every device-control request
    // Records.
    std::string written;
    std::vector<Request> requests;
    bool closedDuringRead = false;

private:
    std::mutex lock_;
    std::condition_variable wake_;
    DWORD_PTR opens_ = 0;
    int reading_ = 0;
    bool preClosed_ = false;
    bool released_ = false;
};

template <class T>
std::vector<BYTE> Bytes(const T &value) {
    const BYTE *p = reinterpret_cast<const BYTE *>(&value);
    return std::vector<BYTE>(p, p + sizeof value);
}

HANDLE Open(const std::u16string &name, DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD share = 0) {
    return CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

class DevMgr : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard g(gLogLock);
            gLog.clear();
        }
        handlesAtStart_ = standin::OpenHandleCount();
    }
    void TearDown() override {
        for (HANDLE h : registered_) standin::DeregisterStreamDevice(h);
        EXPECT_EQ(standin::StreamDeviceCount(), 0u);
        EXPECT_EQ(standin::OpenHandleCount(), handlesAtStart_) << "a device or search handle was left open";
    }

    std::shared_ptr<FakeDevice> Add(const std::u16string &name, bool legacy = true, HMODULE owner = nullptr) {
        auto device = std::make_shared<FakeDevice>();
        HANDLE h = standin::RegisterStreamDevice(name, legacy, kKey, device, owner);
        EXPECT_NE(h, nullptr);
        if (h) registered_.push_back(h);
        return device;
    }
    // Deregisters the device registered n-th by this test.
    bool Remove(size_t n) {
        const bool ok = standin::DeregisterStreamDevice(registered_.at(n));
        registered_.erase(registered_.begin() + static_cast<long>(n));
        return ok;
    }

    std::vector<HANDLE> registered_;
    size_t handlesAtStart_ = 0;
};

TEST_F(DevMgr, OpensADeviceByEveryFormOfItsName) {
    Add(u"COM11");
    Add(u"QSX5", false);
    struct Case {
        std::u16string name;
        bool opens;
    } cases[] = {
        {u"$device\\COM11", true},  {u"$device/COM11", true},  {u"\\$device\\COM11", true},
        {u"$device\\com11", true},  {u"COM11:", true},         {u"com11:", true},
        {u"$device\\QSX5", true},   {u"QSX5:", false},  // registered without a legacy name
        {u"COM11", false},          {u"$device\\COM12", false}, {u"$device\\", false},
        {u"$deviceCOM11", false},   {u"$device\\COM11:", false}, {u"\\COM11:", false},
        {u":", false},              {u"", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(standin::ToUtf8(c.name));
        SetLastError(kUntouched);
        HANDLE h = Open(c.name);
        if (c.opens) {
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            EXPECT_TRUE(CloseHandle(h));
        } else {
            EXPECT_EQ(h, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
        }
    }
    EXPECT_EQ(CreateFileW(nullptr, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // A name is one device's at a time.
    auto again = std::make_shared<FakeDevice>();
    EXPECT_EQ(standin::RegisterStreamDevice(u"com11", true, kKey, again, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(standin::RegisterStreamDevice(u"", true, kKey, again, nullptr), nullptr);
    EXPECT_EQ(standin::RegisterStreamDevice(u"X1", true, kKey, nullptr, nullptr), nullptr);
}

TEST_F(DevMgr, ShareModesAndTheDriverDecideAboutASecondOpen) {
    auto device = Add(u"COM3");
    const DWORD rw = GENERIC_READ | GENERIC_WRITE, both = FILE_SHARE_READ | FILE_SHARE_WRITE;

    HANDLE first = Open(u"COM3:", rw, 0);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(u"$device\\COM3", rw, both), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Open(u"$device\\COM3", GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    // An open for device control only does not touch the data and is let through.
    HANDLE control = Open(u"$device\\COM3", 0, 0);
    ASSERT_NE(control, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(control));
    EXPECT_TRUE(CloseHandle(first));

    // Once the exclusive open is gone, sharing opens coexist.
    HANDLE a = Open(u"COM3:", rw, both), b = Open(u"COM3:", GENERIC_READ, both);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(b));

    // The driver's refusal reaches the caller, and a refused open is never closed.
    device->refuseWith = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Open(u"COM3:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    device->refuseWith = 0;
    auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "open"), 4);
    EXPECT_EQ(std::count(log.begin(), log.end(), "close"), 4);
    // The refused open left no share record behind.
    HANDLE c = Open(u"COM3:", rw, 0);
    ASSERT_NE(c, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(c));
}

TEST_F(DevMgr, FileCallsReachTheDevice) {
    auto device = Add(u"COM4");
    device->reply = {1, 2, 3, 4, 5, 6};
    HANDLE h = Open(u"COM4:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    char buffer[16] = {};
    DWORD n = kUntouched;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buffer, n), "hello");
    ASSERT_TRUE(WriteFile(h, "abc", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(device->written, "abc");

    DWORD in = 0x01020304;
    BYTE out[4] = {};
    ASSERT_TRUE(DeviceIoControl(h, 0x1B0040, &in, sizeof in, out, sizeof out, &n, nullptr));
    EXPECT_EQ(n, 4u);  // the device wrote 4 of its 6 bytes: the buffer holds no more
    EXPECT_EQ(out[3], 4);
    ASSERT_EQ(device->requests.size(), 1u);
    EXPECT_EQ(device->requests[0].code, 0x1B0040u);
    EXPECT_EQ(device->requests[0].in, Bytes(in));
    device->ioctlOk = false;
    n = kUntouched;
    EXPECT_FALSE(DeviceIoControl(h, 0x1B0040, nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(n, kUntouched);  // the driver wrote no count

    OVERLAPPED overlapped = {};
    EXPECT_FALSE(ReadFile(h, buffer, 1, &n, &overlapped));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(h));

    // Calls on what is not an open device handle.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (HANDLE bad : {h, event, INVALID_HANDLE_VALUE, HANDLE{}}) {
        EXPECT_FALSE(ReadFile(bad, buffer, 1, &n, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        EXPECT_FALSE(DeviceIoControl(bad, 0x1B0040, nullptr, 0, nullptr, 0, &n, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    }
    EXPECT_FALSE(CloseHandle(h));
    CloseHandle(event);

    // Data calls need the access the handle was opened with; device control does not.
    HANDLE control = Open(u"COM4:", 0);
    ASSERT_NE(control, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ReadFile(control, buffer, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(WriteFile(control, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    device->ioctlOk = true;
    EXPECT_TRUE(DeviceIoControl(control, 0x1B0040, nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_TRUE(CloseHandle(control));
}

// The driver gets the caller's buffers, sizes and count pointer as they are: no count of
// the device manager's own in place of a null one, no size zeroed for a null buffer, and
// a count the driver does not write stays as it was.
TEST_F(DevMgr, DeviceControlReachesTheDriverAsTheCallerMadeIt) {
    auto device = Add(u"COM5");
    HANDLE h = Open(u"COM5:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD in = 7, n = kUntouched;
    BYTE out[8];
    const struct {
        const char *what;
        void *in;
        DWORD inSize;
        void *out;
        DWORD outSize;
        DWORD *count;
    } cases[] = {
        {"all given", &in, sizeof in, out, sizeof out, &n},
        {"null buffers with sizes", nullptr, 4, nullptr, 8, &n},
        {"no count", &in, sizeof in, out, sizeof out, nullptr},
        {"nothing", nullptr, 0, nullptr, 0, nullptr},
    };
    device->ioctlOk = false;  // a failing driver writes no count
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        device->requests.clear();
        EXPECT_FALSE(DeviceIoControl(h, 0x1B0040, c.in, c.inSize, c.out, c.outSize, c.count, nullptr));
        ASSERT_EQ(device->requests.size(), 1u);
        const Request &r = device->requests[0];
        EXPECT_EQ(r.inBuffer, c.in);
        EXPECT_EQ(r.inSize, c.inSize);
        EXPECT_EQ(r.outBuffer, c.out);
        EXPECT_EQ(r.outSize, c.outSize);
        EXPECT_EQ(r.count, c.count);
        EXPECT_EQ(n, kUntouched);
    }
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DevMgr, SearchByNameListsDevicesWithTheirRecords) {
    Add(u"COM3");
    Add(u"COM11");
    Add(u"QSX200", false);
    struct Entry {
        std::string legacy, name, key;
    };
    auto search = [](DeviceSearchType type, const std::u16string &pattern) {
        std::vector<Entry> found;
        DEVMGR_DEVICE_INFORMATION di;
        std::memset(&di, 0xCC, sizeof di);
        di.dwSize = sizeof di;
        HANDLE h = FindFirstDevice(type, pattern.c_str(), &di);
        if (h == INVALID_HANDLE_VALUE) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
            return found;
        }
        do {
            EXPECT_EQ(di.dwSize, sizeof di);
            EXPECT_NE(di.hDevice, nullptr);
            EXPECT_EQ(di.hParentDevice, nullptr);
            EXPECT_EQ(di.szBusName[0], 0);
            found.push_back({standin::ToUtf8(di.szLegacyName), standin::ToUtf8(di.szDeviceName),
                             standin::ToUtf8(di.szDeviceKey)});
            std::memset(&di, 0xCC, sizeof di);
            di.dwSize = sizeof di;
        } while (FindNextDevice(h, &di));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
        EXPECT_TRUE(FindClose(h));
        return found;
    };

    auto all = search(DeviceSearchByDeviceName, u"*");
    ASSERT_EQ(all.size(), 3u);
    // "COM11:" does not fit the record's legacy name: the device has none there.
    EXPECT_EQ(all[0].legacy, "COM3:");
    EXPECT_EQ(all[0].name, "$device\\COM3");
    EXPECT_EQ(all[0].key, "Drivers\\Fake");
    EXPECT_EQ(all[1].legacy, "");
    EXPECT_EQ(all[1].name, "$device\\COM11");
    EXPECT_EQ(all[2].legacy, "");
    EXPECT_EQ(all[2].name, "$device\\QSX200");

    struct Case {
        DeviceSearchType type;
        std::u16string pattern;
        std::vector<std::string> names;
    } cases[] = {
        {DeviceSearchByDeviceName, u"COM?", {"$device\\COM3"}},
        {DeviceSearchByDeviceName, u"com1*", {"$device\\COM11"}},
        {DeviceSearchByDeviceName, u"$device\\Q*0", {"$device\\QSX200"}},
        {DeviceSearchByDeviceName, u"*X*", {"$device\\QSX200"}},
        {DeviceSearchByDeviceName, u"COM", {}},
        {DeviceSearchByLegacyName, u"*", {"$device\\COM3", "$device\\COM11"}},
        {DeviceSearchByLegacyName, u"COM1?:", {"$device\\COM11"}},
        {DeviceSearchByLegacyName, u"QSX*", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(standin::ToUtf8(c.pattern));
        std::vector<std::string> names;
        for (const Entry &e : search(c.type, c.pattern)) names.push_back(e.name);
        EXPECT_EQ(names, c.names);
    }

    DEVMGR_DEVICE_INFORMATION di = {};
    di.dwSize = sizeof di - 1;
    EXPECT_EQ(FindFirstDevice(DeviceSearchByDeviceName, u"*", &di), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    di.dwSize = sizeof di;
    EXPECT_EQ(FindFirstDevice(DeviceSearchByBusName, u"*", &di), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    HANDLE h = FindFirstDevice(DeviceSearchByDeviceName, u"*", &di);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    di.dwSize = 8;
    EXPECT_FALSE(FindNextDevice(h, &di));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(FindClose(h));
    di.dwSize = sizeof di;
    EXPECT_FALSE(FindNextDevice(h, &di));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FindClose(h));
}

// ---- the driver's module --------------------------------------------------------------
BOOL FakeDllMain(HANDLE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) Note("unloaded");
    return TRUE;
}

TEST_F(DevMgr, DriverModuleStaysUntilDeregisteredAndLastHandleClosed) {
    standin::RegisterBuiltinModule(u"FakeSerial.dll", [](std::string_view name) -> void * {
        return name == "DllMain" ? reinterpret_cast<void *>(&FakeDllMain) : nullptr;
    });
    struct Case {
        const char *what;
        bool handleOpen;  // a handle stays open across the deregistration
    } cases[] = {{"deregistered last", false}, {"handle closed last", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::lock_guard g(gLogLock);
            gLog.clear();
        }
        HMODULE module = LoadLibraryW(u"FakeSerial.dll");
        ASSERT_NE(module, nullptr);
        std::weak_ptr<FakeDevice> device = Add(u"COM5", true, module);
        // The driver lets go of its own reference: the device manager's keeps the module.
        ASSERT_TRUE(FreeLibrary(module));
        HANDLE h = Open(u"$device\\COM5");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        if (!c.handleOpen) {
            EXPECT_TRUE(CloseHandle(h));
        }

        ASSERT_TRUE(Remove(0));
        EXPECT_FALSE(standin::DeregisterStreamDevice(reinterpret_cast<HANDLE>(1)));
        if (c.handleOpen) {
            EXPECT_FALSE(Logged("unloaded"));
            EXPECT_FALSE(device.expired());
            EXPECT_EQ(Open(u"$device\\COM5"), INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
            EXPECT_TRUE(CloseHandle(h));
        }
        // The driver object goes first, while its code is still there, then the module.
        EXPECT_TRUE(device.expired());
        EXPECT_EQ(Log().back(), "unloaded");
        auto log = Log();
        EXPECT_LT(std::find(log.begin(), log.end(), "destroyed"), std::find(log.begin(), log.end(), "unloaded"));
        WCHAR path[64];
        EXPECT_EQ(GetModuleFileNameW(module, path, 64), 0u);
    }
    standin::UnregisterBuiltinModule(u"FakeSerial.dll");
    // An owner that is not a loaded module is refused (a value above every kernel handle,
    // where module handles live, that no module holds).
    EXPECT_EQ(standin::RegisterStreamDevice(u"COM6", true, kKey, std::make_shared<FakeDevice>(),
                                            reinterpret_cast<HMODULE>(~uintptr_t{0} << 16)),
              nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

TEST_F(DevMgr, DeregisteredDeviceRefusesCallsAndStillCloses) {
    auto device = Add(u"COM7");
    HANDLE h = Open(u"COM7:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Remove(0));

    char buffer[4];
    DWORD n = kUntouched;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(SetCommMask(h, EV_RXCHAR));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(device->written.empty());
    EXPECT_TRUE(device->requests.empty());

    // The name is free again for a new device, which the old handle does not reach.
    auto next = Add(u"COM7");
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_TRUE(next->written.empty());
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Log(), (std::vector<std::string>{"open", "preclose", "close"}));
}

TEST_F(DevMgr, ClosingWakesACallInProgressAndClosesAfterIt) {
    auto device = Add(u"COM8");
    device->blockReads = true;
    HANDLE h = Open(u"COM8:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    BOOL readOk = TRUE;
    DWORD readError = 0;
    std::thread reader([&] {
        char buffer[4];
        DWORD n;
        readOk = ReadFile(h, buffer, sizeof buffer, &n, nullptr);
        readError = GetLastError();
    });
    ASSERT_TRUE(WaitUntil([] { return Logged("read-begin"); }));
    EXPECT_EQ(standin::StreamDeviceCallsInProgress(u"com8"), 1u);
    std::thread closer([&] { EXPECT_TRUE(CloseHandle(h)); });
    ASSERT_TRUE(WaitUntil([] { return Logged("preclose"); }));
    // The handle is already gone for new calls while the old one is still inside.
    char byte;
    DWORD n;
    EXPECT_FALSE(ReadFile(h, &byte, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    device->Release();
    reader.join();
    closer.join();
    EXPECT_FALSE(readOk);
    EXPECT_EQ(readError, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(device->closedDuringRead);
    EXPECT_EQ(standin::StreamDeviceCallsInProgress(u"COM8"), 0u);
    EXPECT_EQ(Log(), (std::vector<std::string>{"open", "read-begin", "preclose", "read-end", "close"}));
}

// ---- communication functions ----------------------------------------------------------
TEST(SerialCodes, HaveThePlatformValues) {
    EXPECT_EQ(IOCTL_SERIAL_SET_BREAK_ON, 0x1B0004u);
    EXPECT_EQ(IOCTL_SERIAL_WAIT_ON_MASK, 0x1B002Cu);
    EXPECT_EQ(IOCTL_SERIAL_GET_COMMSTATUS, 0x1B0030u);
    EXPECT_EQ(IOCTL_SERIAL_SET_DCB, 0x1B0054u);
    EXPECT_EQ(IOCTL_SET_INTERFACE, 0x1B02D0u);
}

TEST_F(DevMgr, CommFunctionsBecomeSerialRequests) {
    auto device = Add(u"COM9");
    HANDLE h = Open(u"COM9:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 7;
    COMMTIMEOUTS timeouts = {1, 2, 3, 4, 5};
    const SERIAL_QUEUE_SIZE queues = {4096, 2048};
    const std::vector<BYTE> none;
    struct Case {
        const char *what;
        std::function<BOOL()> call;
        DWORD code;
        std::vector<BYTE> in;
        DWORD outSize;
    } cases[] = {
        {"SetCommState", [&] { return SetCommState(h, &dcb); }, IOCTL_SERIAL_SET_DCB, Bytes(dcb), 0},
        {"SetCommTimeouts", [&] { return SetCommTimeouts(h, &timeouts); }, IOCTL_SERIAL_SET_TIMEOUTS,
         Bytes(timeouts), 0},
        {"SetCommMask", [&] { return SetCommMask(h, EV_RXCHAR | EV_CTS); }, IOCTL_SERIAL_SET_WAIT_MASK,
         Bytes(DWORD{EV_RXCHAR | EV_CTS}), 0},
        {"PurgeComm", [&] { return PurgeComm(h, PURGE_RXCLEAR | PURGE_TXABORT); }, IOCTL_SERIAL_PURGE,
         Bytes(DWORD{PURGE_RXCLEAR | PURGE_TXABORT}), 0},
        {"SetupComm", [&] { return SetupComm(h, 4096, 2048); }, IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(queues), 0},
        {"SETDTR", [&] { return EscapeCommFunction(h, SETDTR); }, IOCTL_SERIAL_SET_DTR, none, 0},
        {"CLRDTR", [&] { return EscapeCommFunction(h, CLRDTR); }, IOCTL_SERIAL_CLR_DTR, none, 0},
        {"SETRTS", [&] { return EscapeCommFunction(h, SETRTS); }, IOCTL_SERIAL_SET_RTS, none, 0},
        {"CLRRTS", [&] { return EscapeCommFunction(h, CLRRTS); }, IOCTL_SERIAL_CLR_RTS, none, 0},
        {"SETBREAK", [&] { return EscapeCommFunction(h, SETBREAK); }, IOCTL_SERIAL_SET_BREAK_ON, none, 0},
        {"CLRBREAK", [&] { return EscapeCommFunction(h, CLRBREAK); }, IOCTL_SERIAL_SET_BREAK_OFF, none, 0},
        {"SETXOFF", [&] { return EscapeCommFunction(h, SETXOFF); }, IOCTL_SERIAL_SET_XOFF, none, 0},
        {"SETXON", [&] { return EscapeCommFunction(h, SETXON); }, IOCTL_SERIAL_SET_XON, none, 0},
        {"SetCommBreak", [&] { return SetCommBreak(h); }, IOCTL_SERIAL_SET_BREAK_ON, none, 0},
        {"ClearCommBreak", [&] { return ClearCommBreak(h); }, IOCTL_SERIAL_SET_BREAK_OFF, none, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        device->requests.clear();
        EXPECT_TRUE(c.call());
        ASSERT_EQ(device->requests.size(), 1u);
        EXPECT_EQ(device->requests[0].code, c.code);
        EXPECT_EQ(device->requests[0].in, c.in);
        EXPECT_EQ(device->requests[0].outSize, c.outSize);
    }

    // Requests with an answer: each gets the device's reply, decoded.
    device->requests.clear();
    DCB replyDcb = dcb;
    replyDcb.BaudRate = 57600;
    device->reply = Bytes(replyDcb);
    DCB got = {};
    ASSERT_TRUE(GetCommState(h, &got));
    EXPECT_EQ(got.BaudRate, 57600u);
    EXPECT_EQ(got.ByteSize, 7);
    device->reply = Bytes(timeouts);
    COMMTIMEOUTS gotTimeouts = {};
    ASSERT_TRUE(GetCommTimeouts(h, &gotTimeouts));
    EXPECT_EQ(gotTimeouts.WriteTotalTimeoutConstant, 5u);
    device->reply = Bytes(DWORD{EV_TXEMPTY});
    DWORD word = kUntouched;
    ASSERT_TRUE(WaitCommEvent(h, &word, nullptr));
    EXPECT_EQ(word, (DWORD)EV_TXEMPTY);
    word = kUntouched;
    ASSERT_TRUE(GetCommMask(h, &word));
    EXPECT_EQ(word, (DWORD)EV_TXEMPTY);
    word = kUntouched;
    ASSERT_TRUE(GetCommModemStatus(h, &word));
    EXPECT_EQ(word, (DWORD)EV_TXEMPTY);
    SERIAL_DEV_STATUS status = {};
    status.Errors = CE_FRAME | CE_OVERRUN;
    status.ComStat.fCtsHold = 1;
    status.ComStat.cbInQue = 7;
    device->reply = Bytes(status);
    DWORD errors = kUntouched;
    COMSTAT stat = {};
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, (DWORD)(CE_FRAME | CE_OVERRUN));
    EXPECT_EQ(static_cast<DWORD>(stat.fCtsHold), 1u);
    EXPECT_EQ(stat.cbInQue, 7u);
    const std::vector<std::pair<DWORD, DWORD>> asked = {
        {IOCTL_SERIAL_GET_DCB, sizeof(DCB)},        {IOCTL_SERIAL_GET_TIMEOUTS, sizeof(COMMTIMEOUTS)},
        {IOCTL_SERIAL_WAIT_ON_MASK, 4},             {IOCTL_SERIAL_GET_WAIT_MASK, 4},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 4},          {IOCTL_SERIAL_GET_COMMSTATUS, sizeof(SERIAL_DEV_STATUS)}};
    ASSERT_EQ(device->requests.size(), asked.size());
    for (size_t i = 0; i < asked.size(); i++) {
        EXPECT_EQ(device->requests[i].code, asked[i].first) << i;
        EXPECT_EQ(device->requests[i].outSize, asked[i].second) << i;
        EXPECT_TRUE(device->requests[i].in.empty()) << i;
    }

    // The driver's failure is the caller's; bad arguments never reach the driver.
    device->requests.clear();
    device->ioctlOk = false;
    errors = kUntouched;
    EXPECT_FALSE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(errors, kUntouched);
    device->requests.clear();
    EXPECT_FALSE(EscapeCommFunction(h, 99));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    OVERLAPPED overlapped = {};
    EXPECT_FALSE(WaitCommEvent(h, &word, &overlapped));
    EXPECT_FALSE(GetCommState(h, nullptr));
    EXPECT_TRUE(device->requests.empty());
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
