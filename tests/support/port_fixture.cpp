// Port-level fixture for the data-path suites.
#include "port_fixture.h"

#include "readers.h"

namespace qsxtest {

std::vector<BYTE> operator+(std::vector<BYTE> a, const std::vector<BYTE> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void PortFixture::SetUpPorts(WORD portCount, DWORD maxPacket, WORD readyCount) {
    using Ep = ScriptDevice::Endpoint;
    USHORT mp = static_cast<USHORT>(maxPacket);
    Attach(std::make_shared<ScriptDevice>(0x7045, std::vector<Ep>{{0x01, 2, mp}, {0x82, 2, mp}, {0x83, 2, mp}}),
           portCount);
    LPCUSB_INTERFACE itf = fps_->UsbFuncs->lpFindInterface(fps_->UsbFuncs->lpGetDeviceInfo(hDevice_), 0, 0);
    fps_->BulkOutPipe = fps_->UsbFuncs->lpOpenPipe(hDevice_, &itf->lpEndpoints[0].Descriptor);
    fps_->BulkOutEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    fps_->MaxPacket = maxPacket;
    for (int i = 0; i < portCount && i < readyCount; i++) InitPortObjects(Port(i));
}

void InitPortObjects(FpsPort &p) {
    p.TxReady = 1;
    InitializeCriticalSection(&p.RxLock);
    InitializeCriticalSection(&p.TxLock);
    p.LocksReady = 1;
    p.TxReadyEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    p.RxEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    p.CommEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    p.Ready = 1;
}

void FreePortObjects(FpsPort &p) {
    if (!p.LocksReady) return;
    CloseHandle(p.TxReadyEvent);
    CloseHandle(p.RxEvent);
    CloseHandle(p.CommEvent);
    if (p.CloseEvent) CloseHandle(p.CloseEvent);
    DeleteCriticalSection(&p.RxLock);
    DeleteCriticalSection(&p.TxLock);
    p.LocksReady = 0;
}

void PortFixture::TearDown() {
    if (fps_) {
        for (int i = 0; i < fps_->PortCount; i++) FreePortObjects(Port(i));
        if (fps_->BulkOutPipe) fps_->UsbFuncs->lpClosePipe(fps_->BulkOutPipe);
        if (fps_->BulkOutEvent) CloseHandle(fps_->BulkOutEvent);
    }
    DriverFixture::TearDown();
}

std::vector<BYTE> PortFixture::RingBytes(int i) {
    FpsPort &p = Port(i);
    std::vector<BYTE> out;
    for (DWORD t = p.RxTail; t != p.RxHead; t = (t + 1) & RX_RING_MASK) out.push_back(p.RxRing[t]);
    return out;
}

std::vector<BYTE> PortFixture::Chunk(BYTE port, std::vector<BYTE> data, int lengthOverride) {
    DWORD n = lengthOverride >= 0 ? static_cast<DWORD>(lengthOverride) : static_cast<DWORD>(data.size());
    std::vector<BYTE> out{0, port, static_cast<BYTE>(n >> 8), static_cast<BYTE>(n)};
    return out + data;
}

std::vector<BYTE> PortFixture::Record(WORD port, WORD type, BYTE b0, BYTE b1, BYTE b2, BYTE b3) {
    return {static_cast<BYTE>(port >> 8), static_cast<BYTE>(port), static_cast<BYTE>(type >> 8),
            static_cast<BYTE>(type), b0, b1, b2, b3};
}

void PortFixture::Parse(const std::vector<BYTE> &transfer) {
    ParseDataTransfer(fps_, transfer.data(), static_cast<DWORD>(transfer.size()), &lastPort_);
}

void PortFixture::ParseStatus(const std::vector<BYTE> &transfer) {
    ParseStatusTransfer(fps_, transfer.data(), static_cast<DWORD>(transfer.size()));
}

}  // namespace qsxtest
