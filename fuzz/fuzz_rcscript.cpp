// libFuzzer target for the resource-script reader: arbitrary text as a script, with every
// file it includes and every icon it names read as that same text, must end either in
// resources or in a "file:line: message" error, never in a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "rcparse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    qsxrc::Options options;
    options.reader = [&text](const std::string &) { return std::optional<std::string>(text); };
    qsxrc::Script script;
    qsxrc::Error error;
    if (!qsxrc::Compile("fuzz.rc", text, options, &script, &error)) {
        // Every error names where it was found.
        if (error.file.empty() || error.line < 1 || error.message.empty()) __builtin_trap();
        return 0;
    }
    for (const qsxrc::Resource &r : script.resources) {
        if (r.nameId == 0 && r.nameString.empty()) __builtin_trap();
    }
    return 0;
}
