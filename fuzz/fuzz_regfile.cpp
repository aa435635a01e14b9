// Fuzz target for the .reg reader and writer: any text either is refused or loads, and
// what loads must dump to text that loads back into exactly the same dump. The same text
// read as a saved registry is refused or loads; a saved (sealed) registry loads back as
// sealed into the same dump, and any piece of it cut short, or with one byte changed, is
// refused and leaves the registry as it was.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "standin/registry.h"

namespace {

[[noreturn]] void Die(const char *what, const std::string &detail) {
    std::fprintf(stderr, "%s\n---\n%s", what, detail.c_str());
    std::abort();
}

// A saved registry damaged in `damaged` must be refused, with the registry unchanged.
void ExpectRefused(std::string_view damaged, const std::string &dump) {
    std::string error;
    if (standin::LoadSavedRegText(damaged, &error)) Die("a damaged saved registry loaded", std::string(damaged));
    if (error.empty()) Die("refused without a reason", std::string(damaged));
    if (standin::DumpWholeRegistry() != dump) Die("a refused file changed the registry", std::string(damaged));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    // One variable defined, so both sides of IF blocks are reached.
    const std::vector<std::string> defined = {"A"};
    standin::ClearRegistry();
    const std::string empty = standin::DumpWholeRegistry();
    std::string error;

    // As a saved registry: loaded, or refused with a reason and nothing changed.
    standin::SavedForm form;
    if (!standin::LoadSavedRegText(text, &error, &form)) {
        if (error.empty()) Die("a saved registry refused without a reason", std::string(text));
        if (standin::DumpWholeRegistry() != empty) Die("a refused saved registry changed the registry", std::string(text));
    }
    standin::ClearRegistry();

    if (!standin::LoadRegText(text, &error, defined)) {
        if (error.rfind("line ", 0) != 0) {
            std::fprintf(stderr, "error without a line number: %s\n", error.c_str());
            std::abort();
        }
        return 0;
    }
    const std::string first = standin::DumpWholeRegistry();
    standin::ClearRegistry();
    if (!standin::LoadRegText(first, &error)) Die(("dump does not load back: " + error).c_str(), first);
    const std::string second = standin::DumpWholeRegistry();
    if (second != first) Die("dump changed on reload", "--- first\n" + first + "--- second\n" + second);

    // Sealed: loads back the same, and is refused when cut or changed.
    const std::string saved = standin::SavedRegistryText();
    standin::ClearRegistry();
    if (!standin::LoadSavedRegText(saved, &error, &form)) {
        // Only a registry without any key is refused whole.
        if (first.find("\n[") != std::string::npos) Die(("a saved registry is refused: " + error).c_str(), saved);
        return 0;
    }
    if (form != standin::SavedForm::kSealed) Die("a saved registry loads as unsealed", saved);
    if (standin::DumpWholeRegistry() != first) Die("a saved registry loads back different", saved);
    // Cut at a few places the input chooses, and at the last line's start.
    const std::string dump = standin::DumpWholeRegistry();
    std::vector<size_t> cuts = {0, saved.size() - 1, saved.rfind('\n', saved.size() - 2) + 1};
    for (size_t i = 0; i < 4 && i < size; i++) cuts.push_back(data[i] * saved.size() / 256);
    for (size_t cut : cuts) ExpectRefused(std::string_view(saved).substr(0, cut), dump);
    if (size > 0) {
        // One byte of the text before the end line changed.
        std::string changed = saved;
        const size_t at = (static_cast<size_t>(data[size - 1]) * 7919) % (saved.rfind('\n', saved.size() - 2) + 1);
        changed[at] = static_cast<char>(changed[at] ^ 0x20);
        if (changed[at] != saved[at]) ExpectRefused(changed, dump);
    }
    return 0;
}
