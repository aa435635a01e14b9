// The stand-in's reader of device images: header checks, section copy, base relocations,
// import resolution, export and resource lookup (peimage.h says the contract). Offsets and
// sizes are computed in 64 bits and checked against the file or the image before every
// read, so no value taken from the file can move a read or write outside them.
#include "peimage.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace standin::pe {

namespace {

constexpr uint32_t kPageSize = 4096;
constexpr uint32_t kMaxNameLength = 255;
constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kOptionalMagicPe32 = 0x10B;
constexpr uint16_t kSubsystemWindowsCeGui = 9;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint32_t kScnCode = 0x00000020;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr int kRelBasedAbsolute = 0;
constexpr int kRelBasedHighLow = 3;
constexpr uint32_t kResourceSubdirectory = 0x80000000;

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

bool Fail(std::string *error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

bool InRange(uint64_t offset, uint64_t size, uint64_t total) {
    return offset <= total && size <= total - offset;
}

template <class T>
bool Read(std::span<const uint8_t> bytes, uint64_t offset, T *value) {
    if (!InRange(offset, sizeof(T), bytes.size())) return false;
    std::memcpy(value, bytes.data() + offset, sizeof(T));
    return true;
}

uint16_t U16(std::span<const uint8_t> bytes, uint64_t offset) {
    uint16_t value = 0;
    Read(bytes, offset, &value);
    return value;
}

uint32_t U32(std::span<const uint8_t> bytes, uint64_t offset) {
    uint32_t value = 0;
    Read(bytes, offset, &value);
    return value;
}

// A non-empty NUL-terminated name of printable ASCII at `offset`, at most kMaxNameLength
// characters.
bool ReadName(std::span<const uint8_t> bytes, uint64_t offset, std::string_view *name) {
    if (offset >= bytes.size()) return false;
    const size_t available = std::min<uint64_t>(bytes.size() - offset, kMaxNameLength + 1);
    const auto *start = reinterpret_cast<const char *>(bytes.data() + offset);
    const void *end = std::memchr(start, 0, available);
    if (!end) return false;
    *name = std::string_view(start, static_cast<size_t>(static_cast<const char *>(end) - start));
    if (name->empty()) return false;
    return std::all_of(name->begin(), name->end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

bool PowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

uint64_t RoundUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

std::string ImportName(const Import &import) {
    return import.name.empty() ? "ordinal " + std::to_string(import.ordinal) : std::string(import.name);
}

}  // namespace

bool ParseHeaders(std::span<const uint8_t> file, Headers *headers, std::string *error) {
    *headers = Headers{};
    if (file.size() < 64 || file[0] != 'M' || file[1] != 'Z') return Fail(error, "not an MZ executable");
    const uint32_t pe = U32(file, 0x3C);
    if (!InRange(pe, 24, file.size())) return Fail(error, "PE header offset " + Hex(pe) + " lies beyond the file");
    if (std::memcmp(file.data() + pe, "PE\0\0", 4) != 0) return Fail(error, "no PE signature");
    const uint16_t machine = U16(file, pe + 4);
    if (machine != kMachineI386) return Fail(error, "machine " + Hex(machine) + " is not x86 (0x14C)");
    const uint16_t sectionCount = U16(file, pe + 6);
    const uint16_t optionalSize = U16(file, pe + 20);
    const uint16_t characteristics = U16(file, pe + 22);
    if (!(characteristics & kFileExecutable)) return Fail(error, "not marked as an executable image");
    headers->dll = (characteristics & kFileDll) != 0;
    headers->relocsStripped = (characteristics & kFileRelocsStripped) != 0;

    const uint64_t opt = uint64_t{pe} + 24;
    if (optionalSize < 96 || !InRange(opt, optionalSize, file.size())) {
        return Fail(error, "optional header cut short");
    }
    if (U16(file, opt) != kOptionalMagicPe32) return Fail(error, "not a PE32 optional header");
    const uint32_t directoryCount = U32(file, opt + 92);
    if (directoryCount > 16 || optionalSize < 96 + 8 * directoryCount) {
        return Fail(error, "data directory count " + std::to_string(directoryCount) + " does not fit the optional header");
    }
    headers->entryRva = U32(file, opt + 16);
    headers->imageBase = U32(file, opt + 28);
    const uint32_t sectionAlignment = U32(file, opt + 32);
    const uint32_t fileAlignment = U32(file, opt + 36);
    const uint16_t subsystemMajor = U16(file, opt + 48);
    const uint16_t subsystemMinor = U16(file, opt + 50);
    const uint32_t sizeOfImage = U32(file, opt + 56);
    headers->headerSize = U32(file, opt + 60);
    headers->subsystem = U16(file, opt + 68);

    // The device's loader takes any other subsystem value for a CE 1.0 program, and
    // refuses one that asks for a later version than its own.
    if (headers->subsystem == kSubsystemWindowsCeGui &&
        (subsystemMajor > 5 || (subsystemMajor == 5 && subsystemMinor > 0))) {
        return Fail(error, "built for Windows CE " + std::to_string(subsystemMajor) + "." +
                               std::to_string(subsystemMinor) + ", later than this platform's 5.00");
    }
    if (!PowerOfTwo(sectionAlignment) || sectionAlignment < kPageSize) {
        return Fail(error, "section alignment " + Hex(sectionAlignment) + " is not a power of two of at least a page");
    }
    if (!PowerOfTwo(fileAlignment) || fileAlignment < 512 || fileAlignment > sectionAlignment) {
        return Fail(error, "file alignment " + Hex(fileAlignment) + " is not a power of two from 0x200 to the section alignment");
    }
    if (headers->imageBase == 0 || headers->imageBase % 0x10000 != 0) {
        return Fail(error, "image base " + Hex(headers->imageBase) + " is not a multiple of 64 KiB");
    }
    if (sizeOfImage == 0 || sizeOfImage > kMaxImageSize) {
        return Fail(error, "image size " + Hex(sizeOfImage) + " is zero or larger than 32 MiB");
    }
    headers->imageSize = static_cast<uint32_t>(RoundUp(sizeOfImage, sectionAlignment));
    if (uint64_t{headers->imageBase} + headers->imageSize > (uint64_t{1} << 32)) {
        return Fail(error, "image base " + Hex(headers->imageBase) + " leaves no room for the image below 4 GiB");
    }

    const uint64_t table = opt + optionalSize;
    if (sectionCount == 0 || sectionCount > 96) {
        return Fail(error, std::to_string(sectionCount) + " sections (1 to 96 load)");
    }
    if (!InRange(table, uint64_t{40} * sectionCount, file.size())) return Fail(error, "section table lies beyond the file");
    if (headers->headerSize < table + uint64_t{40} * sectionCount || headers->headerSize > file.size() ||
        headers->headerSize > headers->imageSize) {
        return Fail(error, "header size " + Hex(headers->headerSize) + " does not cover the section table within the file and the image");
    }

    uint64_t nextFree = RoundUp(headers->headerSize, sectionAlignment);
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint64_t at = table + uint64_t{40} * i;
        Section s;
        std::memcpy(s.name, file.data() + at, 8);
        const uint32_t virtualSize = U32(file, at + 8);
        s.rva = U32(file, at + 12);
        const uint32_t rawSize = U32(file, at + 16);
        s.fileOffset = U32(file, at + 20);
        s.characteristics = U32(file, at + 36);
        s.size = virtualSize ? virtualSize : rawSize;
        s.fileSize = std::min(rawSize, s.size);
        const std::string which = "section " + std::to_string(i + 1) + " (" + s.name + ")";
        if (s.rva % sectionAlignment != 0 || s.rva < nextFree) {
            return Fail(error, which + " at RVA " + Hex(s.rva) + " is unaligned or overlaps what comes before it");
        }
        if (!InRange(s.rva, s.size, headers->imageSize)) {
            return Fail(error, which + " runs past the image size " + Hex(headers->imageSize));
        }
        if (s.fileSize > 0 && !InRange(s.fileOffset, s.fileSize, file.size())) {
            return Fail(error, which + " lies beyond the end of the file");
        }
        nextFree = RoundUp(uint64_t{s.rva} + s.size, sectionAlignment);
        headers->sections.push_back(s);
    }

    if (headers->entryRva != 0) {
        const bool inCode = std::any_of(headers->sections.begin(), headers->sections.end(), [&](const Section &s) {
            return (s.characteristics & (kScnCode | kScnExecute)) && headers->entryRva >= s.rva &&
                   headers->entryRva - s.rva < s.size;
        });
        if (!inCode) return Fail(error, "entry point " + Hex(headers->entryRva) + " is not in a code section");
    } else if (!headers->dll) {
        return Fail(error, "a program without an entry point");
    }

    for (uint32_t i = 0; i < std::min<uint32_t>(directoryCount, kDirectoryCount); ++i) {
        DataDirectory d{U32(file, opt + 96 + 8 * i), U32(file, opt + 96 + 8 * i + 4)};
        if (i == kSecurityDir || d.size == 0) continue;
        if (!InRange(d.rva, d.size, headers->imageSize)) {
            return Fail(error, "data directory " + std::to_string(i) + " (RVA " + Hex(d.rva) + ", " + Hex(d.size) +
                                   " bytes) lies outside the image");
        }
        headers->dirs[i] = d;
    }
    return true;
}

bool CopySections(std::span<const uint8_t> file, const Headers &headers, std::span<uint8_t> image,
                  std::string *error) {
    if (image.size() != headers.imageSize || headers.headerSize > file.size() || headers.headerSize > image.size()) {
        return Fail(error, "image memory does not match the headers");
    }
    std::memcpy(image.data(), file.data(), headers.headerSize);
    for (const Section &s : headers.sections) {
        if (!InRange(s.fileOffset, s.fileSize, file.size()) || !InRange(s.rva, s.fileSize, image.size())) {
            return Fail(error, std::string("section ") + s.name + " lies outside the file or the image");
        }
        if (s.fileSize) std::memcpy(image.data() + s.rva, file.data() + s.fileOffset, s.fileSize);
    }
    return true;
}

bool ApplyRelocations(const Headers &headers, std::span<uint8_t> image, uint32_t base, std::string *error) {
    const uint32_t delta = base - headers.imageBase;
    const DataDirectory dir = headers.dirs[kRelocDir];
    if (dir.size == 0 || (headers.relocsStripped && delta != 0)) {
        if (delta == 0) return true;
        return Fail(error, "image has no relocations and cannot move from " + Hex(headers.imageBase) + " to " + Hex(base));
    }
    if (!InRange(dir.rva, dir.size, image.size())) return Fail(error, "relocation table lies outside the image");
    const uint64_t end = uint64_t{dir.rva} + dir.size;
    for (uint64_t block = dir.rva; block < end;) {
        if (end - block < 8) return Fail(error, "relocation block at RVA " + Hex(block) + " is cut short");
        const uint32_t page = U32(image, block);
        const uint32_t blockSize = U32(image, block + 4);
        if (blockSize < 8 || blockSize % 2 != 0 || blockSize > end - block) {
            return Fail(error, "relocation block at RVA " + Hex(block) + " of " + Hex(blockSize) +
                                   " bytes overruns the relocation table");
        }
        for (uint64_t at = block + 8; at + 2 <= block + blockSize; at += 2) {
            const uint16_t entry = U16(image, at);
            const int kind = entry >> 12;
            const uint64_t target = uint64_t{page} + (entry & 0xFFF);
            if (kind == kRelBasedAbsolute) continue;
            if (kind != kRelBasedHighLow) {
                return Fail(error, "relocation of kind " + std::to_string(kind) + " at RVA " + Hex(target) +
                                       " (only HIGHLOW is supported)");
            }
            if (!InRange(target, 4, image.size())) {
                return Fail(error, "relocation at RVA " + Hex(target) + " lies outside the image");
            }
            if (delta != 0) {
                uint32_t value;
                std::memcpy(&value, image.data() + target, 4);
                value += delta;
                std::memcpy(image.data() + target, &value, 4);
            }
        }
        block += blockSize;
    }
    return true;
}

bool ResolveImports(const Headers &headers, std::span<uint8_t> image, const Resolver &resolve, std::string *error) {
    const DataDirectory dir = headers.dirs[kImportDir];
    if (dir.size == 0) return true;
    // Every slot a sound image has takes four bytes of it; lists that claim more share or
    // overlap one another, and are refused before they cost more than a pass over the image.
    uint64_t slotBudget = image.size() / 4;
    for (uint64_t descriptor = dir.rva;; descriptor += 20) {
        if (!InRange(descriptor, 20, image.size())) {
            return Fail(error, "import descriptors run past the end of the image");
        }
        const uint32_t lookupRva = U32(image, descriptor);
        const uint32_t nameRva = U32(image, descriptor + 12);
        const uint32_t iatRva = U32(image, descriptor + 16);
        if (nameRva == 0 && iatRva == 0) break;
        Import import;
        if (!ReadName(image, nameRva, &import.dll)) {
            return Fail(error, "import descriptor at RVA " + Hex(descriptor) + " has no readable DLL name");
        }
        // Slots at RVA 0 would land on the headers.
        if (iatRva == 0) return Fail(error, "imports of " + std::string(import.dll) + " have no address table");
        const uint32_t listRva = lookupRva ? lookupRva : iatRva;
        for (uint64_t i = 0;; ++i) {
            const uint64_t slot = listRva + 4 * i;
            const uint64_t iatSlot = iatRva + 4 * i;
            if (slotBudget-- == 0) {
                return Fail(error, "import lists of " + std::string(import.dll) + " claim more slots than the image holds");
            }
            if (!InRange(slot, 4, image.size()) || !InRange(iatSlot, 4, image.size())) {
                return Fail(error, "import list of " + std::string(import.dll) + " runs past the end of the image");
            }
            const uint32_t thunk = U32(image, slot);
            if (thunk == 0) break;
            if (thunk & 0x80000000) {
                if (thunk & 0x7FFF0000) {
                    return Fail(error, "import of " + std::string(import.dll) + " has a bad ordinal " + Hex(thunk));
                }
                import.name = {};
                import.ordinal = static_cast<uint16_t>(thunk);
            } else {
                import.ordinal = 0;
                if (!ReadName(image, uint64_t{thunk} + 2, &import.name)) {
                    return Fail(error, "import name at RVA " + Hex(thunk) + " from " + std::string(import.dll) +
                                           " is not a terminated name within the image");
                }
                // The name is copied out before the slot is written: the two may overlap.
            }
            std::string why;
            const uint32_t address = resolve(import, &why);
            if (address == 0) {
                return Fail(error, std::string(import.dll) + " does not provide " + ImportName(import) +
                                       (why.empty() ? std::string() : " (" + why + ")"));
            }
            std::memcpy(image.data() + iatSlot, &address, 4);
        }
    }
    return true;
}

// FindExport's answer for "none": `error` is left empty for a plain miss.
static uint32_t NoExport(std::string *error, std::string message = {}) {
    if (error) *error = std::move(message);
    return 0;
}

uint32_t FindExport(const Headers &headers, std::span<const uint8_t> image, std::string_view name, uint16_t ordinal,
                    std::string *error) {
    const std::string what = name.empty() ? "ordinal " + std::to_string(ordinal) : std::string(name);
    const DataDirectory dir = headers.dirs[kExportDir];
    if (dir.size == 0) return NoExport(error);
    if (!InRange(dir.rva, 40, image.size())) return NoExport(error, "export directory lies outside the image");
    const uint32_t ordinalBase = U32(image, dir.rva + 16);
    const uint32_t functionCount = U32(image, dir.rva + 20);
    const uint32_t nameCount = U32(image, dir.rva + 24);
    const uint32_t functions = U32(image, dir.rva + 28);
    const uint32_t names = U32(image, dir.rva + 32);
    const uint32_t ordinals = U32(image, dir.rva + 36);
    if (!InRange(functions, uint64_t{4} * functionCount, image.size()) ||
        !InRange(names, uint64_t{4} * nameCount, image.size()) ||
        !InRange(ordinals, uint64_t{2} * nameCount, image.size())) {
        return NoExport(error, "export tables lie outside the image");
    }
    uint64_t index = functionCount;
    if (!name.empty()) {
        for (uint32_t i = 0; i < nameCount; ++i) {
            std::string_view candidate;
            if (!ReadName(image, U32(image, names + uint64_t{4} * i), &candidate)) {
                return NoExport(error, "export name " + std::to_string(i) + " is not a terminated name within the image");
            }
            if (candidate == name) {
                index = U16(image, ordinals + uint64_t{2} * i);
                if (index >= functionCount) {
                    return NoExport(error, "export " + what + " has index " + std::to_string(index) +
                                           " past its function table of " + std::to_string(functionCount));
                }
                break;
            }
        }
    } else if (ordinal >= ordinalBase) {
        index = ordinal - ordinalBase;
    }
    if (index >= functionCount) return NoExport(error);
    const uint32_t rva = U32(image, functions + 4 * index);
    if (rva == 0) return NoExport(error);
    if (rva >= dir.rva && rva - dir.rva < dir.size) {
        std::string_view target;
        ReadName(image, rva, &target);
        return NoExport(error, "export " + what + " is forwarded to " + std::string(target) + ", which is not followed");
    }
    if (rva >= image.size()) return NoExport(error, "export " + what + " points outside the image");
    return rva;
}

bool ListResources(const Headers &headers, std::span<const uint8_t> image, std::vector<Resource> *resources,
                   std::string *error) {
    resources->clear();
    const DataDirectory dir = headers.dirs[kResourceDir];
    if (dir.size == 0) return true;
    if (!InRange(dir.rva, dir.size, image.size())) return Fail(error, "resource directory lies outside the image");
    const std::span<const uint8_t> tree = image.subspan(dir.rva, dir.size);
    // A sound tree visits each 8-byte entry once; a tree whose tables are reached twice
    // (or in a loop) runs out of this budget and is refused.
    uint64_t entryBudget = tree.size() / 8;

    // Entries of the table at `offset`: (name field, target) pairs, checked to lie in the tree.
    auto table = [&](uint32_t offset, uint32_t *count, std::string *why) -> bool {
        if (!InRange(offset, 16, tree.size())) return Fail(why, "resource table at " + Hex(offset) + " lies outside the tree");
        *count = uint32_t{U16(tree, offset + 12)} + U16(tree, offset + 14);
        if (!InRange(uint64_t{offset} + 16, uint64_t{8} * *count, tree.size())) {
            return Fail(why, "resource table at " + Hex(offset) + " runs past the tree");
        }
        if (*count > entryBudget) return Fail(why, "resource tables are reached more than once (a loop)");
        entryBudget -= *count;
        return true;
    };
    auto subdirectory = [&](uint32_t target, uint32_t *offset, std::string *why) -> bool {
        if (!(target & kResourceSubdirectory)) return Fail(why, "resource tree is cut short above the language level");
        *offset = target & ~kResourceSubdirectory;
        return true;
    };

    uint32_t typeCount = 0;
    if (!table(0, &typeCount, error)) return false;
    for (uint32_t t = 0; t < typeCount; ++t) {
        const uint64_t typeEntry = 16 + uint64_t{8} * t;
        const uint32_t typeField = U32(tree, typeEntry);
        uint32_t namesAt = 0, nameCount = 0;
        if (!subdirectory(U32(tree, typeEntry + 4), &namesAt, error)) return false;
        if (typeField & 0xFFFF0000) continue;  // a named type: nothing the platform calls here ask for
        if (!table(namesAt, &nameCount, error)) return false;
        for (uint32_t n = 0; n < nameCount; ++n) {
            const uint64_t nameEntry = namesAt + 16 + uint64_t{8} * n;
            const uint32_t nameField = U32(tree, nameEntry);
            Resource r;
            r.type = static_cast<uint16_t>(typeField);
            if (nameField & kResourceSubdirectory) {
                const uint32_t at = nameField & ~kResourceSubdirectory;
                const uint16_t length = U16(tree, at);
                if (!InRange(uint64_t{at} + 2, uint64_t{2} * length, tree.size()) || length == 0 ||
                    !InRange(at, 2, tree.size())) {
                    return Fail(error, "resource name at " + Hex(at) + " lies outside the tree");
                }
                r.name.resize(length);
                std::memcpy(r.name.data(), tree.data() + at + 2, 2u * length);
            } else if (nameField == 0 || nameField > 0xFFFF) {
                return Fail(error, "resource id " + Hex(nameField) + " is out of range");
            } else {
                r.nameId = static_cast<uint16_t>(nameField);
            }
            uint32_t languagesAt = 0, languageCount = 0;
            if (!subdirectory(U32(tree, nameEntry + 4), &languagesAt, error)) return false;
            if (!table(languagesAt, &languageCount, error)) return false;
            if (languageCount == 0) continue;
            // The first language given: device images carry one.
            const uint32_t dataAt = U32(tree, languagesAt + 16 + 4);
            if (dataAt & kResourceSubdirectory) {
                return Fail(error, "resource tree goes deeper than type, name and language");
            }
            if (!InRange(dataAt, 16, tree.size())) return Fail(error, "resource data entry at " + Hex(dataAt) + " lies outside the tree");
            r.rva = U32(tree, dataAt);
            r.size = U32(tree, dataAt + 4);
            if (!InRange(r.rva, r.size, image.size())) {
                return Fail(error, "resource data at RVA " + Hex(r.rva) + " of " + Hex(r.size) + " bytes lies outside the image");
            }
            resources->push_back(std::move(r));
        }
    }
    return true;
}

bool LoadInto(std::span<const uint8_t> file, const Headers &headers, std::span<uint8_t> image, uint32_t base,
              const Resolver &resolve, std::string *error) {
    return CopySections(file, headers, image, error) && ApplyRelocations(headers, image, base, error) &&
           ResolveImports(headers, image, resolve, error);
}

ImageMemory::~ImageMemory() {
    if (data_) munmap(data_, size_);
}

bool ImageMemory::Allocate(uint32_t size, uint32_t preferredBase, std::string *error) {
    if (data_) munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
    const auto fits = [size](void *p) {
        return p != MAP_FAILED && reinterpret_cast<uintptr_t>(p) + uint64_t{size} <= (uint64_t{1} << 32);
    };
    // The preferred base is a hint: taken when free, so the image need not move.
    void *p = mmap(reinterpret_cast<void *>(uintptr_t{preferredBase}), size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#ifdef MAP_32BIT
    if (!fits(p)) {
        if (p != MAP_FAILED) munmap(p, size);
        p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    }
#endif
    if (!fits(p)) {
        if (p != MAP_FAILED) munmap(p, size);
        return Fail(error, "no room for " + Hex(size) + " bytes of image below 4 GiB");
    }
    data_ = static_cast<uint8_t *>(p);
    size_ = size;
    return true;
}

bool ImageMemory::Protect(const Headers &headers, std::string *error) {
    if (!data_ || headers.imageSize != size_) return Fail(error, "image memory does not match the headers");
    if (mprotect(data_, RoundUp(headers.headerSize, kPageSize), PROT_READ) != 0) {
        return Fail(error, "cannot protect the image headers");
    }
    for (const Section &s : headers.sections) {
        if (s.size == 0) continue;
        int protection = PROT_READ;
        if (s.characteristics & kScnWrite) protection |= PROT_WRITE;
        if (s.characteristics & kScnExecute) protection |= PROT_EXEC;
        if (mprotect(data_ + s.rva, RoundUp(s.size, kPageSize), protection) != 0) {
            return Fail(error, std::string("cannot protect section ") + s.name);
        }
    }
    return true;
}

}  // namespace standin::pe
