// A device record with its ports set up the way attach leaves them (locks, events, the
// transmit window open), on a scripted device whose bulk OUT pipe takes transmit frames,
// so the reader threads' parsing and the port exports can be driven directly.
#pragma once

#include <vector>

#include "driver_fixture.h"
#include "qsxport.h"

namespace qsxtest {

class PortFixture : public DriverFixture {
protected:
    // Sets up the record for `portCount` ports at high (512) or full (64) speed. Ports from
    // `readyCount` on are left as a binding that stopped before them leaves them: no lock,
    // no event (all of them when readyCount is 0xFFFF).
    void SetUpPorts(WORD portCount = 4, DWORD maxPacket = 512, WORD readyCount = 0xFFFF);
    void TearDown() override;

    FpsPort &Port(int i) { return fps_->Ports[i]; }
    // Whether the port's auto-reset RxEvent is signalled (taking the signal).
    bool TakeRxEvent(int i) { return WaitForSingleObject(Port(i).RxEvent, 0) == WAIT_OBJECT_0; }
    bool CommEventSet(int i) { return WaitForSingleObject(Port(i).CommEvent, 0) == WAIT_OBJECT_0; }
    std::vector<BYTE> RingBytes(int i);

    // One receive chunk: header (port, big-endian length) and data.
    static std::vector<BYTE> Chunk(BYTE port, std::vector<BYTE> data, int lengthOverride = -1);
    // One 8-byte status record.
    static std::vector<BYTE> Record(WORD port, WORD type, BYTE b0 = 0, BYTE b1 = 0, BYTE b2 = 0,
                                    BYTE b3 = 0);

    void Parse(const std::vector<BYTE> &transfer);        // a data transfer
    void ParseStatus(const std::vector<BYTE> &transfer);  // a status transfer
    DWORD lastPort_ = 0xFFFFFFFF;
};

std::vector<BYTE> operator+(std::vector<BYTE> a, const std::vector<BYTE> &b);

// A port block as attach leaves it once its binding got through: window open, both locks,
// the three events, Ready. FreePortObjects releases what a port has (nothing for a port
// the binding never reached), the close event included.
void InitPortObjects(FpsPort &port);
void FreePortObjects(FpsPort &port);

}  // namespace qsxtest
