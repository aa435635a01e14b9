// qsxrc, the resource compiler of the build: compiles a resource script into a C++ file
// that registers the binary resources with the stand-in's dialog manager under the module
// the file is linked into, and writes a dependency file so that the build notices changes
// to included headers and icons.
//
//   qsxrc [-I dir]... [--depfile file] -o out.cpp script.rc
//
// A malformed script fails with "file:line: message" on stderr and exit status 1; the
// output is then left untouched.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "rcparse.h"

namespace {

int Usage() {
    std::cerr << "usage: qsxrc [-I dir]... [--depfile file] -o out.cpp script.rc\n";
    return 2;
}

std::string CharArray(std::u16string_view text) {
    std::string out = "{";
    for (char16_t c : text) out += std::to_string(static_cast<unsigned>(c)) + ", ";
    return out + "0}";
}

std::string Generate(const std::string &source, const qsxrc::Script &script) {
    std::ostringstream out;
    out << "// Resources compiled by qsxrc from " << source << "; rebuilt with every change to it.\n"
        << "#include <standin/gwes.h>\n\nnamespace {\n\n";
    for (size_t i = 0; i < script.resources.size(); ++i) {
        const qsxrc::Resource &r = script.resources[i];
        out << "alignas(4) const unsigned char kData" << i << "[] = {";
        for (size_t k = 0; k < r.data.size(); ++k) {
            if (k % 16 == 0) out << "\n   ";
            out << ' ' << static_cast<unsigned>(r.data[k]) << ',';
        }
        if (r.data.empty()) out << '0';
        out << "\n};\n";
        if (!r.nameString.empty()) out << "const char16_t kName" << i << "[] = " << CharArray(r.nameString) << ";\n";
    }
    out << "\nconst standin::gwes::ResourceEntry kResources[] = {\n";
    for (size_t i = 0; i < script.resources.size(); ++i) {
        const qsxrc::Resource &r = script.resources[i];
        out << "    {" << r.type << ", " << r.nameId << ", "
            << (r.nameString.empty() ? std::string("nullptr") : "kName" + std::to_string(i)) << ", kData" << i << ", "
            << r.data.size() << "},\n";
    }
    if (script.resources.empty()) out << "    {0, 0, nullptr, nullptr, 0},\n";
    out << "};\n\n"
        << "struct Registration {\n"
        << "    Registration() {\n"
        << "        standin::gwes::RegisterResources(kResources, std::span(kResources, "
        << script.resources.size() << "));\n"
        << "    }\n"
        << "    ~Registration() { standin::gwes::UnregisterResources(kResources); }\n"
        << "    Registration(const Registration &) = delete;\n"
        << "    Registration &operator=(const Registration &) = delete;\n"
        << "} const kRegistration;\n\n"
        << "}  // namespace\n";
    return out.str();
}

std::string MakeEscape(const std::string &path) {
    std::string out;
    for (char c : path) {
        if (c == ' ' || c == '#') out += '\\';
        if (c == '$') out += '$';
        out += c;
    }
    return out;
}

// Writes next to the target and renames, so that a failed run never leaves half a file.
bool WriteFile(const std::string &path, const std::string &text) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << text;
        if (!out.flush()) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    qsxrc::Options options;
    std::string output, depfile, input;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-o" || arg == "--depfile" || arg == "-I") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "-o") output = value;
            else if (arg == "--depfile") depfile = value;
            else options.includeDirs.push_back(value);
        } else if (arg.rfind("-I", 0) == 0 && arg.size() > 2) {
            options.includeDirs.push_back(arg.substr(2));
        } else if (!arg.empty() && arg[0] != '-' && input.empty()) {
            input = arg;
        } else {
            return Usage();
        }
    }
    if (input.empty() || output.empty()) return Usage();

    std::ifstream in(input, std::ios::binary);
    if (!in) {
        std::cerr << input << ":0: cannot open the resource script\n";
        return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();

    qsxrc::Script script;
    qsxrc::Error error;
    if (!qsxrc::Compile(input, text.str(), options, &script, &error)) {
        std::cerr << error.ToString() << '\n';
        return 1;
    }
    if (!WriteFile(output, Generate(input, script))) {
        std::cerr << output << ": cannot write: " << std::strerror(errno) << '\n';
        return 1;
    }
    if (!depfile.empty()) {
        std::string deps = MakeEscape(output) + ": " + MakeEscape(input);
        for (const std::string &d : script.dependencies) deps += " \\\n  " + MakeEscape(d);
        if (!WriteFile(depfile, deps + "\n")) {
            std::cerr << depfile << ": cannot write: " << std::strerror(errno) << '\n';
            return 1;
        }
    }
    return 0;
}
