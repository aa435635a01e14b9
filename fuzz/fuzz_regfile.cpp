// Fuzz target for the .reg reader and writer: any text either is refused or loads, and
// what loads must dump to text that loads back into exactly the same dump.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "standin/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    // One variable defined, so both sides of IF blocks are reached.
    const std::vector<std::string> defined = {"A"};
    standin::ClearRegistry();
    std::string error;
    if (!standin::LoadRegText(text, &error, defined)) {
        if (error.rfind("line ", 0) != 0) {
            std::fprintf(stderr, "error without a line number: %s\n", error.c_str());
            std::abort();
        }
        return 0;
    }
    const std::string first = standin::DumpWholeRegistry();
    standin::ClearRegistry();
    if (!standin::LoadRegText(first, &error)) {
        std::fprintf(stderr, "dump does not load back: %s\n---\n%s", error.c_str(), first.c_str());
        std::abort();
    }
    const std::string second = standin::DumpWholeRegistry();
    if (second != first) {
        std::fprintf(stderr, "dump changed on reload\n--- first\n%s--- second\n%s", first.c_str(),
                     second.c_str());
        std::abort();
    }
    return 0;
}
