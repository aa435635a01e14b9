// The driver's table-driven registry reader and writer, and its install-time registration.
#include <gtest/gtest.h>

#include <standin/kernel.h>
#include <standin/registry.h>
#include <sys/mman.h>

#include <cstdlib>
#include <string>

#include "driver_fixture.h"
#include "install.h"
#include "keyvalues.h"

using qsxtest::kUntouched;

namespace {

const char16_t kKey[] = u"Drivers\\Test\\Values";

class KeyValuesTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin::ClearRegistry();
        standin::ClearConsole();
    }
    void TearDown() override { EXPECT_EQ(standin::OpenRegistryKeyCount(), 0u); }
    static void Put(LPCWSTR name, DWORD value) {
        HKEY key;
        DWORD disposition;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, 0, nullptr, &key,
                                  &disposition),
                  ERROR_SUCCESS);
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<BYTE *>(&value), sizeof value);
        RegCloseKey(key);
    }
    static std::vector<BYTE> Get(LPCWSTR name, DWORD *type = nullptr) {
        HKEY key;
        std::vector<BYTE> out;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, 0, &key) != ERROR_SUCCESS) return out;
        DWORD cb = 0, t = 0;
        if (RegQueryValueExW(key, name, nullptr, &t, nullptr, &cb) == ERROR_SUCCESS) {
            out.resize(cb);
            RegQueryValueExW(key, name, nullptr, &t, out.data(), &cb);
        }
        if (type) *type = t;
        RegCloseKey(key);
        return out;
    }
};

TEST_F(KeyValuesTest, ReadFillsEntriesInOrderUntilOneFails) {
    Put(u"Interface", 2);
    Put(u"FIFO", 1);
    DWORD a = kUntouched, b = kUntouched;
    KeyValue both[] = {{u"interface", REG_DWORD, 4, &a}, {u"FIFO", REG_DWORD, 4, &b}, {}};
    EXPECT_TRUE(GetSetKeyValues(kKey, both, 0, 0));
    EXPECT_EQ(a, 2u);
    EXPECT_EQ(b, 1u);
    EXPECT_EQ(both[0].Type, static_cast<DWORD>(REG_DWORD));

    a = b = kUntouched;
    KeyValue secondMissing[] = {{u"Interface", REG_DWORD, 4, &a}, {u"Nope", REG_DWORD, 4, &b}, {}};
    EXPECT_FALSE(GetSetKeyValues(kKey, secondMissing, 0, 0));
    EXPECT_EQ(a, 2u);
    EXPECT_EQ(b, kUntouched);

    a = kUntouched;
    KeyValue noKey[] = {{u"Interface", REG_DWORD, 4, &a}, {}};
    EXPECT_FALSE(GetSetKeyValues(u"Drivers\\Test\\Missing", noKey, 0, 0));
    EXPECT_EQ(a, kUntouched);
    EXPECT_FALSE(GetSetKeyValues(nullptr, noKey, 0, 0));
    EXPECT_FALSE(GetSetKeyValues(kKey, nullptr, 0, 0));
}

TEST_F(KeyValuesTest, ValueLongerThanTheBufferFailsTheRead) {
    WCHAR name[4] = {u'x', u'x', u'x', 0};
    KeyValue write[] = {{u"Dll", REG_SZ, 0, const_cast<char16_t *>(u"LONGNAME.dll")}, {}};
    ASSERT_TRUE(GetSetKeyValues(kKey, write, 1, 1));
    KeyValue read[] = {{u"Dll", REG_SZ, sizeof name, name}, {}};
    EXPECT_FALSE(GetSetKeyValues(kKey, read, 0, 0));
    EXPECT_EQ(read[0].Size, 26u);  // the size the value would need
}

TEST_F(KeyValuesTest, WriteComputesSizesFromTheData) {
    DWORD number = 0x10002;
    const char16_t multi[] = u"ab\0c\0";
    KeyValue table[] = {{u"Text", REG_SZ, 99, const_cast<char16_t *>(u"COM")},
                        {u"Number", REG_DWORD, 99, &number},
                        {u"Multi", REG_MULTI_SZ, 99, const_cast<char16_t *>(multi)},
                        {}};
    EXPECT_TRUE(GetSetKeyValues(kKey, table, 1, 0));
    DWORD type;
    EXPECT_EQ(Get(u"Text", &type).size(), 8u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(Get(u"Number").size(), 4u);
    std::vector<BYTE> m = Get(u"Multi", &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(m, (std::vector<BYTE>{'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0, 0, 0}));
}

TEST_F(KeyValuesTest, RewriteZeroLeavesAnExistingKeyAlone) {
    Put(u"FIFO", 1);
    DWORD zero = 0;
    KeyValue table[] = {{u"FIFO", REG_DWORD, 4, &zero}, {u"New", REG_DWORD, 4, &zero}, {}};
    EXPECT_TRUE(GetSetKeyValues(kKey, table, 1, 0));
    EXPECT_EQ(Get(u"FIFO"), (std::vector<BYTE>{1, 0, 0, 0}));
    EXPECT_TRUE(Get(u"New").empty());
    EXPECT_TRUE(GetSetKeyValues(kKey, table, 1, 1));
    EXPECT_EQ(Get(u"FIFO"), (std::vector<BYTE>{0, 0, 0, 0}));
    // Any write flag other than 1 reads.
    DWORD read = kUntouched;
    KeyValue readTable[] = {{u"FIFO", REG_DWORD, 4, &read}, {}};
    EXPECT_TRUE(GetSetKeyValues(kKey, readTable, 2, 1));
    EXPECT_EQ(read, 0u);
}

TEST_F(KeyValuesTest, UnsupportedTypeFailsAfterEarlierEntriesWereWritten) {
    DWORD one = 1;
    BYTE blob[2] = {1, 2};
    KeyValue table[] = {{u"First", REG_DWORD, 4, &one}, {u"Blob", REG_BINARY, 2, blob},
                        {u"Last", REG_DWORD, 4, &one}, {}};
    EXPECT_FALSE(GetSetKeyValues(kKey, table, 1, 1));
    EXPECT_EQ(Get(u"First").size(), 4u);
    EXPECT_TRUE(Get(u"Blob").empty());
    EXPECT_TRUE(Get(u"Last").empty());
}

TEST_F(KeyValuesTest, FaultInsideAValueWriteIsCaughtAndReportedAsFailure) {
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    DWORD one = 1;
    // A REG_DWORD needs no look at its data to size it, so the fault happens in the write.
    KeyValue table[] = {{u"Good", REG_DWORD, 4, &one}, {u"Bad", REG_DWORD, 4, page}, {}};
    EXPECT_FALSE(GetSetKeyValues(kKey, table, 1, 1));
    EXPECT_EQ(Get(u"Good").size(), 4u);
    EXPECT_TRUE(Get(u"Bad").empty());
    munmap(page, 4096);
}

TEST_F(KeyValuesTest, DwordReaderTreatsOtherTypesAndSizesAsMissing) {
    HKEY key;
    DWORD disposition;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, 0, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    BYTE two[2] = {7, 0};
    RegSetValueExW(key, u"Short", 0, REG_DWORD, two, 2);
    RegSetValueExW(key, u"Text", 0, REG_SZ, reinterpret_cast<const BYTE *>(u"1"), 4);
    RegCloseKey(key);
    Put(u"Good", 3);
    DWORD value = kUntouched;
    EXPECT_FALSE(GetKeyDword(kKey, u"Short", &value));
    EXPECT_FALSE(GetKeyDword(kKey, u"Text", &value));
    EXPECT_FALSE(GetKeyDword(kKey, u"Missing", &value));
    EXPECT_EQ(value, kUntouched);
    EXPECT_TRUE(GetKeyDword(kKey, u"Good", &value));
    EXPECT_EQ(value, 3u);
}

TEST_F(KeyValuesTest, InstallRegistersForTheWholeVendorAndUninstallUndoesIt) {
    // The driver's keys as the device's registry holds them before the install: the COM
    // driver's name and one port's settings under the client key.
    ASSERT_TRUE(standin::LoadRegText("REGEDIT4\n"
                                     "[HKEY_LOCAL_MACHINE\\Drivers\\USB\\ClientDrivers\\QSX_PORT]\n"
                                     "\"Dll\"=\"QSXCOM.dll\"\n"
                                     "[HKEY_LOCAL_MACHINE\\Drivers\\USB\\ClientDrivers\\QSX_PORT\\PORT0]\n"
                                     "\"Interface\"=dword:00000002\n"));
    EXPECT_TRUE(USBInstallDriver(u"QSXPDD.dll"));
    EXPECT_EQ(standin::ConsoleMessages(),
              (std::vector<std::string>{"=>USBInstallDriver:51\n", "<=USBInstallDriver:51 ok\n"}));
    std::string dump = standin::DumpRegistry(HKEY_LOCAL_MACHINE, QSX_LOADCLIENTS_KEY);
    EXPECT_NE(dump.find("\"Dll\"=\"QSXPDD.dll\""), std::string::npos) << dump;
    EXPECT_NE(dump.find("\"Prefix\"=\"COM\""), std::string::npos) << dump;
    // Registering the id keeps what the client key held.
    const std::string client = standin::DumpRegistry(HKEY_LOCAL_MACHINE, QSX_CLIENT_KEY);
    EXPECT_NE(client.find("\"Dll\"=\"QSXCOM.dll\""), std::string::npos) << client;
    EXPECT_NE(client.find("\\PORT0]"), std::string::npos) << client;

    EXPECT_TRUE(USBUnInstallDriver());
    // What an uninstall leaves of the driver's keys: the registration is gone, and the
    // client key with it, so the COM driver's name and every port's settings are gone
    // too (a later install starts without them); only the empty group keys above the
    // registration stay.
    EXPECT_EQ(standin::DumpRegistry(HKEY_LOCAL_MACHINE, QSX_LOADCLIENTS_KEY), "");
    EXPECT_EQ(standin::DumpRegistry(HKEY_LOCAL_MACHINE, QSX_CLIENT_KEY), "");
    const std::string left = standin::DumpRegistry(HKEY_LOCAL_MACHINE, u"Drivers\\USB");
    EXPECT_NE(left.find("[HKEY_LOCAL_MACHINE\\Drivers\\USB\\LoadClients\\7733\\Default\\Default]"), std::string::npos)
        << left;
    EXPECT_EQ(left.find('"'), std::string::npos) << left;  // not one value

    // The id is registered again by hand, and a second uninstall still drops it although
    // the settings part fails.
    ASSERT_TRUE(RegisterClientDriverID(QSX_DRIVER_ID));
    EXPECT_FALSE(USBUnInstallDriver());
    EXPECT_FALSE(UnRegisterClientDriverID(QSX_DRIVER_ID));  // already dropped
}

// The registry lines integrators put into an image (platform/QSXPDD.reg) hold exactly what
// an install writes, and the client key as the simulated device's registry has it, so an
// image built with them finds the driver and binds its ports as the tests do.
TEST_F(KeyValuesTest, IntegratorRegistryLinesMatchTheInstallAndTheDefaultRegistry) {
    const char *source = std::getenv("QSX_SOURCE_DIR");
    ASSERT_NE(source, nullptr) << "QSX_SOURCE_DIR names the source tree";
    std::string error;

    ASSERT_TRUE(USBInstallDriver(u"QSXPDD.dll"));
    const std::string installed = standin::DumpRegistry(HKEY_LOCAL_MACHINE, QSX_LOADCLIENTS_KEY);
    standin::ClearRegistry();
    ASSERT_TRUE(standin::LoadRegFile(std::string(source) + "/tools/platform.reg", &error)) << error;
    const std::string simulated = standin::DumpRegistry(HKEY_LOCAL_MACHINE, QSX_CLIENT_KEY);
    ASSERT_NE(simulated, "");

    standin::ClearRegistry();
    ASSERT_TRUE(standin::LoadRegFile(std::string(source) + "/platform/QSXPDD.reg", &error)) << error;
    EXPECT_EQ(standin::DumpRegistry(HKEY_LOCAL_MACHINE, QSX_LOADCLIENTS_KEY), installed);
    EXPECT_EQ(standin::DumpRegistry(HKEY_LOCAL_MACHINE, QSX_CLIENT_KEY), simulated);
}

}  // namespace
