// PTY line settings through termios2 (so any baud rate reads as a number), and their
// mapping onto the port's DCB. This file uses the kernel's termios definitions, which
// cannot share a translation unit with the C library's <termios.h>.
#include "ptyline.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace qsxsim {

namespace {

// The standard rate codes, for the older calls below.
struct RateCode {
    tcflag_t code;
    speed_t baud;
};
constexpr RateCode kRateCodes[] = {
    {B0, 0},           {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},       {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},
    {B1800, 1800},     {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},
    {B38400, 38400},   {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
    {B500000, 500000}, {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000},
    {B4000000, 4000000},
};

// The slave's settings (on a master, the terminal calls act on the slave). qemu-user, which
// runs the 32-bit build, does not carry termios2 across (ENOSYS); there the older call
// gives the same settings with the rate as one of the standard codes.
bool GetLine(int masterFd, struct termios2 *t) {
    if (ioctl(masterFd, TCGETS2, t) == 0) return true;
    if (errno != ENOSYS) return false;
    struct termios old;
    if (ioctl(masterFd, TCGETS, &old) != 0) return false;
    *t = {};
    t->c_iflag = old.c_iflag;
    t->c_oflag = old.c_oflag;
    t->c_cflag = old.c_cflag;
    t->c_lflag = old.c_lflag;
    t->c_line = old.c_line;
    static_assert(sizeof t->c_cc == sizeof old.c_cc);
    std::memcpy(t->c_cc, old.c_cc, sizeof old.c_cc);
    for (const RateCode &r : kRateCodes)
        if ((old.c_cflag & CBAUD) == r.code) t->c_ispeed = t->c_ospeed = r.baud;
    return true;
}

// Sets what GetLine read, changed; through the older call, the rate must be a standard one.
bool SetLine(int masterFd, const struct termios2 &t) {
    if (ioctl(masterFd, TCSETS2, &t) == 0) return true;
    if (errno != ENOSYS) return false;
    struct termios old = {};
    old.c_iflag = t.c_iflag;
    old.c_oflag = t.c_oflag;
    old.c_cflag = t.c_cflag & ~static_cast<tcflag_t>(CBAUD);
    old.c_lflag = t.c_lflag;
    old.c_line = t.c_line;
    std::memcpy(old.c_cc, t.c_cc, sizeof old.c_cc);
    const RateCode *rate = nullptr;
    for (const RateCode &r : kRateCodes)
        if (r.baud == t.c_ospeed) rate = &r;
    if (!rate) {
        errno = EINVAL;
        return false;
    }
    old.c_cflag |= rate->code;
    return ioctl(masterFd, TCSETS, &old) == 0;
}

}  // namespace

bool ReadPtyLine(int masterFd, PtyLine *line) {
    struct termios2 t;
    if (!GetLine(masterFd, &t)) return false;
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
    if (!GetLine(masterFd, &t)) return false;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CBAUD | CIBAUD);
    t.c_cflag |= CS8 | CREAD | CLOCAL | B9600;
    t.c_ispeed = t.c_ospeed = 9600;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return SetLine(masterFd, t);
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
