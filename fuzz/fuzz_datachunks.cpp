// Feeds arbitrary data-pipe transfers to the receive parser and checks every port's ring
// against an independent model of what the transfers carry: indices in range, no byte
// invented, lost or reordered, nothing stored for a port the adapter does not have.
//
// Input: byte 0 picks the port count, the ports' settings and whether binding stopped
// half-way (the later ports then have no objects and get nothing); then transfers, each
// prefixed by a 2-byte length (capped at 4096) and a byte that says how much to read back
// from one port afterwards (so the ring indices wrap).
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <vector>

#include "fuzz_record.h"
#include "qsxport.h"
#include "readers.h"

namespace {

struct Model {
    std::deque<BYTE> ring[QSX_MAX_PORTS];
    bool overflow[QSX_MAX_PORTS] = {};
};

void ModelTransfer(Model &m, WORD ports, WORD ready, const BYTE *data, size_t size, bool stripNul) {
    size_t off = 0;
    while (size - off >= 4) {
        DWORD port = data[off + 1], n = (DWORD(data[off + 2]) << 8) | data[off + 3];
        if (port >= ports || n > 512 || n > size - off - 4) break;
        for (DWORD i = 0; i < n && port < ready; i++) {
            BYTE b = data[off + 4 + i];
            if (stripNul && b == 0) continue;
            if (m.ring[port].size() < RX_RING_SIZE - 1)
                m.ring[port].push_back(b);
            else
                m.overflow[port] = true;
        }
        off += 4 + n;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static const WORD kCounts[] = {2, 4, 8, 16};
    WORD ports = kCounts[data[0] & 3];
    bool stripNul = data[0] & 4;
    WORD ready = (data[0] & 0x20) ? ports / 2 : ports;
    PUSBFPS fps = FuzzRecord(ports, ready);
    DCB dcb{};
    dcb.fNull = stripNul;
    dcb.EvtChar = '\n';
    for (int i = 0; i < ready; i++) {
        SetDBC(fps, &dcb, i);
        fps->Ports[i].EventMask = (data[0] & 8) ? (EV_RXCHAR | EV_RXFLAG) : 0;
        fps->Ports[i].RxOverflow = (data[0] >> 4) & 1;
    }
    Model model;
    DWORD lastPort = 0xFFFFFFFF;
    std::vector<BYTE> got(RX_RING_SIZE);
    // Reads the port's bytes and checks them against the model.
    auto drain = [&](int port, DWORD want) {
        DWORD count = ReadUsb(fps, got.data(), want, port);
        if (count != std::min<size_t>(want, model.ring[port].size())) abort();
        for (DWORD k = 0; k < count; k++) {
            if (got[k] != model.ring[port].front()) abort();
            model.ring[port].pop_front();
        }
    };
    size_t off = 1;
    while (size - off >= 3) {
        size_t n = ((size_t(data[off]) << 8) | data[off + 1]) % 4097;
        DWORD readBack = DWORD(data[off + 2]) * 97;
        off += 3;
        if (n > size - off) n = size - off;
        // A private copy, so reading past the transfer is caught by the sanitizer.
        std::vector<BYTE> transfer(data + off, data + off + n);
        ParseDataTransfer(fps, transfer.data(), static_cast<DWORD>(n), &lastPort);
        ModelTransfer(model, ports, ready, transfer.data(), n, stripNul);
        off += n;
        if (lastPort != 0xFFFFFFFF && lastPort >= ready) abort();
        for (int i = 0; i < ready; i++) {
            FpsPort &p = fps->Ports[i];
            if (p.RxHead >= RX_RING_SIZE || p.RxTail >= RX_RING_SIZE) abort();
            if (USBPortSatus(fps, 3, i) != model.ring[i].size()) abort();
        }
        if (readBack) drain(readBack % ready, readBack);
    }
    for (int i = 0; i < QSX_MAX_PORTS; i++) {
        FpsPort &p = fps->Ports[i];
        if (i >= ready) {
            if (p.RxHead != 0 || p.Errors != 0) abort();
            continue;
        }
        drain(i, RX_RING_SIZE);
        if (!model.ring[i].empty()) abort();
        bool marked = p.Errors & CE_RXOVER;
        if (model.overflow[i] && !marked) abort();
        if (!p.RxOverflow && !model.overflow[i] && marked) abort();
    }
    FreeFuzzRecord(fps);
    return 0;
}
