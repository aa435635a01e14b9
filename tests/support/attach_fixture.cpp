// Simulated-device fixture for the attach and data-path suites.
#include "attach_fixture.h"

#include <kfuncs.h>
#include <standin/kernel.h>
#include <standin/registry.h>

#include <cstdlib>

#include "comdriver.h"

namespace qsxtest {

std::string SourceDir() {
    const char *dir = std::getenv("QSX_SOURCE_DIR");
    return dir ? dir : ".";
}

LoadedDriver::LoadedDriver() : module_(LoadDriver(u"QSXPDD.dll")) { EXPECT_NE(module_, nullptr); }

LoadedDriver::~LoadedDriver() {
    if (module_) FreeLibrary(module_);
}

void AttachFixture::SetUp() {
    standin::ClearRegistry();
    standin::ClearConsole();
    standin::ClearTimedCalls();
    std::string error;
    ASSERT_TRUE(standin::LoadRegFile(SourceDir() + "/tools/platform.reg", &error)) << error;
    standin::SetTimeScale(kAttachTimeScale);
    ASSERT_TRUE(standin::UsbInstallClient(u"QSXPDD.dll"));
    comDriver_ = LoadDriver(u"QSXCOM.dll");
    ASSERT_NE(comDriver_, nullptr);
    standin::ClearConsole();
}

void AttachFixture::TearDown() {
    if (comDriver_) {
        // Through a generic function pointer: FARPROC's own type says nothing of the export's.
        reinterpret_cast<PFN_QSXCOM_SET_REFUSE_PORT>(
            reinterpret_cast<void (*)()>(GetProcAddressW(comDriver_, u"QsxComSetRefusePort")))(0xFFFFFFFF);
        reinterpret_cast<PFN_QSXCOM_SET_OMIT_NAME>(
            reinterpret_cast<void (*)()>(GetProcAddressW(comDriver_, u"QsxComSetOmitName")))(FALSE);
        FreeLibrary(comDriver_);
    }
    standin::SetTimeScale(1.0);
    EXPECT_EQ(standin::RunningThreadCount(), 0u) << "a thread outlived its adapter";
    EXPECT_EQ(standin::UsbDeviceCount(), 0u);
    EXPECT_EQ(standin::UsbOpenPipeCount(), 0u);
    EXPECT_EQ(standin::UsbOpenTransferCount(), 0u);
    EXPECT_EQ(standin::OpenRegistryKeyCount(), 0u);
}

USB_HANDLE AttachFixture::Plug(WORD productId, bool highSpeed) {
    adapter_ = qsxsim::Adapter::Create(productId, highSpeed);
    return PlugAndWait(adapter_);
}

void AttachFixture::SetDword(const std::u16string &key, const std::u16string &name, DWORD value) {
    HKEY h;
    DWORD disposition;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, 0, nullptr, &h,
                              &disposition),
              ERROR_SUCCESS);
    RegSetValueExW(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    RegCloseKey(h);
}

std::vector<std::pair<std::u16string, std::string>> AttachFixture::PortEntries() {
    std::vector<std::pair<std::u16string, std::string>> out;
    HKEY active;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, 0, &active) != ERROR_SUCCESS) return out;
    for (DWORD i = 0;; i++) {
        WCHAR name[64];
        DWORD cch = 64;
        if (RegEnumKeyExW(active, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY entry;
        if (RegOpenKeyExW(active, name, 0, 0, &entry) != ERROR_SUCCESS) continue;
        WCHAR text[128] = {};
        DWORD cb = sizeof text - 2;
        bool ours = RegQueryValueExW(entry, u"Key", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &cb) ==
                        ERROR_SUCCESS &&
                    std::u16string(text) == u"Drivers\\USB\\ClientDrivers\\QSX_PORT";
        WCHAR port[128] = {};
        cb = sizeof port - 2;
        RegQueryValueExW(entry, u"Name", nullptr, nullptr, reinterpret_cast<LPBYTE>(port), &cb);
        if (ours) out.emplace_back(u"Drivers\\Active\\" + std::u16string(name), standin::ToUtf8(port));
        RegCloseKey(entry);
    }
    RegCloseKey(active);
    return out;
}

size_t AttachFixture::CountMessages(const std::string &text) {
    size_t n = 0;
    for (const std::string &m : standin::ConsoleMessages()) n += m == text;
    return n;
}

}  // namespace qsxtest
