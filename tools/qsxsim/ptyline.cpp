// PTY line settings through termios2 (so any baud rate reads as a number), and their
// mapping onto the port's DCB. This file uses the kernel's termios definitions, which
// cannot share a translation unit with the C library's <termios.h>.
#include "ptyline.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cctype>

namespace qsxsim {

bool ReadPtyLine(int masterFd, PtyLine *line) {
    // On a master, the terminal calls act on the slave's settings.
    struct termios2 t;
    if (ioctl(masterFd, TCGETS2, &t) != 0) return false;
    line->baud = t.c_ospeed;
    line->twoStopBits = (t.c_cflag & CSTOPB) != 0;
    line->xonXoffOut = (t.c_iflag & IXON) != 0;
    line->xonXoffIn = (t.c_iflag & IXOFF) != 0;
    line->rtsCts = (t.c_cflag & CRTSCTS) != 0;
    line->xonChar = t.c_cc[VSTART];
    line->xoffChar = t.c_cc[VSTOP];
    return true;
}

bool MakePtyRaw(int masterFd) {
    struct termios2 t;
    if (ioctl(masterFd, TCGETS2, &t) != 0) return false;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CBAUD | CIBAUD);
    t.c_cflag |= CS8 | CREAD | CLOCAL | B9600;
    t.c_ispeed = t.c_ospeed = 9600;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return ioctl(masterFd, TCSETS2, &t) == 0;
}

std::optional<Framing> ParseFraming(const std::string &text) {
    if (text.size() < 2 || text[0] < '5' || text[0] > '8') return std::nullopt;
    Framing f;
    f.dataBits = static_cast<BYTE>(text[0] - '0');
    switch (std::toupper(static_cast<unsigned char>(text[1]))) {
    case 'N': f.parity = NOPARITY; break;
    case 'O': f.parity = ODDPARITY; break;
    case 'E': f.parity = EVENPARITY; break;
    case 'M': f.parity = MARKPARITY; break;
    case 'S': f.parity = SPACEPARITY; break;
    default: return std::nullopt;
    }
    const std::string stop = text.substr(2);
    if (stop == "1") f.stopBits = ONESTOPBIT;
    else if (stop == "1.5") f.stopBits = ONE5STOPBITS;
    else if (stop == "2") f.stopBits = TWOSTOPBITS;
    else if (!stop.empty()) return std::nullopt;
    return f;
}

std::string FramingText(const Framing &f) {
    std::string s(1, static_cast<char>('0' + f.dataBits));
    s += "NOEMS"[f.parity <= SPACEPARITY ? f.parity : 0];
    if (f.stopBits) s += *f.stopBits == ONESTOPBIT ? "1" : *f.stopBits == ONE5STOPBITS ? "1.5" : "2";
    return s;
}

void ApplyPtyLine(const PtyLine &line, const Framing &framing, DCB *dcb) {
    if (line.baud != 0) dcb->BaudRate = line.baud;
    dcb->ByteSize = framing.dataBits;
    dcb->Parity = framing.parity;
    dcb->fParity = framing.parity != NOPARITY;
    dcb->StopBits = framing.stopBits ? *framing.stopBits : line.twoStopBits ? TWOSTOPBITS : ONESTOPBIT;
    dcb->fOutX = line.xonXoffOut;
    dcb->fInX = line.xonXoffIn;
    dcb->XonChar = static_cast<char>(line.xonChar);
    dcb->XoffChar = static_cast<char>(line.xoffChar);
    dcb->fOutxCtsFlow = line.rtsCts;
    dcb->fRtsControl = line.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
}

}  // namespace qsxsim
