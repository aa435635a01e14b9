// The resource-script compiler's front half, as a library: reads a script in the
// platform's .rc form (with its #include / #define preprocessor, DIALOG and DIALOGEX
// templates, STRINGTABLE and ICON) and turns it into the binary resources that the
// program's module carries: dialog templates in the DLGTEMPLATE layout with 16-bit
// strings, string blocks of 16, icon images and their group directory.
//
// The platform's standard constants (WS_*, DS_*, BS_*, SS_*, CBS_*, WS_EX_*, IDOK, ...)
// are always known, as if windows.h had been included; #include <...> of a system header
// is accepted and adds nothing. A "quoted" include is looked up beside the including
// file, then in the include folders.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qsxrc {

struct Resource {
    uint16_t type = 0;        // RT_ number
    uint16_t nameId = 0;      // the name when nameString is empty
    std::u16string nameString;  // upper case
    std::vector<uint8_t> data;
};

struct Script {
    std::vector<Resource> resources;
    std::vector<std::string> dependencies;  // every file read besides the script itself
};

struct Error {
    std::string file;
    int line = 0;
    std::string message;
    std::string ToString() const { return file + ":" + std::to_string(line) + ": " + message; }
};

// Reads a file named by #include or ICON (a path as resolved); nullopt when it cannot be
// read.
using FileReader = std::function<std::optional<std::string>(const std::string &path)>;

struct Options {
    std::vector<std::string> includeDirs;
    FileReader reader;  // the file system when empty
};

// Compiles the script `text` read from `path`. On failure returns false and describes the
// first error; *script then holds nothing useful.
bool Compile(const std::string &path, std::string_view text, const Options &options, Script *script,
             Error *error);

// The built-in value of a standard constant, if it is one.
std::optional<uint32_t> BuiltinSymbol(std::string_view name);

}  // namespace qsxrc
