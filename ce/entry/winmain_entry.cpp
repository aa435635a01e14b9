// The process entry of a program written for the device: main() hands WinMain the
// program's module and its command line (the arguments joined by blanks) as the platform
// does.
#include <windows.h>

#include <standin/gwes.h>
#include <standin/kernel.h>

#include <string>

int main(int argc, char **argv) {
    std::string line;
    for (int i = 1; i < argc; i++) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    std::u16string wide = standin::FromUtf8(line);
    return WinMain(standin::gwes::ProgramInstance(), nullptr, wide.data(), SW_SHOW);
}
