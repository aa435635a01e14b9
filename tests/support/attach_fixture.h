// A simulated CE device with QSXPDD installed and the stand-in COM driver configured,
// ready to plug simulated adapters into: the registry starts from tools/platform.reg.
#pragma once

#include <gtest/gtest.h>

#include <kfuncs.h>
#include <standin/usbbus.h>

#include <memory>
#include <string>
#include <vector>

#include "adapter.h"
#include "driver_fixture.h"

namespace qsxtest {

class AttachFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs a new simulated adapter of this model and waits for its attach; the adapter
    // stays in adapter_.
    USB_HANDLE Plug(WORD productId, bool highSpeed = true);
    // Sets a DWORD value in HKLM (creating the key).
    static void SetDword(const std::u16string &key, const std::u16string &name, DWORD value);
    // Active-driver entries that belong to QSXPDD's ports: (entry key, "Name" in UTF-8).
    static std::vector<std::pair<std::u16string, std::string>> PortEntries();
    // Console lines equal to `text`.
    static size_t CountMessages(const std::string &text);

    std::shared_ptr<qsxsim::Adapter> adapter_;
    HMODULE comDriver_ = nullptr;  // held so the tests can turn its knobs
};

// The driver as the stand-in loads it for an adapter (the device image QSXPDD.dll where the
// build runs the suites on the images, else QSXPDD.so), held while this lives. A test that
// calls the driver's entry points itself takes them from here, so that it runs the code
// that attaches adapters rather than the copy linked into the test program.
class LoadedDriver {
public:
    LoadedDriver();
    ~LoadedDriver();
    LoadedDriver(const LoadedDriver &) = delete;
    LoadedDriver &operator=(const LoadedDriver &) = delete;
    // The export `name`, typed as the declaration `Fn` (decltype(&ComOpen), say); null when
    // the driver has none of that name.
    template <typename Fn>
    Fn Export(const char16_t *name) const {
        // Through a generic function pointer: FARPROC's own type says nothing of the export's.
        return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddressW(module_, name)));
    }

private:
    HMODULE module_;
};

std::string SourceDir();

// The time scale plugs and unplugs run at: attach pauses for seconds, so a fraction of real
// time keeps them short, while the driver's 4000 ms vendor limit shrinks with it and must
// still be met by a sanitized build on a loaded machine (200 ms of real time at a
// twentieth; at a fiftieth, 80 ms, it was missed now and then).
constexpr double kAttachTimeScale = 0.05;

}  // namespace qsxtest
