// Feeds arbitrary status-pipe transfers to the status parser and checks the port bits
// against an independent model: every record for a port the adapter has is applied in
// order up to the first bad port; nothing outside the adapter's ports changes; bits only
// take their defined values.
//
// Input: byte 0 picks the port count, byte 1 the event mask, byte 2 the flow settings;
// then transfers, each prefixed by a 2-byte length (capped at 512).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_record.h"
#include "qsxport.h"
#include "readers.h"

namespace {

struct PortModel {
    DWORD events = 0, errors = 0, holds = 0, msr = 0, txReady = 1;
};

void ModelRecord(PortModel &m, const BYTE *r, DWORD mask, bool outX, bool inX) {
    DWORD type = (DWORD(r[2]) << 8) | r[3];
    const BYTE *pl = r + 4;
    if (type == 2) {
        m.txReady = 1;
    } else if (type == 3) {
        DWORD e = (DWORD(pl[0]) << 8) | pl[1], msr = pl[2] & 0xF0, x = msr ^ m.msr;
        if (x & 0x80) e |= EV_RLSD;
        if (x & 0x10) e |= EV_CTS;
        if (x & 0x20) e |= EV_DSR;
        m.events |= e;
        if (!(msr & 0x10)) m.holds |= 0x01;
        m.holds = (msr & 0x20) ? (m.holds & ~0x02u) : (m.holds | 0x02);
        m.holds = (msr & 0x80) ? (m.holds & ~0x04u) : (m.holds | 0x04);
        m.msr = msr;
    } else if (type == 4) {
        DWORD l = pl[2];
        if (pl[1] & 0x40) {
            if (mask & EV_BREAK) m.holds |= 0x20;
            m.events |= EV_BREAK;
        } else {
            m.holds &= ~0x20u;
        }
        if (l & 0x10) m.errors |= CE_BREAK;
        if (l & 0x08) m.errors |= CE_FRAME;
        if (l & 0x04) m.errors |= CE_RXPARITY;
        if (l & 0x02) m.errors |= CE_OVERRUN;
        if (m.errors && (mask & EV_ERR)) m.events |= EV_ERR;
    } else if (type == 5) {
        if (outX) m.holds = (pl[0] & 0x40) ? (m.holds & ~0x08u) : (m.holds | 0x08);
        if (inX) m.holds = (pl[0] & 0x08) ? (m.holds & ~0x10u) : (m.holds | 0x10);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    static const WORD kCounts[] = {2, 4, 8, 16};
    WORD ports = kCounts[data[0] & 3];
    DWORD mask = data[1];
    bool outX = data[2] & 1, inX = data[2] & 2;
    // Bit 2 of byte 0: binding stopped half-way; the later ports have no objects.
    WORD ready = (data[0] & 4) ? ports / 2 : ports;
    PUSBFPS fps = FuzzRecord(ports, ready);
    DCB dcb{};
    dcb.fOutX = outX;
    dcb.fInX = inX;
    for (int i = 0; i < ready; i++) {
        SetDBC(fps, &dcb, i);
        fps->Ports[i].EventMask = mask;
    }
    PortModel model[QSX_MAX_PORTS];
    size_t off = 3;
    while (size - off >= 2) {
        size_t n = ((size_t(data[off]) << 8) | data[off + 1]) % 513;
        off += 2;
        if (n > size - off) n = size - off;
        std::vector<BYTE> transfer(data + off, data + off + n);
        ParseStatusTransfer(fps, transfer.data(), static_cast<DWORD>(n));
        for (size_t r = 0; r + 8 <= n; r += 8) {
            DWORD port = (DWORD(transfer[r]) << 8) | transfer[r + 1];
            if (port >= ports) break;
            if (port >= ready) continue;
            ModelRecord(model[port], &transfer[r], mask, outX, inX);
        }
        off += n;
    }
    for (int i = 0; i < QSX_MAX_PORTS; i++) {
        FpsPort &p = fps->Ports[i];
        PortModel expect = i < ready ? model[i] : PortModel{0, 0, 0, 0, 0};
        if (i >= ready) expect.txReady = 0;
        if (p.EventsPending != expect.events || p.Errors != expect.errors || p.HoldFlags != expect.holds ||
            p.LastMsr != expect.msr || p.TxReady != expect.txReady)
            abort();
        if (p.HoldFlags & ~0x3Fu) abort();
    }
    FreeFuzzRecord(fps);
    return 0;
}
