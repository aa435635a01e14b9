// The stand-in's reader of device images (32-bit x86 PE files built for the device): it
// checks the headers and every table it reads against the file and the image before using
// them, copies the sections into image memory, applies base relocations, fills the import
// address table through a caller's resolver, and finds exports and resources in a mapped
// image. It does not run image code and knows nothing of the module table (modules.cpp).
//
// All reads go through bounds checks on the file or on the image's SizeOfImage bytes: a
// damaged file is refused with a message, never read outside what it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace standin::pe {

// The device's loader honours only the first seven data directories (no TLS, delay
// load or load configuration).
enum Directory : int {
    kExportDir = 0,
    kImportDir = 1,
    kResourceDir = 2,
    kExceptionDir = 3,
    kSecurityDir = 4,  // a file offset, not an image address; never read
    kRelocDir = 5,
    kDebugDir = 6,
    kDirectoryCount = 7,
};

// A process slot on the device is 32 MiB; no image larger than that loads.
constexpr uint32_t kMaxImageSize = 32u << 20;

struct Section {
    char name[9] = {};
    uint32_t rva = 0;
    uint32_t size = 0;      // bytes in the image (the larger of virtual and raw size)
    uint32_t fileOffset = 0;
    uint32_t fileSize = 0;  // bytes copied from the file; the rest of `size` is zero
    uint32_t characteristics = 0;
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct Headers {
    bool dll = false;
    bool relocsStripped = false;
    uint32_t imageBase = 0;   // where the image was linked to load
    uint32_t imageSize = 0;   // SizeOfImage rounded up to whole pages
    uint32_t headerSize = 0;  // SizeOfHeaders
    uint32_t entryRva = 0;    // 0: no entry
    uint16_t subsystem = 0;
    DataDirectory dirs[kDirectoryCount];
    std::vector<Section> sections;
};

// Checks the DOS and PE headers, the optional header, the section table and the data
// directories of `file`. False with a message in `error` for anything the device would
// not load or that points outside the file or the image.
bool ParseHeaders(std::span<const uint8_t> file, Headers *headers, std::string *error);

// Copies the headers and every section's file bytes into `image` (imageSize bytes, already
// zeroed) at their RVAs.
bool CopySections(std::span<const uint8_t> file, const Headers &headers, std::span<uint8_t> image,
                  std::string *error);

// Applies the base relocations for an image placed at `base` instead of its ImageBase.
// Every block is checked, also when nothing moves, so a damaged table is refused wherever
// the image lands. Only ABSOLUTE and HIGHLOW entries occur in device images; any other
// kind refuses the load.
bool ApplyRelocations(const Headers &headers, std::span<uint8_t> image, uint32_t base,
                      std::string *error);

// One import as the image names it: by name, or by ordinal when `name` is empty.
struct Import {
    std::string_view dll;
    std::string_view name;
    uint16_t ordinal = 0;
};
// Returns the 32-bit address for an import, or 0 when it is not provided; may put the
// reason into `why` (otherwise "not provided" is said).
using Resolver = std::function<uint32_t(const Import &import, std::string *why)>;

// Fills each import address table slot through `resolve`. An import the resolver does not
// provide refuses the load with a message naming the DLL and the function.
bool ResolveImports(const Headers &headers, std::span<uint8_t> image, const Resolver &resolve,
                    std::string *error);

// The RVA of the export `name` (case-sensitive) or, when `name` is empty, of `ordinal`.
// 0 with `error` empty when there is no such export; 0 with a message in `error` when it
// is a forwarder (which the stand-in does not follow) or the export table is damaged.
uint32_t FindExport(const Headers &headers, std::span<const uint8_t> image, std::string_view name,
                    uint16_t ordinal, std::string *error);

// One resource of the image's resource tree, in the first language given for it.
struct Resource {
    uint16_t type = 0;      // numeric types only; named types are not listed
    uint16_t nameId = 0;    // 0 when the name is a string
    std::u16string name;    // as stored in the image
    uint32_t rva = 0;
    uint32_t size = 0;
};
bool ListResources(const Headers &headers, std::span<const uint8_t> image,
                   std::vector<Resource> *resources, std::string *error);

// Everything a load does to image memory, in order: parse, copy, relocate for `base`,
// resolve imports. `image` must hold headers.imageSize zeroed bytes once parsed; the
// caller gets the size from ParseHeaders first.
bool LoadInto(std::span<const uint8_t> file, const Headers &headers, std::span<uint8_t> image,
              uint32_t base, const Resolver &resolve, std::string *error);

// Image memory below 4 GiB (so its 32-bit addresses are real addresses, also in a 64-bit
// process), at the preferred base when it is free. Sections get their page protection
// from Protect(); the memory is released with the object.
class ImageMemory {
public:
    ImageMemory() = default;
    ImageMemory(const ImageMemory &) = delete;
    ImageMemory &operator=(const ImageMemory &) = delete;
    ~ImageMemory();

    bool Allocate(uint32_t size, uint32_t preferredBase, std::string *error);
    // Headers read-only; each section readable, writable and executable as it says.
    bool Protect(const Headers &headers, std::string *error);

    uint8_t *data() const { return data_; }
    uint32_t size() const { return size_; }
    uint32_t base() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data_)); }
    std::span<uint8_t> span() const { return {data_, size_}; }

private:
    uint8_t *data_ = nullptr;
    uint32_t size_ = 0;
};

}  // namespace standin::pe
