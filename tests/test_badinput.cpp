// Bad input from every outside source, beyond what the area suites and the fuzzers already
// feed: malformed transfers from the adapter through the real reader threads of an
// attached adapter, registry values of another type or size for each value the driver and
// the utility read, over-long names and numbers, .reg and .rc text the registry and dialog
// suites leave out, and transfers the adapter refuses or never answers. Each case says what
// must come of it; none may crash, hang, read past a value, or store what was not meant.
#include <gtest/gtest.h>

#include <windows.h>

#include <kfuncs.h>
#include <standin/gwes.h>
#include <standin/kernel.h>
#include <standin/registry.h>
#include <standin/usbbus.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "attach_fixture.h"
#include "driver_fixture.h"
#include "port_fixture.h"
#include "qsxport.h"
#include "run_qsxport.h"
#include "rcparse.h"
#include "resource.h"

namespace gwes = standin::gwes;
using namespace std::chrono_literals;
using qsxtest::operator+;
using qsxtest::AttachFixture;
using qsxtest::WaitUntil;
using Bytes = std::vector<BYTE>;

namespace {

const std::u16string kDriverKey = u"Drivers\\USB\\ClientDrivers\\QSX_PORT";
const std::u16string kPortKey = kDriverKey + u"\\PORT";
const std::u16string kCaption = u"Velmir Configuration Utility";
constexpr DWORD kMissing = 0xFFFFFFFF;  // a value that should not be there

// ---- bytes on the wire and in the registry ---------------------------------------------------

Bytes Fill(size_t n, BYTE first) {
    Bytes v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<BYTE>(first + i);
    return v;
}
Bytes Text(const char *s) { return Bytes(s, s + strlen(s)); }
// One receive chunk: header (port, big-endian length, or `length` when given) and data.
Bytes Chunk(BYTE port, const Bytes &data, int length = -1) {
    DWORD n = length >= 0 ? static_cast<DWORD>(length) : static_cast<DWORD>(data.size());
    return Bytes{0, port, static_cast<BYTE>(n >> 8), static_cast<BYTE>(n)} + data;
}
// One status record: port and type big-endian, four payload bytes.
Bytes Record(WORD port, WORD type, BYTE b0 = 0, BYTE b1 = 0, BYTE b2 = 0) {
    return {static_cast<BYTE>(port >> 8), static_cast<BYTE>(port), static_cast<BYTE>(type >> 8),
            static_cast<BYTE>(type), b0, b1, b2, 0};
}
Bytes Repeat(const Bytes &b, int times) {
    Bytes out;
    for (int i = 0; i < times; i++) out = out + b;
    return out;
}

// UTF-16LE bytes of `s`, with its terminator when `nul`.
Bytes Wide(std::u16string_view s, bool nul = true) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(static_cast<BYTE>(c));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    if (nul) out.insert(out.end(), {0, 0});
    return out;
}
Bytes Dword(DWORD v) { return {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)}; }

struct Value {
    std::u16string name;
    DWORD type;
    Bytes data;
    bool operator==(const Value &) const = default;
};
Value Sz(std::u16string name, std::u16string_view s) { return {std::move(name), REG_SZ, Wide(s)}; }
Value Num(std::u16string name, DWORD v) { return {std::move(name), REG_DWORD, Dword(v)}; }

void Put(const std::u16string &key, const Value &v) {
    HKEY h;
    DWORD disposition;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, 0, nullptr, &h, &disposition), 0);
    EXPECT_EQ(RegSetValueExW(h, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size())), 0);
    RegCloseKey(h);
}
std::optional<Value> Get(const std::u16string &key, const std::u16string &name) {
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &h) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0, cb = 0;
    std::optional<Value> out;
    if (RegQueryValueExW(h, name.c_str(), nullptr, &type, nullptr, &cb) == ERROR_SUCCESS) {
        Bytes data(cb);
        RegQueryValueExW(h, name.c_str(), nullptr, &type, data.data(), &cb);
        out = Value{name, type, data};
    }
    RegCloseKey(h);
    return out;
}
bool KeyExists(const std::u16string &key) {
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

// The settings a value of another type or size might be mistaken for: each holds the
// bytes of 2 (or 1 for FIFO) in a form the readers must not take as a number.
struct BadNumber {
    const char *name;
    DWORD type;
    Bytes interfaceData, fifoData;
};
const BadNumber kBadNumbers[] = {
    {"REG_SZ", REG_SZ, Wide(u"2"), Wide(u"1")},
    {"REG_BINARY of 2 bytes", REG_BINARY, {2, 0}, {1, 0}},
    {"REG_BINARY of 8 bytes", REG_BINARY, {2, 0, 0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0}},
    {"REG_DWORD of 2 bytes", REG_DWORD, {2, 0}, {1, 0}},
    {"REG_DWORD of 8 bytes", REG_DWORD, {2, 0, 0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0}},
};

// ---- an attached adapter whose ports an application holds open ----------------------------

struct AttachFault;

// A reference to QSXPDD held from the first adapter test on. Whenever the last reference
// goes (a failed attach, a removal, the end of a test), QSXPDD is unloaded at once, and the
// host stack's completion thread may then still be inside its notify routine (see the
// skipped FailedAttach... test); with this reference the code stays where it is.
HMODULE gDriverPin = nullptr;

class AdapterInput : public AttachFixture {
protected:
    void SetUp() override {
        AttachFixture::SetUp();
        if (!gDriverPin) gDriverPin = LoadDriver(u"QSXPDD.dll");
        ASSERT_NE(gDriverPin, nullptr);
    }
    void TearDown() override {
        ClosePorts();
        if (device_) qsxtest::UnplugAndWait(device_);
        AttachFixture::TearDown();
    }
    void PlugWithFault(const AttachFault &c);
    void PlugAdapter(WORD productId, bool highSpeed = true) {
        device_ = Plug(productId, highSpeed);
        ASSERT_TRUE(standin::UsbHasClient(device_));
    }
    // Opens every port afresh (the driver forgets what an earlier open left); reads return
    // at once with what is there.
    void OpenPorts() {
        ClosePorts();
        for (int p = 0; p < adapter_->PortCount(); p++) {
            std::u16string name = u"$device\\COM" + standin::FromUtf8(std::to_string(11 + p));
            HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(h, INVALID_HANDLE_VALUE) << p;
            COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
            ASSERT_TRUE(SetCommTimeouts(h, &t));
            ports_.push_back(h);
        }
    }
    void ClosePorts() {
        for (HANDLE h : ports_) CloseHandle(h);
        ports_.clear();
    }
    DWORD Queued(int p) {
        COMSTAT stat = {};
        DWORD errors = 0;
        return ClearCommError(ports_[p], &errors, &stat) ? stat.cbInQue : kMissing;
    }
    DWORD Errors(int p) {
        COMSTAT stat = {};
        DWORD errors = kMissing;
        ClearCommError(ports_[p], &errors, &stat);
        return errors;
    }
    DWORD Modem(int p) {
        DWORD modem = kMissing;
        GetCommModemStatus(ports_[p], &modem);
        return modem;
    }
    Bytes ReadAll(int p) {
        Bytes buffer(64 * 1024);
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(ports_[p], buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr));
        buffer.resize(got);
        return buffer;
    }

    USB_HANDLE device_ = nullptr;
    std::vector<HANDLE> ports_;
};

// Data transfers the adapter never sends. After each, a good chunk for the last port shows
// that the receive thread is still running and has taken everything before it; every port
// must then hold exactly the bytes of the good chunks meant for it.
TEST_F(AdapterInput, MalformedDataTransfersCostOnlyThemselves) {
    struct Case {
        const char *name;
        std::vector<Bytes> transfers;
        std::map<int, Bytes> expected;  // per port; the rest receive nothing
    };
    struct Adapter {
        WORD productId;
        bool highSpeed;
        std::vector<Case> cases;
    };
    const Bytes full512 = Fill(512, 0x40);
    const Adapter adapters[] = {
        {0x7045, true, {
            {"shorter than a header", {{0x00, 0x01, 0x00}, {0x01}}, {}},
            {"port beyond the adapter", {Chunk(4, Text("x")) + Chunk(1, Text("y"))}, {}},
            {"port 255 after a good chunk", {Chunk(0, Text("ab")) + Chunk(255, Text("cd")) + Chunk(2, Text("ef"))},
             {{0, Text("ab")}}},
            {"length 0xFFFF", {Chunk(2, Text("abc"), 0xFFFF) + Chunk(1, Text("d"))}, {}},
            {"length past the end", {Chunk(1, Text("abc")) + Chunk(2, Fill(10, 1), 20)}, {{1, Text("abc")}}},
            // 4196 bytes: the host takes 4096 and the chunk across that end is dropped.
            {"longer than the host asked",
             {Repeat(Chunk(0, full512), 7) + Chunk(1, Fill(480, 7)) + Chunk(2, Fill(100, 9))},
             {{0, Repeat(full512, 7)}, {1, Fill(480, 7)}}},
            {"empty chunks", {Chunk(0, {}) + Chunk(3, {}) + Chunk(2, Text("ok"))}, {{2, Text("ok")}}},
        }},
        // Full speed: the host asks for one 64-byte packet at a time.
        {0x7020, false, {
            {"chunk longer than the packet", {Chunk(0, Text("hi")) + Chunk(1, Fill(100, 3))}, {{0, Text("hi")}}},
            {"port 2 of two", {Chunk(2, Text("zz")) + Chunk(0, Text("a"))}, {}},
        }},
    };
    for (const Adapter &a : adapters) {
        SCOPED_TRACE(testing::Message() << std::hex << a.productId);
        PlugAdapter(a.productId, a.highSpeed);
        const int last = adapter_->PortCount() - 1;
        BYTE mark = 0xA0;
        for (const Case &c : a.cases) {
            SCOPED_TRACE(c.name);
            OpenPorts();
            for (const Bytes &t : c.transfers) ASSERT_TRUE(adapter_->InjectRawData(t));
            ASSERT_TRUE(adapter_->InjectRawData(Chunk(static_cast<BYTE>(last), {++mark})));
            std::map<int, Bytes> expected = c.expected;
            expected[last].push_back(mark);
            ASSERT_TRUE(WaitUntil([&] { return Queued(last) >= expected[last].size(); }));
            for (int p = 0; p <= last; p++) {
                EXPECT_EQ(ReadAll(p), expected[p]) << "port " << p;
                EXPECT_EQ(Errors(p), 0u) << "port " << p;
            }
        }
        ClosePorts();
        ASSERT_TRUE(qsxtest::UnplugAndWait(device_));
        device_ = nullptr;
    }
}

// Status transfers the adapter never sends. A modem record for port 3 follows each one;
// once it shows, every record before it has been applied, and only the records of good
// form may have touched a port, and only their own.
TEST_F(AdapterInput, MalformedStatusTransfersTouchNoPortTheyDoNotName) {
    constexpr BYTE kFrame = 0x08, kParity = 0x04, kOverrun = 0x02;
    struct Case {
        const char *name;
        Bytes transfer;
        std::array<DWORD, 3> errors, modem;  // ports 0 to 2 afterwards
    };
    const Case cases[] = {
        {"good records for three ports (the control)",
         Record(0, 3, 0, 0, 0xB0) + Record(1, 4, 0, 0, kFrame) + Record(2, 4, 0, 0, kParity),
         {0, CE_FRAME, CE_RXPARITY}, {0xB0, 0, 0}},
        {"seven bytes", {0, 2, 0, 4, 0, 0, kFrame}, {}, {}},
        {"port beyond the adapter first", Record(4, 4, 0, 0, kFrame) + Record(2, 4, 0, 0, kFrame), {}, {}},
        {"port word with a high byte", Record(0x0102, 4, 0, 0, kFrame), {}, {}},
        {"port 0xFFFF", Record(0xFFFF, 3, 0, 0, 0xB0), {}, {}},
        {"types the driver does not know",
         Record(2, 0, 0, 0, kFrame) + Record(2, 1, 0, 0, kFrame) + Record(2, 6, 0, 0, kFrame) +
             Record(2, 0x0104, 0, 0, kFrame) + Record(2, 0xFF03, 0, 0, 0xB0) + Record(1, 4, 0, 0, kParity),
         {0, CE_RXPARITY, 0}, {}},
        {"half a record at the end", Record(0, 4, 0, 0, kOverrun) + Bytes{0, 1, 0, 4, 0}, {CE_OVERRUN, 0, 0}, {}},
        // 520 bytes: the host takes 512, so the last record never arrives.
        {"longer than the host asked", Repeat(Record(0, 9), 64) + Record(2, 4, 0, 0, kFrame), {}, {}},
    };
    PlugAdapter(0x7045);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OpenPorts();
        ASSERT_TRUE(adapter_->InjectRawStatus(c.transfer));
        ASSERT_TRUE(adapter_->InjectRawStatus(Record(3, 3, 0, 0, MS_CTS_ON)));
        ASSERT_TRUE(WaitUntil([&] { return Modem(3) == MS_CTS_ON; }));
        for (int p = 0; p < 3; p++) {
            EXPECT_EQ(Errors(p), c.errors[p]) << "port " << p;
            EXPECT_EQ(Modem(p), c.modem[p]) << "port " << p;
        }
        EXPECT_EQ(Errors(3), 0u);
    }
}

// ---- registry values of another type or size: the driver ---------------------------------------

// What a COM driver named by a value the driver must not use would see.
std::atomic<int> gStrayBinds{0};
HANDLE WINAPI StrayAttach(LPVOID, DWORD port, DWORD) {
    gStrayBinds++;
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(port + 1));
}
BOOL WINAPI StrayDetach(HANDLE) { return TRUE; }
void *StrayLookup(std::string_view name) {
    if (name == "UsbComAttach") return reinterpret_cast<void *>(StrayAttach);
    if (name == "UsbComDetach") return reinterpret_cast<void *>(StrayDetach);
    return nullptr;
}

TEST_F(AdapterInput, ComDriverNameThatDoesNotFitIsNeverReadPastItsEnd) {
    struct Case {
        const char *name;
        Bytes data;
        bool readFails;  // the value cannot be read into the driver's 64 bytes at all
    } cases[] = {
        // Fills the whole buffer: the driver cuts it to 31 characters, a name nothing has.
        {"64 bytes without a terminator", Wide(std::u16string(32, u'Q'), false), false},
        {"200 characters", Wide(std::u16string(200, u'Q')), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Put(kDriverKey, {u"Dll", REG_SZ, c.data});
        standin::ClearConsole();
        USB_HANDLE device = Plug(0x7045);
        EXPECT_FALSE(standin::UsbHasClient(device));
        EXPECT_EQ(CountMessages("SetKeyValues failed!\n"), c.readFails ? 1u : 0u);
        EXPECT_EQ(CountMessages("pUsbFps->ComDriver NULL\n"), 1u);
        EXPECT_EQ(CountMessages("GetProcAddress failed!\n"), 1u);
        EXPECT_TRUE(PortEntries().empty());
        EXPECT_EQ(standin::RunningThreadCount(), 0u);
        qsxtest::UnplugAndWait(device);
    }
}

TEST_F(AdapterInput, ComDriverNameOfAnotherTypeIsNotLoaded) {
    // A library whose name the bytes of these values spell: only a REG_SZ names a library.
    standin::RegisterBuiltinModule(u"QX", StrayLookup);
    struct Case {
        const char *name;
        DWORD type;
        Bytes data;
    } cases[] = {
        {"REG_DWORD", REG_DWORD, Wide(u"QX", false)},
        {"REG_BINARY", REG_BINARY, Wide(u"QX")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Put(kDriverKey, {u"Dll", c.type, c.data});
        gStrayBinds = 0;
        standin::ClearConsole();
        USB_HANDLE device = Plug(0x7045);
        EXPECT_FALSE(standin::UsbHasClient(device));
        EXPECT_EQ(gStrayBinds.load(), 0);
        EXPECT_EQ(CountMessages("SetKeyValues failed!\n"), 1u);
        qsxtest::UnplugAndWait(device);
    }
    standin::UnregisterBuiltinModule(u"QX");
}

// A port's settings key holds values that are no number: the port keeps what the port
// before it had, as if its key were missing, and the request-16 value shows it.
TEST_F(AdapterInput, PortSettingsThatAreNoNumberCountAsMissingAtAttach) {
    Put(kPortKey + u"0", Num(u"Interface", 3));
    std::vector<BadNumber> rows(std::begin(kBadNumbers), std::end(kBadNumbers));
    rows.insert(rows.begin(), {"REG_DWORD (the control)", REG_DWORD, Dword(2), Dword(1)});
    for (const BadNumber &row : rows) {
        SCOPED_TRACE(row.name);
        const bool good = row.type == REG_DWORD && row.interfaceData.size() == 4;
        Put(kPortKey + u"1", {u"Interface", row.type, row.interfaceData});
        Put(kPortKey + u"1", {u"FIFO", row.type, row.fifoData});
        standin::ClearConsole();
        USB_HANDLE device = Plug(0x7045);
        ASSERT_TRUE(standin::UsbHasClient(device));
        std::vector<WORD> modes;
        for (const auto &r : adapter_->VendorLog())
            if (r.setup.bRequest == 0x10) modes.push_back(r.setup.wValue);
        const WORD later = good ? 2 : 3;
        EXPECT_EQ(modes, (std::vector<WORD>{3, later, later, later}));
        // Ports 2 and 3 have no key: two messages each; port 1 adds two when it is unusable.
        EXPECT_EQ(CountMessages("Get KeyValues failed!\n"), good ? 4u : 6u);
        qsxtest::UnplugAndWait(device);
    }
}

// The same values in a port's active-driver entry, read when the port is opened: each
// counts as 0, so the FIFO goes off and the interface is RS-232.
TEST_F(AdapterInput, PortSettingsThatAreNoNumberCountAsZeroAtOpen) {
    PlugAdapter(0x7045);
    const std::u16string entry = PortEntries().at(0).first;
    std::vector<BadNumber> rows(std::begin(kBadNumbers), std::end(kBadNumbers));
    rows.insert(rows.begin(), {"REG_DWORD (the control)", REG_DWORD, Dword(2), Dword(1)});
    for (const BadNumber &row : rows) {
        SCOPED_TRACE(row.name);
        const bool good = row.type == REG_DWORD && row.interfaceData.size() == 4;
        Put(entry, {u"Interface", row.type, row.interfaceData});
        Put(entry, {u"FIFO", row.type, row.fifoData});
        standin::ClearConsole();
        adapter_->ClearVendorLog();
        HANDLE h = CreateFileW(u"$device\\COM11", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::map<BYTE, WORD> sent;
        for (const auto &r : adapter_->VendorLog())
            if (r.setup.wIndex == 0) sent[r.setup.bRequest] = r.setup.wValue;
        ASSERT_TRUE(sent.count(0x0F) && sent.count(0x10));
        EXPECT_EQ(sent[0x0F], good ? 0 : 1);  // 1 turns the FIFO off
        EXPECT_EQ(sent[0x10], good ? 2 : 0);
        EXPECT_EQ(adapter_->InterfaceMode(0), good ? 2 : 0);
        EXPECT_EQ(CountMessages("Get KeyValues failed!\n"), good ? 0u : 2u);
        CloseHandle(h);
    }
}

// ---- transfers the adapter refuses or never answers ---------------------------------------------

// Requests during bring-up that the adapter refuses or never answers: attach goes on or
// fails cleanly, each lost request costing its four seconds and no more.
struct AttachFault {
    const char *name;
    BYTE code;        // every request with this code, or 0 ...
    size_t sequence;  // ... this one request
    qsxsim::Fault fault;
    bool attached;
    size_t timeouts;  // vendor waits that ran out
};
constexpr size_t kFirstBlock = 2;  // the adapter's second request: the image's first block
const AttachFault kAttachFaults[] = {
    {"interface mode never answered", 0x10, 0, qsxsim::Fault::kNeverAnswer, true, 4},
    {"interface mode stalled", 0x10, 0, qsxsim::Fault::kStall, true, 0},
    {"download begin never answered", 0x0C, 0, qsxsim::Fault::kNeverAnswer, false, 1},
    {"one image block never answered", 0, kFirstBlock, qsxsim::Fault::kNeverAnswer, false, 1},
    {"firmware start stalled", 0x0E, 0, qsxsim::Fault::kStall, false, 0},
};

void AdapterInput::PlugWithFault(const AttachFault &c) {
    SCOPED_TRACE(c.name);
    standin::ClearConsole();
    standin::ClearTimedCalls();
    adapter_ = qsxsim::Adapter::Create(0x7045, true);
    if (c.code)
        adapter_->InjectFault(c.code, c.fault);
    else
        adapter_->InjectFaultAt(c.sequence, c.fault);
    USB_HANDLE device = qsxtest::PlugAndWait(adapter_);
    EXPECT_EQ(standin::UsbHasClient(device), c.attached);
    EXPECT_EQ(PortEntries().size(), c.attached ? 4u : 0u);
    EXPECT_EQ(CountMessages("SetUsbInterface failed!\n"), c.attached ? 0u : 1u);
    size_t timeouts = 0;
    for (const auto &t : standin::TimedCalls())
        timeouts += t.kind == standin::TimedCall::kWait && t.ms == 4000 && t.result == WAIT_TIMEOUT;
    EXPECT_EQ(timeouts, c.timeouts);
    if (c.attached) {
        // Refused or lost, the mode request changed nothing on the adapter.
        for (int p = 0; p < 4; p++) EXPECT_EQ(adapter_->InterfaceMode(p), 0) << p;
    } else {
        EXPECT_EQ(standin::RunningThreadCount(), 0u);
    }
    ASSERT_TRUE(qsxtest::UnplugAndWait(device));
}

TEST_F(AdapterInput, RefusedOrUnansweredRequestsDuringAttachNeverHang) {
    Put(kPortKey + u"0", Num(u"Interface", 2));
    for (const AttachFault &c : kAttachFaults) PlugWithFault(c);
}

// Without the pin, a failed attach unloads QSXPDD at once, while the host stack's
// completion thread may still be returning from QSXPDD's notify routine.
TEST_F(AdapterInput, FailedAttachUnloadsTheDriverOnlyAfterItsNotifyRoutineReturned) {
    FreeLibrary(gDriverPin);
    gDriverPin = nullptr;
    for (int i = 0; i < 10; i++)
        for (const AttachFault &c : kAttachFaults)
            if (!c.attached) PlugWithFault(c);
}

TEST_F(AdapterInput, UnansweredRequestsAtOpenDelayItButLeaveThePortWorking) {
    PlugAdapter(0x7045);
    ASSERT_TRUE(adapter_->WireLoopback(0));
    adapter_->InjectFault(0x0F, qsxsim::Fault::kNeverAnswer);
    adapter_->InjectFault(0x10, qsxsim::Fault::kNeverAnswer);
    standin::ClearTimedCalls();
    const DWORD start = GetTickCount();
    HANDLE h = CreateFileW(u"$device\\COM11", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_GE(GetTickCount() - start, 8000u);  // each request waited out its four seconds
    size_t timeouts = 0;
    for (const auto &t : standin::TimedCalls())
        timeouts += t.kind == standin::TimedCall::kWait && t.ms == 4000 && t.result == WAIT_TIMEOUT;
    EXPECT_EQ(timeouts, 2u);
    EXPECT_TRUE(adapter_->FifoOn(0));  // unchanged: the FIFO request never took effect

    // Bytes still go out and come back.
    COMMTIMEOUTS t = {0, 0, 1000000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    const Bytes sent = Text("still here");
    DWORD written = 0, got = 0;
    ASSERT_TRUE(WriteFile(h, sent.data(), static_cast<DWORD>(sent.size()), &written, nullptr));
    Bytes back(sent.size());
    ASSERT_TRUE(ReadFile(h, back.data(), static_cast<DWORD>(back.size()), &got, nullptr));
    back.resize(got);
    EXPECT_EQ(back, sent);
    CloseHandle(h);

    // Answered again, the next open applies the settings at once (the entry has no FIFO
    // value, so the FIFO goes off).
    adapter_->ClearFaults();
    standin::ClearTimedCalls();
    h = CreateFileW(u"$device\\COM11", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(adapter_->FifoOn(0));
    for (const auto &c : standin::TimedCalls()) EXPECT_NE(c.result, static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(h);
}

// A transmit frame the host stack never completes, met through the port as a program uses
// it: the write gives up after the driver's two seconds and fails, the adapter never took
// the frame, and the port goes on: more than its transmit window goes out and comes back
// byte-exact, so the lost frame was not counted against the window.
TEST_F(AdapterInput, ATransmitFrameNeverCompletedFailsItsWriteAndCostsNothingMore) {
    PlugAdapter(0x7045);
    ASSERT_TRUE(adapter_->WireLoopback(0));
    HANDLE h = CreateFileW(u"$device\\COM11", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t = {0, 0, 1000000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    adapter_->ClearOutFrames();
    adapter_->InjectPipeFault(qsxsim::Pipe::kOut, qsxsim::PipeFault::kNeverComplete, 1);
    standin::ClearConsole();
    standin::ClearTimedCalls();

    const Bytes lost = Fill(100, 0x40);
    DWORD written = 0;
    const DWORD start = GetTickCount();
    EXPECT_FALSE(WriteFile(h, lost.data(), static_cast<DWORD>(lost.size()), &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(written, 0u);
    EXPECT_GE(GetTickCount() - start, 2000u);
    EXPECT_EQ(CountMessages("Bulk Error 1\n"), 1u);
    bool timedOut = false;
    for (const auto &c : standin::TimedCalls())
        timedOut |= c.kind == standin::TimedCall::kWait && c.ms == 2000 && c.result == WAIT_TIMEOUT;
    EXPECT_TRUE(timedOut);
    EXPECT_TRUE(adapter_->OutFrames().empty());

    const Bytes sent = Fill(8192, 0x01);
    ASSERT_TRUE(WriteFile(h, sent.data(), static_cast<DWORD>(sent.size()), &written, nullptr));
    EXPECT_EQ(written, sent.size());
    Bytes back(sent.size());
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, back.data(), static_cast<DWORD>(back.size()), &got, nullptr));
    back.resize(got);
    EXPECT_EQ(back, sent);
    CloseHandle(h);
}

// A transmit frame the host stack never completes: WriteUsb gives up after two seconds,
// counts nothing against the transmit window and frees the pipe for the next frame.
class StuckFrame : public qsxtest::PortFixture {};

TEST_F(StuckFrame, WriteGivesUpAfterItsTimeOutAndCountsNothing) {
    qsxtest::ScopedTimeScale fast(0.001);
    SetUpPorts(4);
    Port(0).IsOpen = 1;
    device_->SetBulkOutOutcome(qsxtest::Outcome::kNeverAnswer);
    const Bytes data = Fill(300, 0);
    for (DWORD length : {100u, 300u}) {
        SCOPED_TRACE(length);
        standin::ClearConsole();
        standin::ClearTimedCalls();
        const DWORD start = GetTickCount();
        EXPECT_EQ(WriteUsb(fps_, data.data(), length, 0), 0u);
        EXPECT_GE(GetTickCount() - start, 2000u);
        EXPECT_EQ(standin::ConsoleMessages(),
                  std::vector<std::string>{length <= 252 ? "Bulk Error 1\n" : "Bulk Error 2\n"});
        bool timedOut = false;
        for (const auto &c : standin::TimedCalls())
            timedOut |= c.kind == standin::TimedCall::kWait && c.ms == 2000 && c.result == WAIT_TIMEOUT;
        EXPECT_TRUE(timedOut);
        EXPECT_EQ(Port(0).TxWindowBytes, 0u);
        EXPECT_EQ(Port(0).TxReady, 1u);
        EXPECT_EQ(standin::UsbOpenTransferCount(), 0u);  // the lost transfer was closed
    }
    device_->SetBulkOutOutcome(qsxtest::Outcome::kComplete);
    EXPECT_EQ(WriteUsb(fps_, data.data(), 100, 0), 100u);
    EXPECT_EQ(Port(0).TxWindowBytes, 104u);
}

// ---- registry values of another type or size: the utility --------------------------------------

class UtilityInput : public ::testing::Test {
protected:
    void SetUp() override {
        standin::ClearRegistry();
        gwes::ClearRecords();
        standin::SetTimeScale(0.001);  // discovery pauses two seconds
    }
    void TearDown() override {
        End();
        standin::SetTimeScale(1.0);
        EXPECT_EQ(standin::OpenRegistryKeyCount(), 0u);
    }

    static std::u16string Active(int n) {
        std::string number = n < 10 ? "0" : "";
        number += std::to_string(n);
        return u"Drivers\\Active\\" + standin::FromUtf8(number);
    }
    static void AddEntry(int n, const std::vector<Value> &values) {
        for (const Value &v : values) Put(Active(n), v);
    }
    // An adapter port's entry: QSXPDD's key, a name unless null, and the product id.
    static void AddPort(int n, const char16_t *name, std::vector<Value> more = {}) {
        more.push_back(Sz(u"Key", kDriverKey));
        if (name) more.push_back(Sz(u"Name", name));
        if (std::none_of(more.begin(), more.end(), [](const Value &v) { return v.name == u"USBPID"; }))
            more.push_back(Num(u"USBPID", 0x7045));
        AddEntry(n, more);
    }

    // Starts the program and returns its dialog once discovery is done (null if none came).
    HWND Start() {
        program_ = std::async(std::launch::async, [this] {
            return standin::RunProgram(
                [&] { return qsxtest::RunQsxport(commandLine_.data()); });
        });
        return gwes::WaitForWindow(kCaption, 10s);
    }
    // Ends the program whatever it shows.
    void End() {
        if (!program_.valid()) return;
        for (int i = 0; i < 20 && program_.wait_for(0s) != std::future_status::ready; i++) {
            gwes::AnswerMessageBox(IDCANCEL);
            gwes::AnswerMessageBox(IDOK);
            if (HWND d = gwes::WaitForWindow(kCaption, 100ms)) gwes::Click(d, IDC_EXIT);
            program_.wait_for(500ms);
        }
        EXPECT_EQ(program_.wait_for(10s), std::future_status::ready);
        program_.get();
    }
    static std::vector<std::u16string> Listed(HWND dlg) { return gwes::Control(dlg, IDC_PORTS)->items; }
    static std::u16string Model(HWND dlg) { return gwes::Control(dlg, IDC_MODEL)->text; }

    std::u16string commandLine_;
    std::future<int> program_;
};

// Each value the utility reads from an active-driver entry, stored with another type or
// size, counts as missing: "Key" makes the entry none of the adapter's, "Name" makes the
// port nameless (it gets a COM name), "COMNum" holds no number, "USBPID" no model,
// "Interface" and "FIFO" no setting. Discovery then writes only what it writes for a
// missing value.
TEST_F(UtilityInput, EntryValuesOfAnotherTypeOrSizeCountAsMissing) {
    const std::u16string config = kDriverKey + u"\\CONFIG\\";
    const std::u16string longName(200, u'N');
    struct Check {
        std::u16string key, name;
        std::optional<Value> value;  // nullopt: the value must not be there
    };
    struct Case {
        const char *name;
        std::function<void()> entries;
        std::vector<std::u16string> listed;
        std::u16string model;
        std::vector<Check> checks;
        std::vector<std::u16string> absentKeys;
    };
    const Case cases[] = {
        {"Key",
         [&] {
             AddPort(3, u"COM11:");
             AddEntry(4, {{u"Key", REG_BINARY, Wide(kDriverKey)}, Sz(u"Name", u"COM12:"), Num(u"USBPID", 0x7045)});
             AddEntry(5, {Sz(u"Key", kDriverKey + u"\\" + longName), Sz(u"Name", u"COM13:")});
             AddEntry(6, {{u"Key", REG_MULTI_SZ, Wide(kDriverKey) + Bytes{0, 0}}, Num(u"USBPID", 0x7045)});
         },
         {u"COM11:"}, u"Velmir 7045 -- COM11:  ",
         {{Active(6), u"Name", std::nullopt}, {Active(6), u"COMNum", std::nullopt}},
         {config + u"COM12:", config + u"COM13:"}},
        {"Name",
         [&] {
             AddPort(3, nullptr, {{u"Name", REG_BINARY, Wide(u"COM20:")}});
             AddPort(4, nullptr, {Sz(u"Name", longName)});
             AddPort(5, nullptr, {Num(u"Name", 20)});
             // 256 bytes with no terminator: one character more than the utility reads.
             AddPort(6, nullptr, {{u"Name", REG_SZ, Wide(std::u16string(128, u'C'), false)}});
             // 254 bytes with no terminator: the longest name it reads, kept as it is.
             AddPort(7, nullptr, {{u"Name", REG_SZ, Wide(std::u16string(127, u'K'), false)}});
         },
         {u"COM11:", u"COM12:", u"COM13:", u"COM14:"}, u"Velmir 7045 -- COM11:  ",
         {{Active(3), u"Name", Sz(u"Name", u"COM11:")}, {Active(3), u"COMNum", Num(u"COMNum", 11)},
          {Active(4), u"Name", Sz(u"Name", u"COM12:")}, {Active(5), u"Name", Sz(u"Name", u"COM13:")},
          {Active(6), u"Name", Sz(u"Name", u"COM14:")}, {Active(6), u"COMNum", Num(u"COMNum", 14)},
          {Active(7), u"Name", Value{u"Name", REG_SZ, Wide(std::u16string(127, u'K'), false)}},
          {Active(7), u"COMNum", std::nullopt}},
         {}},
        {"COMNum",
         [&] {
             const std::u16string other = u"Drivers\\BuiltIn\\Serial";
             AddEntry(1, {Sz(u"Key", other), Sz(u"Name", u"COM1:"), Sz(u"COMNum", u"11")});
             AddEntry(2, {Sz(u"Key", other), Sz(u"Name", u"COM2:"), {u"COMNum", REG_BINARY, Dword(12)}});
             AddEntry(3, {Sz(u"Key", other), Num(u"COMNum", 300)});
             AddEntry(4, {Sz(u"Key", other), Num(u"COMNum", 0xFFFFFFFF)});
             AddPort(5, nullptr);
         },
         {u"COM11:"}, u"Velmir 7045 -- COM11:  ",
         {{Active(5), u"Name", Sz(u"Name", u"COM11:")}, {Active(5), u"COMNum", Num(u"COMNum", 11)},
          {Active(1), u"COMNum", Sz(u"COMNum", u"11")}},
         {}},
        {"USBPID",
         [&] {
             AddPort(3, u"COM11:", {Sz(u"USBPID", u"28741")});
             AddPort(4, u"COM12:", {{u"USBPID", REG_BINARY, Dword(0x7045)}});
             AddPort(5, u"COM13:", {{u"USBPID", REG_DWORD, {0x45, 0x70}}});
             AddPort(6, u"COM14:");
         },
         {u"COM11:", u"COM12:", u"COM13:", u"COM14:"}, u"COM11:  Velmir nkown", {}, {}},
        {"Interface and FIFO",
         [&] {
             AddPort(3, u"COM11:", {Sz(u"Interface", u"2"), {u"FIFO", REG_BINARY, {1, 0}}});
             AddPort(4, u"COM12:",
                     {{u"Interface", REG_BINARY, {2, 0, 0, 0, 0, 0, 0, 0}}, {u"FIFO", REG_DWORD, {1, 0}}});
         },
         {u"COM11:", u"COM12:"}, u"Velmir 7045 -- COM11:  ",
         {{config + u"COM11:", u"Interface", Num(u"Interface", 0)}, {config + u"COM11:", u"FIFO", Num(u"FIFO", 0)},
          {config + u"COM12:", u"Interface", Num(u"Interface", 0)}, {config + u"COM12:", u"FIFO", Num(u"FIFO", 0)},
          {Active(3), u"Interface", Sz(u"Interface", u"2")}},
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        standin::ClearRegistry();
        gwes::ClearRecords();
        c.entries();
        HWND dlg = Start();
        ASSERT_NE(dlg, nullptr);
        EXPECT_EQ(Listed(dlg), c.listed);
        EXPECT_EQ(Model(dlg), c.model);
        EXPECT_EQ(gwes::Control(dlg, IDC_INTERFACE)->selection, 0);
        EXPECT_EQ(gwes::Control(dlg, IDC_FIFO)->selection, 0);
        for (const Check &k : c.checks) EXPECT_EQ(Get(k.key, k.name), k.value) << standin::ToUtf8(k.key + u":" + k.name);
        for (const std::u16string &k : c.absentKeys) EXPECT_FALSE(KeyExists(k)) << standin::ToUtf8(k);
        EXPECT_TRUE(gwes::MessageBoxes().empty());
        ASSERT_TRUE(gwes::Click(dlg, IDC_EXIT));
        EXPECT_EQ(program_.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(program_.get(), 0);
    }
}

TEST_F(UtilityInput, PortsWhoseProductCannotBeReadAreNoDevice) {
    AddPort(3, u"COM11:", {Sz(u"USBPID", u"28741")});
    AddPort(4, u"COM12:", {{u"USBPID", REG_DWORD, {0x45, 0x70}}});
    program_ = std::async(std::launch::async, [this] {
        return standin::RunProgram(
            [&] { return qsxtest::RunQsxport(commandLine_.data()); });
    });
    ASSERT_TRUE(WaitUntil([] { return !gwes::MessageBoxes().empty(); }));
    EXPECT_EQ(gwes::MessageBoxes()[0].text, u"Cannot find any Velmir device.");
    ASSERT_TRUE(gwes::AnswerMessageBox(IDOK));
    ASSERT_EQ(program_.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(program_.get(), 0);
}

// Names and numbers beyond what the Ports box lists: a port named past COM255 or with a
// long name is found but not listed, and no port is ever given a number past 255.
TEST_F(UtilityInput, NamesAndNumbersBeyondTheListAreNotListed) {
    AddPort(3, u"COM11:");
    AddPort(4, u"COM300:");
    AddPort(5, (u"COM" + std::u16string(120, u'9') + u":").c_str());
    AddPort(6, u"QSX256:");
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(Listed(dlg), std::vector<std::u16string>{u"COM11:"});
    EXPECT_EQ(Get(Active(4), u"Name"), Sz(u"Name", u"COM300:"));  // left as it was
    EXPECT_EQ(Get(Active(5), u"COMNum"), std::nullopt);
}

TEST_F(UtilityInput, NoFreeComNumberLeavesNoNumberPast255) {
    // Other drivers' ports hold every number the utility hands out.
    for (int n = 11; n <= 255; n++)
        AddEntry(n, {Sz(u"Key", u"Drivers\\BuiltIn\\Serial"), Num(u"COMNum", static_cast<DWORD>(n))});
    AddPort(300, nullptr);
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);
    std::optional<Value> number = Get(Active(300), u"COMNum");
    ASSERT_TRUE(number.has_value());
    DWORD n = 0;
    memcpy(&n, number->data.data(), 4);
    EXPECT_LE(n, 255u);
    // The port is still named after its number and listed, so it is not lost.
    const std::u16string name = u"COM" + standin::FromUtf8(std::to_string(n)) + u":";
    EXPECT_EQ(Get(Active(300), u"Name"), Sz(u"Name", name));
    EXPECT_EQ(Listed(dlg), std::vector<std::u16string>{name});
}

// ---- .reg text the registry suite leaves out ---------------------------------------------------

std::string Utf16(std::string_view text) {
    std::string out = "\xFF\xFE";
    for (char c : text) out += {c, '\0'};
    return out;
}

TEST(RegFileInput, MalformedTextIsRefusedWholeNamingTheLine) {
    standin::ClearRegistry();
    Put(u"Existing", Num(u"keep", 5));
    const std::string before = standin::DumpWholeRegistry();
    std::string deep = "[HKLM";
    for (int i = 0; i < 513; i++) deep += "\\k";
    const struct {
        const char *name;
        std::string text;
        int line;
        const char *message;
    } cases[] = {
        {"UTF-16 cut in half a character", Utf16("[HKLM\\A]\n\"a\"=dword:1\n") + "A", 3,
         "UTF-16 text ends in half a character"},
        {"UTF-16 error line", Utf16("[HKLM\\A]\r\n\"a\"=dword:1\r\n\"b\"=dword:xyz\r\n"), 3, "bad dword"},
        {"CRLF error line", "REGEDIT4\r\n\r\n[HKLM\\A]\r\n\"a\"=hex:zz\r\n", 4, "bad hex byte"},
        {"key line after a continuation", "\\\n[HKLM\\A]\n", 1, "a key line cannot follow a continued line"},
        {"preprocessor line", "#define X 1\n[HKLM\\A]\n", 1, "preprocessor lines are not supported"},
        {"key 513 levels deep", deep + "]\n", 1, "key lies deeper than 512 levels"},
        {"control character in a key name", "[HKLM\\A\x01" "B]\n", 1, "bad key name"},
        {"multi_sz without quotes", "[HKLM\\A]\n\"a\"=multi_sz:x\n", 2, "multi_sz: expected a quoted string"},
        {"overlong UTF-8", "[HKLM\\A]\n\"a\"=\"\xC0\xAF\"\n", 2, "invalid UTF-8"},
        {"UTF-8 past U+10FFFF", "[HKLM\\A]\n\"a\"=\"\xF4\x90\x80\x80\"\n", 2, "invalid UTF-8"},
        {"stray continuation byte", "[HKLM\\A]\n\"\x80\"=dword:1\n", 2, "invalid UTF-8"},
        {"UTF-8 cut at the end of the file", "[HKLM\\A]\n\"a\"=\"b\"\n\xE2\x82", 3, "invalid UTF-8"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(standin::LoadRegText(c.text, &error));
        const std::string prefix = "line " + std::to_string(c.line) + ": ";
        EXPECT_EQ(error.substr(0, prefix.size()), prefix) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(standin::DumpWholeRegistry(), before);
    }
}

// ---- .rc text the dialog suite leaves out --------------------------------------------------------

TEST(RcScriptInput, MalformedScriptsFailWithFileAndLine) {
    std::string deepExpression = "1 DIALOG " + std::string(300, '(') + "1" + std::string(300, ')') + ", 0, 1, 1\n";
    // Each macro stands for two of the one before: 2^24 tokens if expanded.
    std::string bomb = "#define M0 1\n";
    for (int i = 1; i <= 24; i++)
        bomb += "#define M" + std::to_string(i) + " M" + std::to_string(i - 1) + " M" + std::to_string(i - 1) + "\n";
    bomb += "STRINGTABLE\nBEGIN\n  M24 \"x\"\nEND\n";
    std::string chain;
    for (int i = 0; i < 80; i++) chain += "#define C" + std::to_string(i) + " C" + std::to_string(i + 1) + "\n";
    chain += "#define C80 1\n1 DIALOG C0, 0, 1, 1\nBEGIN\nEND\n";
    const struct {
        const char *name;
        std::string script;
        int line;
        const char *message;
    } cases[] = {
        {"number past 32 bits", "1 DIALOG 0, 0, 4294967296, 1\nBEGIN\nEND\n", 1, "does not fit in 32 bits"},
        {"invalid number", "1 DIALOG 0, 0, 12ab, 1\nBEGIN\nEND\n", 1, "invalid number"},
        {"character literal", "1 DIALOG 'a', 0, 1, 1\nBEGIN\nEND\n", 1, "character literals are not supported"},
        {"stray character", "1 DIALOG 0, 0, 1, 1\nBEGIN\n@\nEND\n", 3, "unexpected character '@'"},
        {"invalid UTF-8 in a string", "STRINGTABLE\nBEGIN\n  1 \"\xC3\x28\"\nEND\n", 3, "invalid UTF-8 in string"},
        {"\\x without digits", "STRINGTABLE\nBEGIN\n  1 \"\\xg\"\nEND\n", 3, "\\x without hex digits"},
        {"string of 4097 characters", "STRINGTABLE\nBEGIN\n  1 \"" + std::string(4097, 's') + "\"\nEND\n", 3,
         "string longer than 4096 characters"},
        {"string id past 65535", "STRINGTABLE\nBEGIN\n  70000 \"x\"\nEND\n", 3, "out of range (0 to 65535)"},
        {"STRINGTABLE without END", "STRINGTABLE\nBEGIN\n  1 \"x\"\n", 1, "STRINGTABLE without END"},
        {"second #else", "#if 1\n#else\n#else\n#endif\n", 3, "#else after #else"},
        {"NOT outside a style", "1 DIALOG NOT 1, 0, 1, 1\nBEGIN\nEND\n", 1, "NOT is allowed only in a style"},
        {"font size past 16 bits", "1 DIALOG 0, 0, 1, 1\nFONT 70000, \"x\"\nBEGIN\nEND\n", 2, "font size out of range"},
        {"expression 300 deep", deepExpression, 1, "expression nested too deeply"},
        {"macros expanding to millions", bomb, 28, "too large"},
        {"macro chain 80 deep", chain, 82, "macro expansion nested too deeply"},
        {"file that is no icon", "1 ICON \"text.ico\"\n", 1, "is not an icon file"},
        {"icon of no images", "1 ICON \"empty.ico\"\n", 1, "has 0 images"},
        {"icon cut short", "1 ICON \"cut.ico\"\n", 1, "is truncated"},
    };
    qsxrc::Options options;
    const std::map<std::string, std::string> files = {
        {"text.ico", "hello, world"},
        {"empty.ico", std::string("\0\0\1\0\0\0", 6)},
        {"cut.ico", std::string("\0\0\1\0\2\0\x20\x20\4\0", 10)},
    };
    options.reader = [&](const std::string &path) -> std::optional<std::string> {
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        qsxrc::Script script;
        qsxrc::Error error;
        ASSERT_FALSE(qsxrc::Compile("t.rc", c.script, options, &script, &error));
        EXPECT_EQ(error.file, "t.rc");
        EXPECT_EQ(error.line, c.line) << error.ToString();
        EXPECT_NE(error.message.find(c.message), std::string::npos) << error.ToString();
    }
}

}  // namespace
