// The line settings a Linux program left on a PTY, read from the master side, and the
// device control block they make for the port behind it.
//
// Linux keeps every PTY at 8 data bits without parity: the kernel's pty driver clears
// CSIZE and PARENB on each tcsetattr, so a program's data bits and parity never reach
// the master side. Baud rate (any rate, through termios2), stop bits, XON/XOFF and
// RTS/CTS flow control do. Data bits and parity therefore come as a Framing: what a
// program run with libqsxtty sent to the bridge, or a per-port choice made on qsxsim's
// console, 8 bits without parity unless set.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace qsxsim {

struct PtyLine {
    DWORD baud = 9600;  // 0: the program asked for a hang-up (B0)
    bool twoStopBits = false;
    bool xonXoffOut = false;  // IXON: the program's output stops at XOFF
    bool xonXoffIn = false;   // IXOFF: XOFF is sent when the input fills
    bool rtsCts = false;      // CRTSCTS
    BYTE xonChar = 0x11, xoffChar = 0x13;
    bool operator==(const PtyLine &) const = default;
};

// Reads the settings of the PTY whose master is `masterFd`; false when the call fails.
bool ReadPtyLine(int masterFd, PtyLine *line);

// Puts a fresh PTY into raw mode at 9600 baud, as a freshly opened port is (the port's
// default settings); false when the call fails.
bool MakePtyRaw(int masterFd);

// Data bits, parity and optionally stop bits for a port: chosen on the console, or the
// data bits and parity a program set (its stop bits come through the PTY).
struct Framing {
    BYTE dataBits = 8;            // 5 to 8
    BYTE parity = NOPARITY;       // NOPARITY ... SPACEPARITY
    std::optional<BYTE> stopBits; // ONESTOPBIT, ONE5STOPBITS or TWOSTOPBITS; unset: the PTY's
    bool operator==(const Framing &) const = default;
};
// "8N", "7E2", "5O1.5", ...: data bits, parity letter (N O E M S), optional stop bits.
std::optional<Framing> ParseFraming(const std::string &text);
std::string FramingText(const Framing &framing);

// `dcb` (the port's current block) with the PTY's settings and the framing applied. A
// B0 baud keeps the current rate.
void ApplyPtyLine(const PtyLine &line, const Framing &framing, DCB *dcb);

}  // namespace qsxsim
