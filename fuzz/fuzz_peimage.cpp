// Fuzz target for the reader of device images: any file is refused with a reason or
// parses; one that parses is copied, relocated to another base and has its imports,
// exports and resources read, each step refusing with a reason or succeeding, and never
// reading or writing outside the file or the image (AddressSanitizer watches both, each in
// a buffer of exactly its size). Seeded with the device build's QSXPDD.dll and QSXPORT.exe.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../ce/src/peimage.h"

namespace pe = standin::pe;

namespace {

[[noreturn]] void Die(const char *what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void Check(bool ok, const std::string &error, const char *step) {
    if (!ok && error.empty()) Die(step);
}

// Larger images cost time without reaching new code.
constexpr uint32_t kMaxFuzzImage = 1u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<uint8_t> file(data, data + size);
    pe::Headers headers;
    std::string error;
    if (!pe::ParseHeaders(file, &headers, &error)) {
        Check(false, error, "headers refused without a reason");
        return 0;
    }
    if (headers.imageSize > kMaxFuzzImage) return 0;
    std::vector<uint8_t> image(headers.imageSize);
    // Every import resolves except names starting with 'X', so refusals are reached too.
    const pe::Resolver resolve = [](const pe::Import &import, std::string *) -> uint32_t {
        if (import.dll.empty()) Die("an import without a DLL name");
        return !import.name.empty() && import.name[0] == 'X' ? 0 : 0x10001000u + import.ordinal;
    };
    const bool loaded = pe::LoadInto(file, headers, image, headers.imageBase ^ 0x01000000u, resolve, &error);
    Check(loaded, error, "load refused without a reason");
    for (const char *name : {"DllMain", "USBDeviceAttach", "ReadUsb", ""}) {
        error.clear();
        const uint32_t rva = pe::FindExport(headers, image, name, 1, &error);
        if (rva >= image.size()) Die("an export outside the image");
    }
    std::vector<pe::Resource> resources;
    Check(pe::ListResources(headers, image, &resources, &error), error, "resources refused without a reason");
    for (const pe::Resource &r : resources) {
        if (uint64_t{r.rva} + r.size > image.size()) Die("a resource outside the image");
    }
    return 0;
}
