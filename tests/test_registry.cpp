// The simulated device's registry through the platform API (names, sizes, error codes,
// handles, enumeration, faults on bad pointers, threads) and its .reg text files (both
// forms, IF blocks, refused files, save and reload, atomic save).
#include <windows.h>

#include <excpt.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "standin/registry.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kSentinel = 0xdeadbeef;

// An open key closed at scope exit.
struct Key {
    HKEY h = nullptr;
    Key() = default;
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    ~Key() {
        if (h) RegCloseKey(h);
    }
    HKEY *operator&() { return &h; }
    operator HKEY() const { return h; }
};

std::vector<BYTE> Bytes(std::initializer_list<int> list) {
    std::vector<BYTE> out;
    for (int b : list) out.push_back(static_cast<BYTE>(b));
    return out;
}

// UTF-16LE bytes of `s`, with its terminating NUL when `nul`.
std::vector<BYTE> Wide(std::u16string_view s, bool nul = true) {
    std::vector<BYTE> out;
    for (char16_t c : s) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    if (nul) out.insert(out.end(), {0, 0});
    return out;
}

struct Stored {
    LONG rc;
    DWORD type;
    std::vector<BYTE> data;
};

Stored Query(HKEY key, const char16_t *name) {
    Stored s{0, kSentinel, {}};
    DWORD size = 0;
    s.rc = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size);
    if (s.rc != ERROR_SUCCESS) return s;
    s.data.resize(size + 1);  // one spare byte: a call must report the exact size
    DWORD cb = size + 1;
    s.rc = RegQueryValueExW(key, name, nullptr, &s.type, s.data.data(), &cb);
    s.data.resize(cb);
    return s;
}

Stored Query(HKEY root, const char16_t *path, const char16_t *name) {
    Key key;
    LONG rc = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) return {rc, kSentinel, {}};
    return Query(key, name);
}

void Set(HKEY root, const char16_t *path, const char16_t *name, DWORD type,
         const std::vector<BYTE> &data) {
    Key key;
    ASSERT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
}

std::string Hex(const void *p, size_t n) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<const BYTE *>(p)[i]);
        out += b;
    }
    return out;
}

// Everything below `key` as seen through enumeration, with names and data in hex, so that
// two registries compare exactly without trusting the .reg writer.
void SnapshotInto(std::string &out, HKEY key, int depth) {
    std::string indent(static_cast<size_t>(depth) * 2, ' ');
    for (DWORD i = 0;; ++i) {
        WCHAR name[16384];
        DWORD cch = 16384, type = kSentinel, cb = 0;
        LONG rc = RegEnumValueW(key, i, name, &cch, nullptr, &type, nullptr, &cb);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        std::vector<BYTE> data(cb);
        cch = 16384;
        ASSERT_EQ(RegEnumValueW(key, i, name, &cch, nullptr, &type, data.data(), &cb), ERROR_SUCCESS);
        out += indent + "value " + Hex(name, cch * 2) + " type " + std::to_string(type) + " = " +
               Hex(data.data(), cb) + "\n";
    }
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD cch = 256;
        LONG rc = RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        out += indent + "key " + Hex(name, cch * 2) + "\n";
        Key sub;
        ASSERT_EQ(RegOpenKeyExW(key, name, 0, KEY_READ, &sub), ERROR_SUCCESS);
        SnapshotInto(out, sub, depth + 1);
    }
}

std::string Snapshot() {
    std::string out;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS}) {
        out += "root\n";
        SnapshotInto(out, root, 1);
    }
    return out;
}

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { standin::ClearRegistry(); }
    void TearDown() override {
        EXPECT_EQ(standin::OpenRegistryKeyCount(), 0u) << "a key handle was left open";
        standin::ClearRegistry();
        if (!dir_.empty()) fs::remove_all(dir_);
    }
    // A fresh folder for this test's files.
    fs::path Dir() {
        if (dir_.empty()) {
            std::string tmpl = (fs::temp_directory_path() / "regtest.XXXXXX").string();
            EXPECT_NE(mkdtemp(tmpl.data()), nullptr);
            dir_ = tmpl;
        }
        return dir_;
    }

private:
    fs::path dir_;
};

// ---- the API -----------------------------------------------------------------------

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
    Set(HKEY_LOCAL_MACHINE, u"Drivers\\USB\\LoadClients", u"Dll", REG_SZ, Wide(u"first.dll"));
    Key again;
    DWORD disposition = kSentinel;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"DRIVERS\\usb\\loadclients", 0, nullptr, 0, 0,
                              nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
    ASSERT_EQ(RegSetValueExW(again, u"DLL", 0, REG_SZ, Wide(u"second.dll").data(), 22), ERROR_SUCCESS);

    Stored s = Query(HKEY_LOCAL_MACHINE, u"drivers\\Usb\\LOADCLIENTS", u"dLL");
    EXPECT_EQ(s.rc, ERROR_SUCCESS);
    EXPECT_EQ(s.data, Wide(u"second.dll"));

    WCHAR name[64];
    DWORD cch = 64;
    ASSERT_EQ(RegEnumValueW(again, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), u"Dll");
    EXPECT_EQ(RegEnumValueW(again, 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    cch = 64;
    ASSERT_EQ(RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), u"Drivers");
}

TEST_F(RegistryTest, ValuesKeepTypeAndExactBytes) {
    const struct {
        const char16_t *name;
        DWORD type;
        std::vector<BYTE> data;
    } cases[] = {
        {u"sz without terminator", REG_SZ, Wide(u"ab", false)},
        {u"odd-sized sz", REG_SZ, Bytes({'a', 0, 'b'})},
        {u"short dword", REG_DWORD, Bytes({1, 2, 3})},
        {u"empty binary", REG_BINARY, {}},
        {u"multi", REG_MULTI_SZ, Wide(std::u16string(u"a\0bc\0", 5))},
        {u"own type", 0x12345678, Bytes({0xff, 0x00, 0x7f})},
        {u"", REG_DWORD, Bytes({0x0a, 0, 0, 0})},  // the default value
    };
    for (const auto &c : cases) Set(HKEY_LOCAL_MACHINE, u"Exact", c.name, c.type, c.data);
    for (const auto &c : cases) {
        Stored s = Query(HKEY_LOCAL_MACHINE, u"Exact", c.name);
        EXPECT_EQ(s.rc, ERROR_SUCCESS);
        EXPECT_EQ(s.type, c.type);
        EXPECT_EQ(s.data, c.data);
    }
    // A null name is the default value too.
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"Exact", nullptr).data, Bytes({0x0a, 0, 0, 0}));
}

TEST_F(RegistryTest, QueryReportsSizesAndLeavesSmallBuffersAlone) {
    const std::vector<BYTE> value = Wide(u"COM");  // 8 bytes
    Set(HKEY_LOCAL_MACHINE, u"Q", u"Prefix", REG_SZ, value);
    Key key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Q", 0, 0, &key), ERROR_SUCCESS);

    DWORD type = kSentinel, cb = kSentinel;
    EXPECT_EQ(RegQueryValueExW(key, u"prefix", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(cb, 8u);

    BYTE buffer[16];
    std::memset(buffer, 0xAB, sizeof buffer);
    cb = 7;
    EXPECT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, nullptr, buffer, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 8u);
    for (BYTE b : buffer) EXPECT_EQ(b, 0xAB);

    cb = 8;
    type = kSentinel;
    EXPECT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, &type, buffer, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 8u);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 8), value);
    EXPECT_EQ(buffer[8], 0xAB);

    // Existence alone, and a buffer without its size.
    EXPECT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, nullptr, buffer, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, ErrorCodes) {
    Set(HKEY_LOCAL_MACHINE, u"Present", u"v", REG_DWORD, Bytes({1, 0, 0, 0}));
    Key present, closed;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Present", 0, 0, &present), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Present", 0, 0, &closed), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    HKEY stale = closed.h;
    closed.h = nullptr;
    HKEY bogus = reinterpret_cast<HKEY>(uintptr_t{0x1234});
    BYTE byte = 0;
    WCHAR name[8];
    DWORD cch = 8, cb = 1;

    HKEY out = reinterpret_cast<HKEY>(uintptr_t{kSentinel});
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Missing\\Deeper", 0, 0, &out), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Query(present, u"missing").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(present, u"missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);  // a root stays
    EXPECT_EQ(RegEnumKeyExW(present, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegSetValueExW(present, u"v", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"a\\\\b", 0, nullptr, 0, 0, nullptr, &out, nullptr),
              ERROR_INVALID_PARAMETER);

    for (HKEY bad : {stale, bogus, static_cast<HKEY>(nullptr)}) {
        SCOPED_TRACE(reinterpret_cast<uintptr_t>(bad));
        EXPECT_EQ(RegOpenKeyExW(bad, u"", 0, 0, &out), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCreateKeyExW(bad, u"x", 0, nullptr, 0, 0, nullptr, &out, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryValueExW(bad, u"v", nullptr, nullptr, &byte, &cb), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegSetValueExW(bad, u"v", 0, REG_BINARY, &byte, 1), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteValueW(bad, u"v"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteKeyW(bad, u"x"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumKeyExW(bad, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumValueW(bad, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
    }
    // The closed slot, reused, does not bring the old handle back to life.
    Key reused;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Present", 0, 0, &reused), ERROR_SUCCESS);
    EXPECT_NE(reused.h, stale);
    EXPECT_EQ(RegQueryValueExW(stale, u"v", nullptr, nullptr, nullptr, &cb), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Query(present, u"v").rc, ERROR_SUCCESS);
}

TEST_F(RegistryTest, HandlesAreDistinctAndNotRoots) {
    Set(HKEY_LOCAL_MACHINE, u"K", u"v", REG_DWORD, Bytes({1, 0, 0, 0}));
    Key a, b, same, viaNull;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"K", 0, 0, &a), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\K", 0, 0, &b), ERROR_SUCCESS);  // leading '\'
    ASSERT_EQ(RegOpenKeyExW(a, u"", 0, 0, &same), ERROR_SUCCESS);  // the same key, a new handle
    ASSERT_EQ(RegOpenKeyExW(a, nullptr, 0, 0, &viaNull), ERROR_SUCCESS);
    for (HKEY h : {a.h, b.h, same.h, viaNull.h})
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS, HKEY{}})
            EXPECT_NE(h, root);
    EXPECT_NE(a.h, b.h);
    EXPECT_NE(a.h, same.h);
    ASSERT_EQ(RegSetValueExW(same, u"w", 0, REG_BINARY, Bytes({9}).data(), 1), ERROR_SUCCESS);
    EXPECT_EQ(Query(b, u"W").data, Bytes({9}));
    EXPECT_EQ(Query(viaNull, u"w").data, Bytes({9}));
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // closing a root is harmless
    // The roots are separate trees.
    EXPECT_EQ(Query(HKEY_CURRENT_USER, u"K", u"v").rc, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, CreateMakesIntermediateKeysAndTellsWhatItDid) {
    Key leaf;
    DWORD disposition = kSentinel;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"\\A\\B\\C", 0, nullptr, 0, 0, nullptr, &leaf,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
    for (const char16_t *path : {u"A", u"A\\B", u"a\\b\\c", u"A\\B\\C\\"}) {
        Key k;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &k), ERROR_SUCCESS)
            << standin::DumpRegistry();
    }
    Key b, c;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A\\B", 0, 0, &b), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExW(b, u"C", 0, nullptr, 0, 0, nullptr, &c, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
}

TEST_F(RegistryTest, DeletedKeyLeavesItsOpenHandlesStale) {
    Set(HKEY_LOCAL_MACHINE, u"A\\B\\C", u"v", REG_DWORD, Bytes({1, 0, 0, 0}));
    Key b, c, parent;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A\\B", 0, 0, &b), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A\\B\\C", 0, 0, &c), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, 0, &parent), ERROR_SUCCESS);

    // The whole subtree goes, even though B has a subkey.
    ASSERT_EQ(RegDeleteKeyW(parent, u"b"), ERROR_SUCCESS);
    Key gone;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A\\B\\C", 0, 0, &gone), ERROR_FILE_NOT_FOUND);
    BYTE byte = 1;
    DWORD cb = 1, cch = 8;
    WCHAR name[8];
    HKEY out;
    for (HKEY stale : {b.h, c.h}) {
        EXPECT_EQ(RegQueryValueExW(stale, u"v", nullptr, nullptr, &byte, &cb), ERROR_BADKEY);
        EXPECT_EQ(RegSetValueExW(stale, u"v", 0, REG_BINARY, &byte, 1), ERROR_BADKEY);
        EXPECT_EQ(RegCreateKeyExW(stale, u"x", 0, nullptr, 0, 0, nullptr, &out, nullptr), ERROR_BADKEY);
        EXPECT_EQ(RegEnumValueW(stale, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_BADKEY);
        EXPECT_EQ(RegDeleteKeyW(stale, u""), ERROR_BADKEY);
    }
    // A key of the same name made afterwards is a new key; the stale handle stays stale.
    Set(HKEY_LOCAL_MACHINE, u"A\\B", u"v", REG_DWORD, Bytes({2, 0, 0, 0}));
    EXPECT_EQ(Query(b, u"v").rc, ERROR_BADKEY);
    EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
    b.h = nullptr;

    // An empty sub-key deletes the key the handle stands for.
    ASSERT_EQ(RegDeleteKeyW(parent, u""), ERROR_SUCCESS);
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"A", u"v").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(parent, u"v").rc, ERROR_BADKEY);
}

TEST_F(RegistryTest, EnumerationFollowsInsertionOrder) {
    for (const char16_t *name : {u"Zeta", u"alpha", u"Mid"})
        Set(HKEY_LOCAL_MACHINE, (std::u16string(u"E\\") + name).c_str(), name, REG_BINARY,
            Bytes({1, 2, 3}));
    Key e;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"E", 0, 0, &e), ERROR_SUCCESS);
    for (const char16_t *name : {u"Zeta", u"alpha", u"Mid"})
        ASSERT_EQ(RegSetValueExW(e, name, 0, REG_DWORD, Bytes({7, 0, 0, 0}).data(), 4), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(e, u"ALPHA"), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(e, u"alpha", 0, REG_DWORD, Bytes({8, 0, 0, 0}).data(), 4), ERROR_SUCCESS);

    std::vector<std::u16string> keys, values;
    WCHAR name[64];
    for (DWORD i = 0;; ++i) {
        DWORD cch = 64;
        LONG rc = RegEnumKeyExW(e, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        keys.emplace_back(name, cch);
    }
    for (DWORD i = 0;; ++i) {
        DWORD cch = 64, type = kSentinel, cb = 4;
        BYTE data[4];
        LONG rc = RegEnumValueW(e, i, name, &cch, nullptr, &type, data, &cb);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(type, (DWORD)REG_DWORD);
        EXPECT_EQ(cb, 4u);
        values.emplace_back(name, cch);
    }
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"Zeta", u"alpha", u"Mid"}));
    EXPECT_EQ(values, (std::vector<std::u16string>{u"Zeta", u"Mid", u"alpha"}));

    // A name buffer without room for the terminator is too small and keeps its count.
    DWORD cch = 4;
    EXPECT_EQ(RegEnumKeyExW(e, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(cch, 4u);
    // A data buffer too small reports the size needed.
    BYTE small[2];
    DWORD cb = 2;
    cch = 64;
    EXPECT_EQ(RegEnumValueW(e, 0, name, &cch, nullptr, nullptr, small, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 4u);
}

TEST_F(RegistryTest, BadDataPointerRaisesAnAccessViolation) {
    const long page = sysconf(_SC_PAGESIZE);
    auto *pages = static_cast<BYTE *>(
        mmap(nullptr, static_cast<size_t>(2 * page), PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, static_cast<size_t>(page), PROT_NONE), 0);
    Key key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"AV", 0, nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_SUCCESS);

    // Wholly unreadable, and readable for 4 bytes before the fault.
    const struct {
        const BYTE *data;
        const BYTE *fault;
    } cases[] = {{pages + page, pages + page}, {pages + page - 4, pages + page}};
    for (const auto &c : cases) {
        bool handled = false;
        const void *where = nullptr;
        DWORD code = 0;
        __try {
            RegSetValueExW(key, u"v", 0, REG_BINARY, c.data, 16);
        } __except (EXCEPTION_EXECUTE_HANDLER) {
            handled = true;
            code = GetExceptionCode();
        }
        try {
            RegSetValueExW(key, u"v", 0, REG_BINARY, c.data, 16);
        } catch (const standin::AccessViolation &av) {
            where = av.address();
        }
        EXPECT_TRUE(handled);
        EXPECT_EQ(code, EXCEPTION_ACCESS_VIOLATION);
        EXPECT_EQ(where, c.fault);
    }
    EXPECT_EQ(Query(key, u"v").rc, ERROR_FILE_NOT_FOUND);  // nothing stored
    // The readable part alone is fine.
    EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_BINARY, pages + page - 4, 4), ERROR_SUCCESS);
    munmap(pages, static_cast<size_t>(2 * page));
}

TEST_F(RegistryTest, ConcurrentUseFromSeveralThreads) {
    constexpr int kThreads = 6, kRounds = 200;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            std::u16string path = u"Shared\\T" + std::u16string(1, static_cast<char16_t>(u'0' + t));
            for (int i = 0; i < kRounds; ++i) {
                HKEY key = nullptr;
                DWORD v = static_cast<DWORD>(i), got = 0, cb = 4;
                if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0, nullptr,
                                    &key, nullptr) != ERROR_SUCCESS) {
                    ++failures;
                    continue;
                }
                LONG set = RegSetValueExW(key, u"n", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4);
                LONG query = RegQueryValueExW(key, u"N", nullptr, nullptr,
                                              reinterpret_cast<BYTE *>(&got), &cb);
                bool ok = set == ERROR_SUCCESS && query == ERROR_SUCCESS && got == v;
                // Thread 0 deletes thread 1's key now and then, under its open handle.
                if (t == 1) ok = ok || set == ERROR_BADKEY || query == ERROR_BADKEY;
                ok = ok && RegSetValueExW(HKEY_LOCAL_MACHINE, u"last", 0, REG_DWORD,
                                          reinterpret_cast<BYTE *>(&v), 4) == ERROR_SUCCESS;
                ok = RegCloseKey(key) == ERROR_SUCCESS && ok;
                if (t == 0 && i % 10 == 0) {
                    LONG rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Shared\\T1");
                    ok = ok && (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND);
                    ok = ok && !standin::DumpWholeRegistry().empty();
                }
                if (!ok) ++failures;
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < kThreads; ++t) {
        if (t == 1) continue;
        std::u16string path = u"Shared\\T" + std::u16string(1, static_cast<char16_t>(u'0' + t));
        EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, path.c_str(), u"n").data, Bytes({kRounds - 1, 0, 0, 0}));
    }
}

// ---- .reg files ------------------------------------------------------------------

TEST_F(RegistryTest, LoadsTheDesktopFormWithEveryValueSyntax) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; a whole-line comment\r\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\Demo]\r\n"
        "@=\"default\"\r\n"
        "\"Path\"=\"\\\\Windows\\\\demo.dll\" ; a comment after the value\r\n"
        "\"Quote\"=\"say \\\"hi\\\"; ok\"\r\n"
        "\"Index\"=dword:0000000a\r\n"
        "\"Short\"=DWORD:ff\r\n"
        "\"Blob\"=hex:01,02,\\\r\n"
        "  03,ff\r\n"
        "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
        "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
        "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\r\n"
        "\"Empty\"=hex:\r\n"
        "\"Gone\"=\"x\"\r\n"
        "\"Gone\"=-\r\n"
        "\"Unicode \xC3\xA9\"=\"\xE2\x82\xAC\"\r\n"
        "\r\n"
        "[HKLM\\Drivers\\Doomed\\Child]\r\n"
        "[-HKEY_LOCAL_MACHINE\\Drivers\\Doomed]\r\n"
        "[HKCU\\Software]\r\n"
        "\"User\"=dword:1\r\n";
    std::string error;
    ASSERT_TRUE(standin::LoadRegText(text, &error)) << error;

    const struct {
        const char16_t *name;
        DWORD type;
        std::vector<BYTE> data;
    } expected[] = {
        {u"", REG_SZ, Wide(u"default")},
        {u"Path", REG_SZ, Wide(u"\\Windows\\demo.dll")},
        {u"Quote", REG_SZ, Wide(u"say \"hi\"; ok")},
        {u"Index", REG_DWORD, Bytes({10, 0, 0, 0})},
        {u"Short", REG_DWORD, Bytes({0xff, 0, 0, 0})},
        {u"Blob", REG_BINARY, Bytes({1, 2, 3, 0xff})},
        {u"Multi", REG_MULTI_SZ, Wide(std::u16string(u"a\0b\0", 4))},
        {u"Expand", REG_EXPAND_SZ, Wide(u"%A%")},
        {u"Qword", 11, Bytes({1, 0, 0, 0, 0, 0, 0, 0})},
        {u"Empty", REG_BINARY, {}},
        {u"Unicode \u00e9", REG_SZ, Wide(u"\u20ac")},
    };
    for (const auto &e : expected) {
        SCOPED_TRACE(testing::PrintToString(std::u16string(e.name)));
        Stored s = Query(HKEY_LOCAL_MACHINE, u"Drivers\\Demo", e.name);
        EXPECT_EQ(s.rc, ERROR_SUCCESS);
        EXPECT_EQ(s.type, e.type);
        EXPECT_EQ(s.data, e.data);
    }
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"Drivers\\Demo", u"Gone").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"Drivers\\Doomed", nullptr).rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software", u"User").data, Bytes({1, 0, 0, 0}));
}

TEST_F(RegistryTest, LoadsThePlatformBuilderForm) {
    // No header, blanks around '=', multi_sz over a continued line, REGEDIT4 not needed.
    const std::string text =
        "; platform.reg\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\USB\\LoadClients\\1234_5678\\Default\\Default\\QSX]\n"
        "   \"Dll\" = \"QSXPDD.dll\"\n"
        "   \"Ports\" = multi_sz:\"COM5:\", \"COM6:\",\\\n"
        "               \"\"\n"
        "   \"Prefix\"=\"COM\"\n";
    std::string error;
    ASSERT_TRUE(standin::LoadRegText(text, &error)) << error;
    const char16_t *key = u"Drivers\\USB\\LoadClients\\1234_5678\\Default\\Default\\QSX";
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, key, u"dll").data, Wide(u"QSXPDD.dll"));
    Stored ports = Query(HKEY_LOCAL_MACHINE, key, u"Ports");
    EXPECT_EQ(ports.type, (DWORD)REG_MULTI_SZ);
    EXPECT_EQ(ports.data, Wide(std::u16string(u"COM5:\0COM6:\0\0", 13)));
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, key, u"Prefix").data, Wide(u"COM"));

    // The same file in UTF-16LE with its BOM, and REGEDIT4 with a UTF-8 BOM.
    standin::ClearRegistry();
    std::string utf16 = "\xFF\xFE";
    for (char c : "REGEDIT4\r\n" + text) utf16 += {c, '\0'};
    ASSERT_TRUE(standin::LoadRegText(utf16, &error)) << error;
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, key, u"Prefix").data, Wide(u"COM"));
    standin::ClearRegistry();
    ASSERT_TRUE(standin::LoadRegText("\xEF\xBB\xBFREGEDIT4\n" + text, &error)) << error;
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, key, u"Prefix").data, Wide(u"COM"));
}

TEST_F(RegistryTest, IfBlocksFollowTheDefinedVariables) {
    const std::string text =
        "[HKLM\\Cfg]\n"
        "IF BSP_SERIAL\n"
        "  \"serial\"=dword:1\n"
        "  IF BSP_DEBUG !\n"
        "    \"quiet\"=dword:1\n"
        "  ELSE\n"
        "    \"verbose\"=dword:1\n"
        "  ENDIF\n"
        "  [HKLM\\Cfg\\Serial]\n"
        "ENDIF\n"
        "IF BSP_NOUSB !\n"
        "\"usb\"=dword:1\n"
        "ENDIF\n"
        "\"always\"=dword:1\n";
    // Values after a block land in the key the block last opened.
    const struct {
        std::vector<std::string> defined;
        std::string found;
    } cases[] = {
        {{}, "Cfg:usb Cfg:always "},
        {{"BSP_SERIAL"}, "Cfg:serial Cfg:quiet Serial:usb Serial:always "},
        {{"bsp_serial", "BSP_DEBUG", "BSP_NOUSB"}, "Cfg:serial Cfg:verbose Serial:always "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.defined));
        standin::ClearRegistry();
        std::string error;
        ASSERT_TRUE(standin::LoadRegText(text, &error, c.defined)) << error;
        std::string found;
        for (const char *key : {"Cfg", "Serial"}) {
            for (const char16_t *name : {u"serial", u"quiet", u"verbose", u"usb", u"always"}) {
                const char16_t *path = std::string(key) == "Cfg" ? u"Cfg" : u"Cfg\\Serial";
                if (Query(HKEY_LOCAL_MACHINE, path, name).rc == ERROR_SUCCESS)
                    found += std::string(key) + ":" +
                             std::string(name, name + std::char_traits<char16_t>::length(name)) + " ";
            }
        }
        EXPECT_EQ(found, c.found);
    }
}

TEST_F(RegistryTest, MalformedFilesAreRefusedWholeNamingTheLine) {
    Set(HKEY_LOCAL_MACHINE, u"Existing", u"keep", REG_DWORD, Bytes({5, 0, 0, 0}));
    const std::string before = Snapshot();
    const struct {
        std::string text;
        int line;
        const char *message;
    } cases[] = {
        {"[HKLM\\A]\n\"a\"=\"ok\"\n\"b\"=\"open\n", 3, "unterminated string"},
        {"[HKLM\\A]\n\"a\"=\"x\\\"\n", 2, "unterminated string"},
        {"[HKLM\\A]\n\"a\"=dword:123456789\n", 2, "bad dword"},
        {"[HKLM\\A]\n\"a\"=dword:\n", 2, "bad dword"},
        {"[HKLM\\A]\n\"a\"=dword:12g\n", 2, "bad dword"},
        {"[HKLM\\A]\n\"a\"=hex:01,2x\n", 2, "bad hex byte"},
        {"[HKLM\\A]\n\"a\"=hex:01,,02\n", 2, "bad hex byte"},
        {"[HKLM\\A]\n\"a\"=hex:01,\\\n 123\n", 2, "bad hex byte"},
        {"[HKLM\\A]\n\"a\"=hex(zz):01\n", 2, "bad value type"},
        {"[HKLM\\A]\n\"a\"=hex(7)01\n", 2, "expected :"},
        {"\"a\"=\"b\"\n[HKLM\\A]\n", 1, "value line before any key"},
        {"[HKLM\\A]\n[-HKLM\\A]\n\"a\"=\"b\"\n", 3, "after a key deletion"},
        {"[HKEY_LOCAL_MACHINE\\A]\n[HKEY_NOWHERE\\B]\n", 2, "unknown root key"},
        {"[HKLM\\A\n", 1, "missing ]"},
        {"[HKLM\\A] junk\n", 1, "unexpected text after the key"},
        {"[HKLM\\A\\\\B]\n", 1, "bad key name"},
        {"[HKLM\\" + std::string(256, 'k') + "]\n", 1, "bad key name"},
        {"[-HKLM]\n", 1, "root key cannot be deleted"},
        {"[HKLM\\A]\n\"a\"=sz:\"b\"\n", 2, "unknown value type"},
        {"[HKLM\\A]\n\"a\"\"b\"\n", 2, "expected ="},
        {"[HKLM\\A]\n\"a\"=\n", 2, "missing value"},
        {"[HKLM\\A]\n\"a\"=\"b\" c\n", 2, "unexpected text after the string"},
        {"[HKLM\\A]\n\"a\"=\"C:\\temp\"\n", 2, "unknown escape"},
        {"[HKLM\\A]\n\"a\"=multi_sz:\"x\" \"y\"\n", 2, "expected ,"},
        {"[HKLM\\A]\nENDIF\n", 2, "ENDIF without IF"},
        {"[HKLM\\A]\nIF X\n\"a\"=dword:1\n", 2, "IF without ENDIF"},
        {"IF X\nELSE\nELSE\nENDIF\n", 3, "second ELSE"},
        {"IF\n", 1, "bad IF line"},
        {"IF X Y\nENDIF\n", 1, "bad IF line"},
        {"#include \"other.reg\"\n", 1, "#include is not supported"},
        {"[HKLM\\A]\nhello\n", 2, "unexpected text"},
        {"[HKLM\\A]\n[HKLM\\B]\nWindows Registry Editor Version 5.00\n", 3, "unexpected text"},
        {"[HKLM\\A]\n\"a\"=\"\xC3\x28\"\n", 2, "invalid UTF-8"},
        {std::string("[HKLM\\A]\n\"a\"=\"\0\"\n", 15), 2, "NUL character"},
        // Errors inside a block that is left out still count.
        {"IF UNDEFINED\n[HKLM\\A]\n\"a\"=dword:xyz\nENDIF\n", 3, "bad dword"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        EXPECT_FALSE(standin::LoadRegText(c.text, &error));
        std::string prefix = "line " + std::to_string(c.line) + ": ";
        EXPECT_EQ(error.substr(0, prefix.size()), prefix) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(Snapshot(), before);
    }
}

TEST_F(RegistryTest, SavedFileLoadsBackExactly) {
    std::vector<BYTE> longBinary;
    for (int i = 0; i < 300; ++i) longBinary.push_back(static_cast<BYTE>(i * 7));
    const struct {
        HKEY root;
        const char16_t *key;
        const char16_t *name;
        DWORD type;
        std::vector<BYTE> data;
    } values[] = {
        {HKEY_LOCAL_MACHINE, u"Plain", u"", REG_SZ, Wide(u"default")},
        {HKEY_LOCAL_MACHINE, u"Plain", u"Str", REG_SZ, Wide(u"a \"quoted\" \\path\\; not a comment")},
        {HKEY_LOCAL_MACHINE, u"Plain", u"Empty", REG_SZ, Wide(u"")},
        {HKEY_LOCAL_MACHINE, u"Plain", u"NoNul", REG_SZ, Wide(u"abc", false)},
        {HKEY_LOCAL_MACHINE, u"Plain", u"Odd", REG_SZ, Bytes({'a'})},
        {HKEY_LOCAL_MACHINE, u"Plain", u"Lines", REG_SZ, Wide(u"one\r\ntwo")},
        {HKEY_LOCAL_MACHINE, u"Plain", u"InnerNul", REG_SZ, Wide(std::u16string(u"a\0b", 3))},
        {HKEY_LOCAL_MACHINE, u"Plain", u"Dword", REG_DWORD, Bytes({0x78, 0x56, 0x34, 0x12})},
        {HKEY_LOCAL_MACHINE, u"Plain", u"ShortDword", REG_DWORD, Bytes({1, 2})},
        {HKEY_LOCAL_MACHINE, u"Plain", u"Long", REG_BINARY, longBinary},
        {HKEY_LOCAL_MACHINE, u"Plain", u"Nothing", REG_NONE, {}},
        {HKEY_LOCAL_MACHINE, u"Plain", u"Multi", REG_MULTI_SZ, Wide(std::u16string(u"x\0y\0\0", 5))},
        {HKEY_LOCAL_MACHINE, u"Plain", u"Big type", 0xFFFFFFFF, Bytes({1})},
        {HKEY_LOCAL_MACHINE, u"Odd]Key;\"name\"[x", u"\"=;\\\r\n", REG_SZ, Wide(u"\u00e9\u20ac\U0001F600")},
        {HKEY_LOCAL_MACHINE, u"Odd]Key;\"name\"[x\\ spaced ", u"  ", REG_DWORD, Bytes({0, 0, 0, 0})},
        {HKEY_LOCAL_MACHINE, u"Surrogate", u"\xD800 alone", REG_SZ, Wide(u"\xDC00")},
        {HKEY_CURRENT_USER, u"User", u"u", REG_DWORD, Bytes({1, 0, 0, 0})},
        {HKEY_CLASSES_ROOT, u"Cls", u"c", REG_DWORD, Bytes({2, 0, 0, 0})},
        {HKEY_USERS, u"Users", u"s", REG_DWORD, Bytes({3, 0, 0, 0})},
    };
    for (const auto &v : values) Set(v.root, v.key, v.name, v.type, v.data);
    Key empty;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Empty\\Leaf", 0, nullptr, 0, 0, nullptr, &empty,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"RootValue", 0, REG_DWORD,
                             Bytes({4, 0, 0, 0}).data(), 4),
              ERROR_SUCCESS);
    const std::string before = Snapshot();

    const fs::path file = Dir() / "platform.reg";
    std::string error;
    ASSERT_TRUE(standin::SaveRegFile(file.string(), &error)) << error;
    const std::string saved = ReadFile(file);
    EXPECT_EQ(saved, standin::SavedRegistryText());
    EXPECT_TRUE(saved.starts_with("Windows Registry Editor Version 5.00\n"));
    EXPECT_NE(saved.find("\"Dword\"=dword:12345678\n"), std::string::npos) << saved;
    std::istringstream lines(saved);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;

    standin::ClearRegistry();
    ASSERT_EQ(Query(HKEY_LOCAL_MACHINE, u"Plain", u"Str").rc, ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(standin::LoadRegFile(file.string(), &error)) << error << "\n" << saved;
    EXPECT_EQ(Snapshot(), before) << saved;
    EXPECT_EQ(standin::SavedRegistryText(), saved);
    // Read as a saved registry too: whole, sealed.
    standin::ClearRegistry();
    standin::SavedForm form = standin::SavedForm::kUnsealed;
    ASSERT_TRUE(standin::LoadSavedRegFile(file.string(), &error, &form)) << error;
    EXPECT_EQ(form, standin::SavedForm::kSealed);
    EXPECT_EQ(Snapshot(), before) << saved;
}

// A saved registry that is not whole is refused with its reason and changes nothing; one
// from before saved files were sealed loads, and says so.
TEST_F(RegistryTest, SavedRegistryThatIsNotWholeIsRefused) {
    Set(HKEY_LOCAL_MACHINE, u"Drivers\\USB\\ClientDrivers\\QSX_PORT", u"Dll", REG_SZ, Wide(u"comdriver.dll"));
    Set(HKEY_LOCAL_MACHINE, u"Drivers\\USB\\ClientDrivers\\QSX_PORT\\CONFIG\\COM11:", u"Interface", REG_DWORD,
        Bytes({2, 0, 0, 0}));
    const std::string sealed = standin::SavedRegistryText();
    const std::string unsealed = standin::DumpWholeRegistry();
    const size_t endLine = sealed.rfind('\n', sealed.size() - 2) + 1;
    ASSERT_TRUE(sealed.substr(endLine).starts_with("; end of the saved registry: ")) << sealed;
    // Cut after the complete line that holds the FIFO key's header.
    const size_t afterLine = sealed.find("\n", sealed.find("CONFIG")) + 1;
    std::string flipped = sealed;
    flipped[sealed.find("dword:00000002") + 13] = '3';
    std::string countWrong = sealed.substr(0, endLine) + "; end of the saved registry: 1 bytes, CRC-32 00000000\n";

    standin::ClearRegistry();
    Set(HKEY_LOCAL_MACHINE, u"Booted", u"v", REG_DWORD, Bytes({1, 0, 0, 0}));
    const std::string booted = Snapshot();
    const struct {
        const char *what;
        std::string text;
        const char *reason;
    } refused[] = {
        {"empty", "", "the file is empty"},
        {"blank", "\n\n  \n", "the file holds only blank lines"},
        {"cut after a complete line", sealed.substr(0, afterLine), "it was cut short"},
        {"cut inside a line", sealed.substr(0, afterLine - 5), "it was cut short"},
        {"cut before the end line", sealed.substr(0, endLine), "it was cut short"},
        {"end line without its newline", sealed.substr(0, sealed.size() - 1), "it was cut short"},
        {"a line after the end line", sealed + "[HKEY_LOCAL_MACHINE\\More]\n", "lines follow its end line"},
        {"one byte changed", flipped, "its text does not match its end line"},
        {"the end line's count wrong", countWrong, "its text does not match its end line"},
        {"the second line gone", "Windows Registry Editor Version 5.00\n" + sealed.substr(sealed.find("\n\n") + 1),
         "its text does not match its end line"},
        {"cut inside the second line", sealed.substr(0, 50), "it holds no key"},
        {"unsealed without a key", "REGEDIT4\n; nothing\n", "it holds no key"},
        {"unsealed and malformed", unsealed + "garbage\n", "line "},
    };
    for (const auto &c : refused) {
        std::string error;
        EXPECT_FALSE(standin::LoadSavedRegText(c.text, &error)) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(Snapshot(), booted) << c.what;
    }

    // What the file said before files were sealed still loads, as unsealed.
    standin::SavedForm form = standin::SavedForm::kSealed;
    std::string error;
    ASSERT_TRUE(standin::LoadSavedRegText(unsealed, &error, &form)) << error;
    EXPECT_EQ(form, standin::SavedForm::kUnsealed);
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"Drivers\\USB\\ClientDrivers\\QSX_PORT\\CONFIG\\COM11:", u"Interface").data,
              Bytes({2, 0, 0, 0}));

    // A file message starts with the path.
    const fs::path file = Dir() / "registry.reg";
    WriteFile(file, "");
    EXPECT_FALSE(standin::LoadSavedRegFile(file.string(), &error));
    EXPECT_EQ(error, file.string() + ": the file is empty");
}

TEST_F(RegistryTest, DumpShowsOneSubtreeInItsStoredSpelling) {
    Set(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\01", u"Key", REG_SZ, Wide(u"Drivers\\X"));
    Set(HKEY_LOCAL_MACHINE, u"Other", u"v", REG_DWORD, Bytes({1, 0, 0, 0}));
    EXPECT_EQ(standin::DumpRegistry(HKEY_LOCAL_MACHINE, u"drivers\\ACTIVE"),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\Drivers\\Active]\n\n"
              "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\01]\n"
              "\"Key\"=\"Drivers\\\\X\"\n\n");
    EXPECT_EQ(standin::DumpRegistry(HKEY_LOCAL_MACHINE, u"Missing"), "");
}

TEST_F(RegistryTest, LoadFileErrorsNameTheFile) {
    const fs::path file = Dir() / "bad.reg";
    WriteFile(file, "[HKLM\\A]\n\n\"a\"=dword:zz\n");
    std::string error;
    EXPECT_FALSE(standin::LoadRegFile(file.string(), &error));
    EXPECT_EQ(error, file.string() + ": line 3: bad dword \"zz\" (expected 1 to 8 hex digits)");
    EXPECT_FALSE(standin::LoadRegFile((Dir() / "missing.reg").string(), &error));
    EXPECT_NE(error.find("missing.reg: cannot open"), std::string::npos) << error;
    EXPECT_FALSE(standin::LoadRegFile(Dir().string(), &error));  // a folder is no file
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

TEST_F(RegistryTest, SaveNeverLeavesAHalfWrittenFile) {
    const fs::path file = Dir() / "platform.reg";
    WriteFile(file, "old contents\n");
    std::vector<BYTE> big(64 * 1024, 0x5A);
    Set(HKEY_LOCAL_MACHINE, u"Big", u"blob", REG_BINARY, big);
    std::string error;

    // The disk "fills" part-way through the new file: the old one stays as it was.
    {
        struct rlimit old;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        struct rlimit small = old;
        small.rlim_cur = 4096;
        auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        bool saved = standin::SaveRegFile(file.string(), &error);
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, oldHandler);
        EXPECT_FALSE(saved);
        EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    }
    EXPECT_EQ(ReadFile(file), "old contents\n");

    // The target cannot be replaced (it is a folder).
    fs::create_directory(Dir() / "folder.reg");
    EXPECT_FALSE(standin::SaveRegFile((Dir() / "folder.reg").string(), &error));
    EXPECT_NE(error.find("cannot replace"), std::string::npos) << error;
    // The folder does not exist.
    EXPECT_FALSE(standin::SaveRegFile((Dir() / "no" / "such.reg").string(), &error));

    // No temporary file is left behind by the failures.
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(Dir())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"folder.reg", "platform.reg"}));

    // And a save that works replaces the file whole.
    ASSERT_TRUE(standin::SaveRegFile(file.string(), &error)) << error;
    EXPECT_EQ(ReadFile(file), standin::SavedRegistryText());
}

}  // namespace
