// Host-side generator of the firmware images linked into the driver: writes one C++ source
// that defines every model's image as constant data.
//
//   mkimage OUT.cpp PID:LENGTH[:FILE] ...
//
// PID is the product id in hex digits (as in the array name), LENGTH the image's exact
// length. With FILE the image is that file's bytes, which must be exactly LENGTH long.
// Without it a stand-in is made: xorshift32 seeded from the product id, so every model gets
// different bytes and no stretch of an image repeats another, which lets a test notice a
// download that skipped, repeated or reordered blocks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> StandIn(uint32_t productId, size_t length) {
    uint32_t x = 0x9E3779B9u ^ (productId * 0x85EBCA6Bu);
    if (x == 0) x = 1;
    std::vector<unsigned char> image(length);
    for (auto &byte : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<unsigned char>(x >> 24);
    }
    return image;
}

bool ReadImage(const std::string &path, size_t length, std::vector<unsigned char> &image) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "mkimage: cannot read firmware image %s\n", path.c_str());
        return false;
    }
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (image.size() != length) {
        std::fprintf(stderr, "mkimage: firmware image %s is %zu bytes; this model needs exactly %zu bytes\n",
                     path.c_str(), image.size(), length);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: mkimage OUT.cpp PID:LENGTH[:FILE] ...\n");
        return 2;
    }
    std::ostringstream out;
    out << "// Generated at build time by firmware/mkimage.cpp; do not edit.\n"
           "#include \"firmware.h\"\n";
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        size_t colon = arg.find(':');
        if (colon == std::string::npos || colon == 0) {
            std::fprintf(stderr, "mkimage: bad model argument '%s'\n", arg.c_str());
            return 2;
        }
        std::string pid = arg.substr(0, colon);
        std::string rest = arg.substr(colon + 1);
        size_t colon2 = rest.find(':');
        std::string file = colon2 == std::string::npos ? "" : rest.substr(colon2 + 1);
        std::string lengthText = rest.substr(0, colon2);
        char *end = nullptr;
        unsigned long length = std::strtoul(lengthText.c_str(), &end, 10);
        unsigned long productId = std::strtoul(pid.c_str(), nullptr, 16);
        if (length == 0 || *end != '\0' || productId == 0 || productId > 0xFFFF) {
            std::fprintf(stderr, "mkimage: bad model argument '%s'\n", arg.c_str());
            return 2;
        }
        std::vector<unsigned char> image;
        if (file.empty())
            image = StandIn(static_cast<uint32_t>(productId), length);
        else if (!ReadImage(file, length, image))
            return 1;
        // The bound comes from the model table; a header that declares another one makes
        // the compiler reject the definition.
        out << "\nconst BYTE Firmware" << pid << "[" << length << "] = {";
        static const char kHex[] = "0123456789abcdef";
        for (size_t n = 0; n < image.size(); n++) {
            out << (n % 16 ? " " : "\n    ") << "0x" << kHex[image[n] >> 4] << kHex[image[n] & 15]
                << ',';
        }
        out << "\n};\n";
    }
    // Written beside the target and renamed, so a failed run never leaves a half file.
    std::string target = argv[1];
    std::string temp = target + ".tmp";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file << out.str();
        if (!file.flush()) {
            std::fprintf(stderr, "mkimage: cannot write %s\n", temp.c_str());
            return 1;
        }
    }
    if (std::rename(temp.c_str(), target.c_str()) != 0) {
        std::fprintf(stderr, "mkimage: cannot rename %s to %s\n", temp.c_str(), target.c_str());
        return 1;
    }
    return 0;
}
