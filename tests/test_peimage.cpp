// The reader of device images, on the real QSXPDD.dll and QSXPORT.exe the device build
// makes (mapped below 4 GiB, so relocated addresses are real ones) and on damaged copies
// of them; and the loader's side of it that a 64-bit build can run: the choice of the
// device image over the shared library, the refusal to run one, and the import policy.
#include <windows.h>

#include <kfuncs.h>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "../ce/src/peimage.h"
#include "resource.h"
#include "standin/gwes.h"
#include "standin/kernel.h"
#include "standin/registry.h"

namespace pe = standin::pe;

namespace {

std::vector<uint8_t> ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::vector<uint8_t> &DriverFile() {
    static const std::vector<uint8_t> bytes = ReadFile(QSX_DEVICE_DIR "/QSXPDD.dll");
    return bytes;
}

const std::vector<uint8_t> &ProgramFile() {
    static const std::vector<uint8_t> bytes = ReadFile(QSX_DEVICE_DIR "/QSXPORT.exe");
    return bytes;
}

uint32_t Get32(std::span<const uint8_t> bytes, size_t offset) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

void Put32(std::span<uint8_t> bytes, size_t offset, uint32_t value) { std::memcpy(bytes.data() + offset, &value, 4); }
void Put16(std::span<uint8_t> bytes, size_t offset, uint16_t value) { std::memcpy(bytes.data() + offset, &value, 2); }

// Where the tables are in an image file, found the plain way, for the damage cases.
struct Layout {
    size_t pe = 0, optional = 0, sections = 0;
    explicit Layout(std::span<const uint8_t> file)
        : pe(Get32(file, 0x3C)), optional(pe + 24), sections(optional + (file[pe + 20] | file[pe + 21] << 8)) {}
    size_t Directory(int index) const { return optional + 96 + 8 * index; }
};

// A resolver that answers every import with a made-up address and records what it was asked.
struct FakeResolver {
    std::vector<std::string> asked;  // "dll!name" or "dll!#ordinal"
    std::string refuse;              // a name to leave unprovided
    pe::Resolver Get() {
        return [this](const pe::Import &import, std::string *) -> uint32_t {
            if (!refuse.empty() && import.name == refuse) return 0;
            asked.push_back(std::string(import.dll) + "!" +
                            (import.name.empty() ? "#" + std::to_string(import.ordinal) : std::string(import.name)));
            return Address(asked.size() - 1);
        };
    }
    static uint32_t Address(size_t index) { return 0xFEED0000u + 4 * static_cast<uint32_t>(index); }
};

// A device image mapped as the loader maps it.
struct Mapped {
    pe::Headers headers;
    pe::ImageMemory memory;
    std::string error;
    bool Load(std::span<const uint8_t> file, const pe::Resolver &resolve) {
        return pe::ParseHeaders(file, &headers, &error) && memory.Allocate(headers.imageSize, 0, &error) &&
               pe::LoadInto(file, headers, memory.span(), memory.base(), resolve, &error);
    }
};

bool Contains(std::span<const uint8_t> image, uint32_t value) {
    for (size_t i = 0; i + 4 <= image.size(); ++i) {
        if (Get32(image, i) == value) return true;
    }
    return false;
}

TEST(DeviceImages, HeadersSayWhatEachImageIs) {
    pe::Headers dll, exe;
    std::string error;
    ASSERT_TRUE(pe::ParseHeaders(DriverFile(), &dll, &error)) << error;
    ASSERT_TRUE(pe::ParseHeaders(ProgramFile(), &exe, &error)) << error;
    EXPECT_TRUE(dll.dll);
    EXPECT_FALSE(exe.dll);
    for (const pe::Headers *h : {&dll, &exe}) {
        EXPECT_EQ(h->subsystem, 9);
        EXPECT_NE(h->entryRva, 0u);
        EXPECT_NE(h->dirs[pe::kRelocDir].size, 0u) << "device images keep their relocations";
        EXPECT_NE(h->dirs[pe::kImportDir].size, 0u);
    }
    EXPECT_NE(exe.dirs[pe::kResourceDir].size, 0u);
}

// Mapped below 4 GiB at another base, the driver's image differs from one left at its own
// base exactly by the move in every word a relocation names, and by nothing else; every
// import lands in the image; sections hold the file's bytes and zeros past them.
TEST(DeviceImages, DriverMapsRelocatesAndResolves) {
    Mapped moved;
    FakeResolver resolver;
    ASSERT_TRUE(moved.Load(DriverFile(), resolver.Get())) << moved.error;
    ASSERT_LT(reinterpret_cast<uintptr_t>(moved.memory.data()) + moved.memory.size(), uint64_t{1} << 32);
    ASSERT_NE(moved.memory.base(), moved.headers.imageBase) << "the image did not move";

    std::vector<uint8_t> still(moved.headers.imageSize);
    std::string error;
    ASSERT_TRUE(pe::CopySections(DriverFile(), moved.headers, still, &error)) << error;
    ASSERT_TRUE(pe::ApplyRelocations(moved.headers, still, moved.headers.imageBase, &error)) << error;

    for (const pe::Section &s : moved.headers.sections) {
        EXPECT_EQ(0, std::memcmp(still.data() + s.rva, DriverFile().data() + s.fileOffset, s.fileSize)) << s.name;
        for (uint32_t i = s.fileSize; i < s.size; ++i) ASSERT_EQ(still[s.rva + i], 0) << s.name << " +" << i;
    }

    // The relocations as LLVM's reader of the file lists them, against which the moved
    // image is checked byte by byte.
    std::vector<uint32_t> listed;
    {
        FILE *readobj = popen("llvm-readobj-14 --coff-basereloc " QSX_DEVICE_DIR "/QSXPDD.dll", "r");
        ASSERT_NE(readobj, nullptr);
        char line[256];
        bool highLow = false;  // the entry's Type line comes before its Address line
        while (std::fgets(line, sizeof line, readobj)) {
            unsigned address;
            if (std::strstr(line, "Type:")) highLow = std::strstr(line, "HIGHLOW") != nullptr;
            if (highLow && std::sscanf(line, " Address: 0x%x", &address) == 1) listed.push_back(address);
        }
        ASSERT_EQ(pclose(readobj), 0);
    }
    ASSERT_GT(listed.size(), 100u);
    const uint32_t delta = moved.memory.base() - moved.headers.imageBase;
    const std::span<const uint8_t> image(moved.memory.data(), moved.memory.size());
    std::vector<bool> explained(still.size());
    for (uint32_t rva : listed) {
        ASSERT_EQ(Get32(image, rva) - Get32(still, rva), delta) << "relocation at RVA " << rva;
        for (int b = 0; b < 4; ++b) explained[rva + b] = true;
    }
    for (size_t i = 0; i + 4 <= still.size(); i += 4) {
        if ((Get32(image, i) & 0xFFFF0000u) == 0xFEED0000u) {
            for (int b = 0; b < 4; ++b) explained[i + b] = true;  // an import slot
        }
    }
    for (size_t i = 0; i < still.size(); ++i) {
        ASSERT_TRUE(still[i] == image[i] || explained[i]) << "byte at RVA " << i << " changed unasked";
    }

    std::set<std::string> asked(resolver.asked.begin(), resolver.asked.end());
    EXPECT_TRUE(asked.count("coredll.dll!CreateThread"));
    EXPECT_TRUE(asked.count("coredll.dll!_except_handler3"));
    EXPECT_TRUE(asked.count("usbd.dll!RegisterClientDriverID"));
    for (size_t i = 0; i < resolver.asked.size(); ++i) {
        EXPECT_TRUE(Contains(image, FakeResolver::Address(i))) << resolver.asked[i] << " has no slot";
    }
}

TEST(DeviceImages, AnImportNotProvidedRefusesTheLoadNamingDllAndFunction) {
    for (const char *name : {"RegisterClientSettings", "EnterCriticalSection"}) {
        Mapped m;
        FakeResolver resolver;
        resolver.refuse = name;
        EXPECT_FALSE(m.Load(DriverFile(), resolver.Get()));
        const std::string dll = std::string(name) == "RegisterClientSettings" ? "usbd.dll" : "coredll.dll";
        EXPECT_EQ(m.error, dll + " does not provide " + name);
    }
}

TEST(DeviceImages, DriverExportsByNameCaseSensitivelyAndByOrdinal) {
    Mapped m;
    FakeResolver resolver;
    ASSERT_TRUE(m.Load(DriverFile(), resolver.Get())) << m.error;
    const std::span<const uint8_t> image(m.memory.data(), m.memory.size());
    const pe::Section &text = m.headers.sections.front();
    std::string error;
    std::set<uint32_t> byName;
    for (const char *name : {"USBDeviceAttach", "USBInstallDriver", "USBUnInstallDriver", "ReadUsb", "ComOpen"}) {
        const uint32_t rva = pe::FindExport(m.headers, image, name, 0, &error);
        EXPECT_GE(rva, text.rva) << name << ": " << error;
        EXPECT_LT(rva, text.rva + text.size) << name;
        byName.insert(rva);
    }
    EXPECT_EQ(byName.size(), 5u);
    EXPECT_EQ(pe::FindExport(m.headers, image, "usbdeviceattach", 0, &error), 0u);
    EXPECT_EQ(error, "");
    EXPECT_EQ(pe::FindExport(m.headers, image, "USBDeviceAttachX", 0, &error), 0u);
    std::set<uint32_t> byOrdinal;
    for (uint16_t ordinal = 1; ordinal < 200; ++ordinal) {
        if (uint32_t rva = pe::FindExport(m.headers, image, {}, ordinal, &error)) byOrdinal.insert(rva);
    }
    for (uint32_t rva : byName) EXPECT_TRUE(byOrdinal.count(rva));
}

// The program's resource section holds what the Linux build compiles from the same
// script: the same dialog templates and string blocks, byte for byte where the two
// compilers agree on the layout.
TEST(DeviceImages, ProgramResourcesMatchTheResourceScript) {
    Mapped m;
    FakeResolver resolver;
    ASSERT_TRUE(m.Load(ProgramFile(), resolver.Get())) << m.error;
    std::vector<pe::Resource> resources;
    std::string error;
    ASSERT_TRUE(pe::ListResources(m.headers, {m.memory.data(), m.memory.size()}, &resources, &error)) << error;
    int dialogs = 0, strings = 0;
    for (const pe::Resource &r : resources) {
        if (r.type != 5 && r.type != 6) continue;
        const std::u16string name = r.name;
        HRSRC found = FindResourceW(nullptr, name.empty() ? MAKEINTRESOURCEW(r.nameId) : name.c_str(),
                                    MAKEINTRESOURCEW(r.type));
        ASSERT_NE(found, nullptr) << "type " << r.type << " id " << r.nameId;
        const auto *compiled = static_cast<const uint8_t *>(LoadResource(nullptr, found));
        const DWORD size = SizeofResource(nullptr, found);
        ASSERT_LE(size, r.size);
        EXPECT_EQ(0, std::memcmp(compiled, m.memory.data() + r.rva, size)) << "type " << r.type << " id " << r.nameId;
        (r.type == 5 ? dialogs : strings)++;
    }
    EXPECT_EQ(dialogs, 2);
    EXPECT_GE(strings, 1);
}

// Registered for a module file, the image's resources answer FindResourceW and LoadStringW
// for that module's handle as the Linux build's answer for the program, and its dialog
// template runs in the dialog manager.
TEST(DeviceImages, ResourceCallsReadTheImageOfTheirModule) {
    Mapped m;
    FakeResolver resolver;
    ASSERT_TRUE(m.Load(ProgramFile(), resolver.Get())) << m.error;
    std::vector<pe::Resource> resources;
    std::string error;
    ASSERT_TRUE(pe::ListResources(m.headers, {m.memory.data(), m.memory.size()}, &resources, &error)) << error;
    std::vector<standin::gwes::ResourceEntry> entries;
    for (const pe::Resource &r : resources) {
        entries.push_back({r.type, r.nameId, r.name.empty() ? nullptr : r.name.c_str(), m.memory.data() + r.rva, r.size});
    }
    const std::string path = QSX_DEVICE_DIR "/QSXPORT.exe";
    standin::gwes::RegisterModuleResources(path, m.memory.data(), entries);
    // A module whose file name is the image's, as the loader's would be.
    standin::RegisterBuiltinModule(standin::FromUtf8(path), [](std::string_view) -> void * { return nullptr; });
    HMODULE module = LoadLibraryW(reinterpret_cast<LPCWSTR>(standin::FromUtf8(path).c_str()));
    ASSERT_NE(module, nullptr);

    HRSRC dialog = FindResourceW(module, u"QSXPORT", RT_DIALOG);
    ASSERT_NE(dialog, nullptr);
    const auto *tpl = static_cast<const uint8_t *>(LoadResource(module, dialog));
    EXPECT_GE(tpl, m.memory.data());
    EXPECT_LT(tpl, m.memory.data() + m.memory.size());
    // The dialog manager builds the dialog from that template: its caption and controls.
    struct Seen {
        WCHAR caption[64] = {}, save[16] = {};
        bool ports = false;
    };
    static Seen seen;
    const INT_PTR ended = DialogBoxIndirectParamW(
        module, reinterpret_cast<LPCDLGTEMPLATEW>(tpl), nullptr,
        [](HWND dlg, UINT message, WPARAM, LPARAM) -> INT_PTR {
            if (message != WM_INITDIALOG) return FALSE;
            GetWindowTextW(dlg, seen.caption, 64);
            GetWindowTextW(GetDlgItem(dlg, IDC_SAVE), seen.save, 16);
            seen.ports = GetDlgItem(dlg, IDC_PORTS) != nullptr;
            EndDialog(dlg, 7);
            return TRUE;
        },
        0);
    EXPECT_EQ(ended, 7);
    EXPECT_EQ(std::u16string(seen.caption), u"Velmir Configuration Utility");
    EXPECT_EQ(std::u16string(seen.save), u"Save");
    EXPECT_TRUE(seen.ports);

    int checked = 0;
    for (const pe::Resource &r : resources) {
        if (r.type != 6) continue;
        for (UINT id = (r.nameId - 1u) * 16; id < r.nameId * 16u; ++id) {
            WCHAR fromImage[256] = {}, fromProgram[256] = {};
            const int n = LoadStringW(module, id, fromImage, 256);
            EXPECT_EQ(n, LoadStringW(nullptr, id, fromProgram, 256)) << id;
            EXPECT_EQ(std::u16string(fromImage), std::u16string(fromProgram)) << id;
            checked += n > 0;
        }
    }
    EXPECT_GT(checked, 3);

    FreeLibrary(module);
    standin::UnregisterBuiltinModule(standin::FromUtf8(path));
    standin::gwes::UnregisterResources(m.memory.data());
    EXPECT_EQ(FindResourceW(module, u"QSXPORT", RT_DIALOG), nullptr);
}

// ---- damaged images ----------------------------------------------------------------

struct FileDamage {
    const char *what;
    std::function<void(std::vector<uint8_t> &file, const Layout &at)> damage;
    const char *refusal;  // part of the message
};

const FileDamage kFileDamage[] = {
    {"shorter than a DOS header", [](auto &f, auto &) { f.resize(63); }, "not an MZ executable"},
    {"PE header past the end", [](auto &f, auto &) { Put32(f, 0x3C, static_cast<uint32_t>(f.size()) - 8); }, "lies beyond the file"},
    {"cut inside the file header", [](auto &f, auto &at) { f.resize(at.pe + 10); }, "lies beyond the file"},
    {"cut inside the section table", [](auto &f, auto &at) { f.resize(at.sections + 50); }, "section table lies beyond the file"},
    {"not x86", [](auto &f, auto &at) { Put16(f, at.pe + 4, 0x8664); }, "is not x86"},
    {"PE32+ optional header", [](auto &f, auto &at) { Put16(f, at.optional, 0x20B); }, "not a PE32 optional header"},
    {"for a later CE", [](auto &f, auto &at) { Put16(f, at.optional + 48, 6); }, "later than this platform's 5.00"},
    {"image over 32 MiB", [](auto &f, auto &at) { Put32(f, at.optional + 56, 33u << 20); }, "larger than 32 MiB"},
    {"directory count past the header", [](auto &f, auto &at) { Put32(f, at.optional + 92, 40); }, "does not fit"},
    {"section beyond the file", [](auto &f, auto &at) { Put32(f, at.sections + 20, static_cast<uint32_t>(f.size()) - 16); }, "beyond the end of the file"},
    {"section past the image", [](auto &f, auto &at) { Put32(f, at.sections + 8, 0x7FFFFFF0); }, "runs past the image size"},
    {"sections overlapping", [](auto &f, auto &at) { Put32(f, at.sections + 40 + 12, Get32(f, at.sections + 12)); }, "overlaps"},
    {"import table out of range", [](auto &f, auto &at) { Put32(f, at.Directory(pe::kImportDir), 0xFFFFFF00); }, "lies outside the image"},
    {"export table size wraps", [](auto &f, auto &at) { Put32(f, at.Directory(pe::kExportDir) + 4, 0xFFFFFFFF); }, "lies outside the image"},
    {"entry outside the code", [](auto &f, auto &at) { Put32(f, at.optional + 16, 0x10); }, "not in a code section"},
    {"header size past the file", [](auto &f, auto &at) { Put32(f, at.optional + 60, static_cast<uint32_t>(f.size()) + 1); }, "header size"},
};

TEST(DamagedImages, FileDamageIsRefusedWithAReason) {
    for (const FileDamage &c : kFileDamage) {
        std::vector<uint8_t> file = DriverFile();
        c.damage(file, Layout(DriverFile()));
        file.shrink_to_fit();  // so that AddressSanitizer sees a read past the end
        pe::Headers headers;
        std::string error;
        EXPECT_FALSE(pe::ParseHeaders(file, &headers, &error)) << c.what;
        EXPECT_NE(error.find(c.refusal), std::string::npos) << c.what << ": " << error;
    }
}

// Damage inside a mapped image, refused by the step that reads it.
struct ImageDamage {
    const char *what;
    std::function<void(std::span<uint8_t> image, pe::Headers &h)> damage;
    const char *refusal;
};

// The RVA of the first import's hint/name entry.
uint32_t FirstImportName(std::span<const uint8_t> image, const pe::Headers &h) {
    const uint32_t descriptor = h.dirs[pe::kImportDir].rva;
    const uint32_t lookup = Get32(image, descriptor) ? Get32(image, descriptor) : Get32(image, descriptor + 16);
    return Get32(image, lookup);
}

const ImageDamage kDriverDamage[] = {
    {"relocation block overrunning its table",
     [](auto image, auto &h) { Put32(image, h.dirs[pe::kRelocDir].rva + 4, h.dirs[pe::kRelocDir].size + 8); },
     "overruns the relocation table"},
    {"relocation block of no size", [](auto image, auto &h) { Put32(image, h.dirs[pe::kRelocDir].rva + 4, 0); },
     "overruns the relocation table"},
    {"relocation of another kind", [](auto image, auto &h) { Put16(image, h.dirs[pe::kRelocDir].rva + 8, 0xA010); },
     "relocation of kind 10"},
    {"relocation target past the image",
     [](auto image, auto &h) { Put32(image, h.dirs[pe::kRelocDir].rva, h.imageSize - 0x10); }, "lies outside the image"},
    {"import name not terminated",
     [](auto image, auto &h) {
         std::memset(image.data() + h.imageSize - 300, 'A', 300);
         const uint32_t descriptor = h.dirs[pe::kImportDir].rva;
         const uint32_t lookup = Get32(image, descriptor) ? Get32(image, descriptor) : Get32(image, descriptor + 16);
         Put32(image, lookup, h.imageSize - 300);
     },
     "is not a terminated name"},
    {"import name out of the image",
     [](auto image, auto &h) {
         const uint32_t descriptor = h.dirs[pe::kImportDir].rva;
         Put32(image, Get32(image, descriptor) ? Get32(image, descriptor) : Get32(image, descriptor + 16), 0x7FFFFFF0);
     },
     "is not a terminated name"},
    {"import without an address table", [](auto image, auto &h) { Put32(image, h.dirs[pe::kImportDir].rva + 16, 0); },
     "have no address table"},
    {"DLL name out of the image", [](auto image, auto &h) { Put32(image, h.dirs[pe::kImportDir].rva + 12, 0x7FFFFFF0); },
     "has no readable DLL name"},
    {"thunk list running off the image",
     [](auto image, auto &h) {
         const uint32_t from = h.imageSize - 8;  // past every section's bytes
         for (uint32_t at = from; at < h.imageSize; at += 4) Put32(image, at, 0x80000001);
         Put32(image, h.dirs[pe::kImportDir].rva, from);
     },
     "runs past the end of the image"},
    {"descriptors sharing one long thunk list",
     [](auto image, auto &h) {
         // 4000 slots reached from 40 descriptors: more than the image has room for.
         const uint32_t list = h.sections.front().rva, slots = list + 4004 * 4, descriptors = slots + 4004 * 4;
         for (uint32_t i = 0; i < 4000; ++i) Put32(image, list + 4 * i, 0x80000001);
         Put32(image, list + 4000 * 4, 0);
         for (uint32_t d = 0; d < 40; ++d) {
             const uint32_t at = descriptors + 20 * d;
             Put32(image, at, list);
             Put32(image, at + 12, FirstImportName(image, h) + 2);  // any readable name
             Put32(image, at + 16, slots);
         }
         std::memset(image.data() + descriptors + 20 * 40, 0, 20);
         h.dirs[pe::kImportDir].rva = descriptors;
     },
     "claim more slots than the image holds"},
    {"export index past the function table",
     [](auto image, auto &h) { Put32(image, h.dirs[pe::kExportDir].rva + 20, 0); }, "past its function table"},
    {"export name table out of the image",
     [](auto image, auto &h) { Put32(image, h.dirs[pe::kExportDir].rva + 32, h.imageSize - 4); }, "export tables lie outside"},
    {"export forwarded",
     [](auto image, auto &h) {
         const uint32_t dir = h.dirs[pe::kExportDir].rva;
         const uint32_t functions = Get32(image, dir + 28), names = Get32(image, dir + 32), ordinals = Get32(image, dir + 36);
         for (uint32_t i = 0; i < Get32(image, dir + 24); ++i) {
             if (std::strcmp(reinterpret_cast<const char *>(image.data() + Get32(image, names + 4 * i)), "USBDeviceAttach") == 0) {
                 const uint16_t index = image[ordinals + 2 * i] | image[ordinals + 2 * i + 1] << 8;
                 Put32(image, functions + 4 * index, Get32(image, names + 4 * i));  // a name inside the directory
             }
         }
     },
     "is forwarded to USBDeviceAttach"},
};

// The image `file` with its sections in place, as the loader has it before relocating,
// and then `c`'s damage done to it.
void MapDamaged(const std::vector<uint8_t> &file, const ImageDamage &c, pe::Headers *h,
                std::vector<uint8_t> *image) {
    std::string error;
    ASSERT_TRUE(pe::ParseHeaders(file, h, &error)) << error;
    image->assign(h->imageSize, 0);
    ASSERT_TRUE(pe::CopySections(file, *h, *image, &error)) << error;
    c.damage(*image, *h);
}

TEST(DamagedImages, DriverTableDamageIsRefusedByTheStepThatReadsIt) {
    for (const ImageDamage &c : kDriverDamage) {
        pe::Headers h;
        std::vector<uint8_t> image;
        ASSERT_NO_FATAL_FAILURE(MapDamaged(DriverFile(), c, &h, &image));
        std::string error;
        FakeResolver resolver;
        // Left at its own base, so that no relocation changes the damage; the blocks are
        // checked all the same.
        const bool loaded = pe::ApplyRelocations(h, image, h.imageBase, &error) &&
                            pe::ResolveImports(h, image, resolver.Get(), &error);
        if (loaded) {
            EXPECT_EQ(pe::FindExport(h, image, "USBDeviceAttach", 0, &error), 0u) << c.what;
        }
        EXPECT_NE(error.find(c.refusal), std::string::npos) << c.what << ": " << error;
    }
}

const ImageDamage kResourceDamage[] = {
    {"a language table pointing back at the root", [](auto image, auto &h) {
         // The first type's first name's language table: make its entry a subdirectory.
         const uint32_t root = h.dirs[pe::kResourceDir].rva;
         const uint32_t names = Get32(image, root + 16 + 4) & 0x7FFFFFFF;
         const uint32_t languages = Get32(image, root + names + 16 + 4) & 0x7FFFFFFF;
         Put32(image, root + languages + 16 + 4, 0x80000000);
     }, "deeper than type, name and language"},
    {"a name table pointing back at the root", [](auto image, auto &h) {
         const uint32_t root = h.dirs[pe::kResourceDir].rva;
         Put32(image, root + 16 + 4, 0x80000000);
     }, "deeper than type, name and language"},
    {"one name table reached from every type", [](auto image, auto &h) {
         // 100 types x 100 names from tables that fit the tree 10 times over.
         const uint32_t root = h.dirs[pe::kResourceDir].rva, names = 0x400, languages = 0x7E0, data = 0x800;
         auto table = [&](uint32_t at, uint16_t count, uint32_t target) {
             std::memset(image.data() + root + at, 0, 16);
             Put16(image, root + at + 14, count);
             for (uint16_t i = 0; i < count; ++i) {
                 Put32(image, root + at + 16 + 8 * i, i + 1u);
                 Put32(image, root + at + 16 + 8 * i + 4, target);
             }
         };
         table(0, 100, 0x80000000 | names);
         table(names, 100, 0x80000000 | languages);
         table(languages, 1, data);
         Put32(image, root + data, root);
         Put32(image, root + data + 4, 16);
     }, "reached more than once"},
    {"a table claiming more entries than the tree holds", [](auto image, auto &h) {
         Put16(image, h.dirs[pe::kResourceDir].rva + 14, 0xFFFF);
     }, "runs past the tree"},
    {"a table outside the tree", [](auto image, auto &h) {
         Put32(image, h.dirs[pe::kResourceDir].rva + 16 + 4, 0x80000000 | h.dirs[pe::kResourceDir].size);
     }, "lies outside the tree"},
    {"data past the image", [](auto image, auto &h) {
         const uint32_t root = h.dirs[pe::kResourceDir].rva;
         const uint32_t names = Get32(image, root + 16 + 4) & 0x7FFFFFFF;
         const uint32_t languages = Get32(image, root + names + 16 + 4) & 0x7FFFFFFF;
         const uint32_t data = Get32(image, root + languages + 16 + 4);
         Put32(image, root + data, h.imageSize - 8);
     }, "lies outside the image"},
    {"a name string past the tree", [](auto image, auto &h) {
         // The dialog named QSXPORT: its name string's length made too long.
         const uint32_t root = h.dirs[pe::kResourceDir].rva;
         for (uint32_t t = 0; t < Get32(image, root + 12) >> 16; ++t) {
             if (Get32(image, root + 16 + 8 * t) != 5) continue;
             const uint32_t names = Get32(image, root + 16 + 8 * t + 4) & 0x7FFFFFFF;
             Put16(image, root + (Get32(image, root + names + 16) & 0x7FFFFFFF), 0xFFFF);
         }
     }, "lies outside the tree"},
};

TEST(DamagedImages, ProgramResourceTreeDamageIsRefused) {
    for (const ImageDamage &c : kResourceDamage) {
        pe::Headers h;
        std::vector<uint8_t> image;
        ASSERT_NO_FATAL_FAILURE(MapDamaged(ProgramFile(), c, &h, &image));
        std::string error;
        std::vector<pe::Resource> resources;
        EXPECT_FALSE(pe::ListResources(h, image, &resources, &error)) << c.what;
        EXPECT_NE(error.find(c.refusal), std::string::npos) << c.what << ": " << error;
    }
}

// ---- the module loader ----------------------------------------------------------------

class DeviceImageLoad : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() / ("qsx-peimage-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder_);
        std::filesystem::copy_file(QSX_DEVICE_DIR "/QSXPDD.dll", folder_ / "QSXPDD.dll");
        standin::SetDeviceImageFolder(folder_.string());
    }
    void TearDown() override {
        standin::SetDeviceImageFolder({});
        std::filesystem::remove_all(folder_);
    }
    std::filesystem::path folder_;
};

// LoadDriver takes the device image from its folder before the search path; a build that
// cannot run it (any 64-bit one) refuses it plainly instead of falling back.
TEST_F(DeviceImageLoad, TheDeviceImageIsChosenAndThisBuildSaysWhetherItRuns) {
    testing::internal::CaptureStderr();
    SetLastError(0xDEADBEEF);
    HINSTANCE driver = LoadDriver(u"QSXPDD.dll");
    const std::string said = testing::internal::GetCapturedStderr();
    if constexpr (sizeof(void *) > 4) {
        EXPECT_EQ(driver, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
        EXPECT_NE(said.find("QSXPDD.dll: a 32-bit x86 device image, which this 64-bit build"), std::string::npos) << said;
    } else {
        ASSERT_NE(driver, nullptr) << said;
        EXPECT_NE(GetProcAddressW(driver, u"USBDeviceAttach"), nullptr);
        EXPECT_EQ(GetProcAddressW(driver, u"usbdeviceattach"), nullptr);
        // One image however it is named; the entry sees attach once and detach once.
        EXPECT_EQ(LoadLibraryW(reinterpret_cast<LPCWSTR>(standin::FromUtf8((folder_ / "QSXPDD.dll").string()).c_str())),
                  driver);
        EXPECT_TRUE(FreeLibrary(driver));
        EXPECT_NE(GetProcAddressW(driver, u"USBDeviceAttach"), nullptr);
        EXPECT_TRUE(FreeLibrary(driver));
        EXPECT_EQ(GetProcAddressW(driver, u"USBDeviceAttach"), nullptr);
    }
}

TEST_F(DeviceImageLoad, AnImportTheStandInLacksRefusesTheLoad) {
    std::vector<uint8_t> file = DriverFile();
    // Rename one import in place: "CreateEventW" becomes "CreateEventX".
    const std::string from = "CreateEventW";
    auto at = std::search(file.begin(), file.end(), from.begin(), from.end());
    ASSERT_NE(at, file.end());
    at[from.size() - 1] = 'X';
    std::ofstream(folder_ / "QSXPDD.dll", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(file.data()), static_cast<std::streamsize>(file.size()));

    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadDriver(u"QSXPDD.dll"), nullptr);
    const std::string said = testing::internal::GetCapturedStderr();
    if constexpr (sizeof(void *) > 4) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    } else {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
        EXPECT_NE(said.find("coredll.dll does not provide CreateEventX (not in the device's export list)"),
                  std::string::npos) << said;
    }
}

#if defined(__i386__)
// The driver image's guarded registry write, run as the image's own code: a data pointer
// the platform cannot read raises an access violation into the image's exception frames
// (as on the device), and the image's handler takes it. The write stops at that value with
// nothing stored and the key closed; the install goes on past it, as the driver does with
// any failed write of that table, and the process is unharmed.
namespace {
const BYTE *gUnreadable = nullptr;
int gWrites = 0;
LONG UnreadableSet(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *, DWORD size) {
    gWrites++;
    return RegSetValueExW(key, name, reserved, type, gUnreadable, size);
}
}  // namespace

TEST_F(DeviceImageLoad, TheDriverImagesGuardedWriteCatchesABadDataPointer) {
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    gUnreadable = static_cast<const BYTE *>(page);
    gWrites = 0;
    using Install = BOOL (*)(LPCWSTR);

    // Unharmed first: the install succeeds through the same path.
    HINSTANCE driver = LoadDriver(u"QSXPDD.dll");
    ASSERT_NE(driver, nullptr);
    auto install = reinterpret_cast<Install>(GetProcAddressW(driver, u"USBInstallDriver"));
    ASSERT_NE(install, nullptr);
    EXPECT_TRUE(install(u"QSXPDD.dll"));
    EXPECT_TRUE(FreeLibrary(driver));

    const LPCWSTR key = u"Drivers\\USB\\LoadClients\\7733\\Default\\Default\\QSX_PORT";
    auto has = [&](LPCWSTR name) {
        HKEY h = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, 0, &h) != ERROR_SUCCESS) return false;
        DWORD size = 0;
        const bool found = RegQueryValueExW(h, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
        RegCloseKey(h);
        return found;
    };
    EXPECT_TRUE(has(u"Dll") && has(u"Prefix"));
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, key), ERROR_SUCCESS);

    ASSERT_TRUE(standin::RegisterImageExport("coredll.dll", "RegSetValueExW", reinterpret_cast<void *>(&UnreadableSet)));
    driver = LoadDriver(u"QSXPDD.dll");
    ASSERT_NE(driver, nullptr);
    install = reinterpret_cast<Install>(GetProcAddressW(driver, u"USBInstallDriver"));
    const size_t keysBefore = standin::OpenRegistryKeyCount();
    EXPECT_TRUE(install(u"QSXPDD.dll"));
    // "Dll", the first value, met the fault; "Prefix" was never tried. ("DLL" is there
    // again: the USB registration that follows writes it, through its own library.)
    EXPECT_EQ(gWrites, 1);
    EXPECT_FALSE(has(u"Prefix"));
    EXPECT_EQ(standin::OpenRegistryKeyCount(), keysBefore);
    EXPECT_TRUE(FreeLibrary(driver));
    EXPECT_TRUE(standin::RegisterImageExport("coredll.dll", "RegSetValueExW", nullptr));
    munmap(page, 4096);
}
#endif

// Imports resolve to the stand-in's own functions, only by the device's export lists, and
// never to a C library function of the same name.
TEST(DeviceImports, ResolveByTheDeviceExportLists) {
    std::string why;
    EXPECT_EQ(standin::DeviceImportAddress("coredll.dll", "CreateEventW", &why), reinterpret_cast<void *>(&CreateEventW));
    EXPECT_EQ(standin::DeviceImportAddress("COREDLL.DLL", "GetProcAddressW", &why), reinterpret_cast<void *>(&GetProcAddressW));
    EXPECT_NE(standin::DeviceImportAddress("usbd.dll", "RegisterClientDriverID", &why), nullptr) << why;

    EXPECT_EQ(standin::DeviceImportAddress("coredll.dll", "CreateEventA", &why), nullptr);
    EXPECT_EQ(why, "not in the device's export list");
    EXPECT_EQ(standin::DeviceImportAddress("coredll.dll", "createeventw", &why), nullptr);
    EXPECT_EQ(standin::DeviceImportAddress("usbd.dll", "CreateEventW", &why), nullptr);
    EXPECT_EQ(standin::DeviceImportAddress("kernel32.dll", "CreateEventW", &why), nullptr);
    EXPECT_EQ(why, "the stand-in serves imports from coredll.dll and usbd.dll only");
    // Listed, and not defined by the stand-in.
    EXPECT_EQ(standin::DeviceImportAddress("coredll.dll", "ShowWindow", &why), nullptr);
    EXPECT_EQ(why, "the stand-in has no such function");
    // The C library's string functions work on 32-bit wide characters; an image gets the
    // device's 16-bit ones.
    using Length = size_t (*)(const WCHAR *);
    using Compare = int (*)(const WCHAR *, const WCHAR *);
    const auto length = reinterpret_cast<Length>(standin::DeviceImportAddress("coredll.dll", "wcslen", &why));
    ASSERT_NE(length, nullptr) << why;
    EXPECT_EQ(length(u"COM12:"), 6u);
    const auto compare = reinterpret_cast<Compare>(standin::DeviceImportAddress("coredll.dll", "_wcsicmp", &why));
    ASSERT_NE(compare, nullptr) << why;
    EXPECT_EQ(compare(u"Com12:", u"COM12:"), 0);
    EXPECT_LT(compare(u"COM1:", u"com2:"), 0);

    int marker = 0;
    EXPECT_TRUE(standin::RegisterImageExport("coredll.dll", "wcslen", &marker));
    EXPECT_EQ(standin::DeviceImportAddress("coredll.dll", "wcslen", &why), &marker);
    EXPECT_TRUE(standin::RegisterImageExport("coredll.dll", "wcslen", nullptr));
    EXPECT_EQ(standin::DeviceImportAddress("coredll.dll", "wcslen", &why), reinterpret_cast<void *>(length));
    EXPECT_FALSE(standin::RegisterImageExport("coredll.dll", "strcpy", &marker));
    EXPECT_EQ(standin::DeviceImportAddress("coredll.dll", "strcpy", &why), nullptr);
}

}  // namespace
