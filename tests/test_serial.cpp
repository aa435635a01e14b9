// Bytes both ways on every port at once, through the platform's serial API, the stand-in
// COM driver, the real QSXPDD and the simulated adapter: loopback and null-modem wiring at
// high and full speed, byte-exact, and modem lines crossing a null-modem pair.
#include <gtest/gtest.h>

#include <windows.h>

#include <standin/kernel.h>
#include <standin/usbbus.h>

#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "attach_fixture.h"

namespace {

constexpr size_t kVolume = 1 << 20;  // bytes each port sends
// How far a sender may run ahead of its receiver's reads. Nothing in the path pushes back
// on a sender whose receiver does not read (as on a line without flow control), so the
// test keeps what is in flight below the driver's 16 KiB ring, the way an application
// would with a windowed protocol.
constexpr size_t kAhead = 8192;

class SerialEndToEnd : public qsxtest::AttachFixture {
protected:
    void SetUp() override {
        AttachFixture::SetUp();
        // Real time: the data path has no pauses of its own, and read time-outs stay honest.
        standin::SetTimeScale(1.0);
    }
    void TearDown() override {
        for (HANDLE h : ports_) CloseHandle(h);
        if (device_) qsxtest::UnplugAndWait(device_);
        AttachFixture::TearDown();
    }

    void PlugAndOpen(WORD productId, bool highSpeed) {
        device_ = Plug(productId, highSpeed);
        ASSERT_TRUE(standin::UsbHasClient(device_));
        for (int i = 0; i < adapter_->PortCount(); i++) {
            std::u16string name = u"$device\\COM" + standin::FromUtf8(std::to_string(11 + i));
            HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
            ASSERT_NE(h, INVALID_HANDLE_VALUE) << i;
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            ASSERT_TRUE(GetCommState(h, &dcb));
            // The line runs at its rate; this one keeps it from being what the test waits for.
            dcb.BaudRate = 12000000;
            dcb.ByteSize = 8;
            dcb.Parity = NOPARITY;
            dcb.StopBits = ONESTOPBIT;
            ASSERT_TRUE(SetCommState(h, &dcb));
            // Wait up to a second for the first byte, then take what is there.
            COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 1000, 0, 0};
            ASSERT_TRUE(SetCommTimeouts(h, &t));
            ports_.push_back(h);
        }
    }

    static std::vector<BYTE> Pattern(int seed) {
        std::vector<BYTE> data(kVolume);
        std::mt19937 rng(seed);
        for (auto &b : data) b = static_cast<BYTE>(rng());
        return data;
    }

    // Every port sends its pattern to ports_[peer[i]] while every port reads what its
    // sender sent; all ports at once. Returns per port whether the bytes arrived exactly.
    void Stream(const std::vector<int> &peer) {
        size_t n = ports_.size();
        std::vector<std::vector<BYTE>> sent(n), received(n);
        for (size_t i = 0; i < n; i++) sent[i] = Pattern(static_cast<int>(i) + 1);
        std::vector<std::thread> threads;
        std::vector<DWORD> writeErrors(n, 0), readErrors(n, 0);
        std::mutex lock;
        std::condition_variable progress;
        std::vector<size_t> consumed(n, 0);  // lock
        bool stop = false;                   // lock: a reader gave up
        for (size_t i = 0; i < n; i++) {
            threads.emplace_back([&, i] {
                size_t done = 0;
                size_t to = static_cast<size_t>(peer[i]);
                while (done < kVolume) {
                    {
                        std::unique_lock g(lock);
                        progress.wait(g, [&] { return stop || done - consumed[to] <= kAhead; });
                        if (stop) return;
                    }
                    DWORD wrote = 0;
                    DWORD chunk = static_cast<DWORD>(std::min<size_t>(4096, kVolume - done));
                    if (!WriteFile(ports_[i], sent[i].data() + done, chunk, &wrote, nullptr) || wrote == 0) {
                        writeErrors[i] = GetLastError() ? GetLastError() : 1;
                        return;
                    }
                    done += wrote;
                }
            });
            threads.emplace_back([&, i] {
                std::vector<BYTE> &in = received[i];
                in.reserve(kVolume);
                BYTE buffer[8192];
                int idle = 0;
                while (in.size() < kVolume && idle < 30) {
                    DWORD got = 0;
                    if (!ReadFile(ports_[i], buffer, sizeof buffer, &got, nullptr)) {
                        readErrors[i] = GetLastError();
                        break;
                    }
                    idle = got ? 0 : idle + 1;  // 30 empty seconds: the bytes are not coming
                    in.insert(in.end(), buffer, buffer + got);
                    std::lock_guard g(lock);
                    consumed[i] = in.size();
                    progress.notify_all();
                }
                std::lock_guard g(lock);
                if (in.size() < kVolume) stop = true;
                progress.notify_all();
            });
        }
        for (auto &t : threads) t.join();
        for (size_t i = 0; i < n; i++) {
            SCOPED_TRACE(testing::Message() << "port " << i);
            EXPECT_EQ(writeErrors[i], 0u);
            EXPECT_EQ(readErrors[i], 0u);
            // What port i received is what its sender sent.
            size_t from = 0;
            while (peer[from] != static_cast<int>(i)) from++;
            DWORD errors = 0;
            COMSTAT stat{};
            ClearCommError(ports_[i], &errors, &stat);
            EXPECT_EQ(errors, 0u) << "line or overflow errors";
            ASSERT_EQ(received[i].size(), kVolume);
            EXPECT_TRUE(received[i] == sent[from]);
        }
        EXPECT_TRUE(adapter_->FrameErrors().empty());
        EXPECT_TRUE(adapter_->ProtocolViolations().empty());
    }

    USB_HANDLE device_ = nullptr;
    std::vector<HANDLE> ports_;
};

struct Wiring {
    WORD productId;
    bool highSpeed;
    bool nullModem;
};

class SerialWiring : public SerialEndToEnd, public testing::WithParamInterface<Wiring> {};

TEST_P(SerialWiring, EveryPortMovesAMebibyteEachWayByteExact) {
    Wiring w = GetParam();
    PlugAndOpen(w.productId, w.highSpeed);
    std::vector<int> peer(ports_.size());
    for (int i = 0; i < static_cast<int>(ports_.size()); i++) {
        if (w.nullModem) {
            peer[i] = i ^ 1;
            if (i % 2 == 0) {
                ASSERT_TRUE(adapter_->WireNullModem(i, i + 1));
            }
        } else {
            peer[i] = i;
            ASSERT_TRUE(adapter_->WireLoopback(i));
        }
    }
    Stream(peer);
}

INSTANTIATE_TEST_SUITE_P(Adapters, SerialWiring,
                         testing::Values(Wiring{0x7193, true, false}, Wiring{0x7193, true, true},
                                         Wiring{0x7020, false, false}, Wiring{0x7020, false, true}),
                         [](const testing::TestParamInfo<Wiring> &info) {
                             return std::string(info.param.highSpeed ? "HighSpeed16" : "FullSpeed2") +
                                    (info.param.nullModem ? "NullModem" : "Loopback");
                         });

TEST_F(SerialEndToEnd, ModemLinesCrossANullModemPair) {
    PlugAndOpen(0x7045, true);
    ASSERT_TRUE(adapter_->WireNullModem(0, 1));
    HANDLE a = ports_[0], b = ports_[1];
    ASSERT_TRUE(SetCommMask(b, EV_CTS | EV_DSR | EV_RLSD));
    struct Step {
        DWORD function;
        DWORD events;      // what B's wait reports
        DWORD modemAfter;  // B's modem status afterwards
    } steps[] = {
        {SETDTR, EV_DSR | EV_RLSD, MS_DSR_ON | MS_RLSD_ON},
        {SETRTS, EV_CTS, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
        {CLRDTR, EV_DSR | EV_RLSD, MS_CTS_ON},
        {CLRRTS, EV_CTS, 0},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.function);
        DWORD events = 0;
        std::thread waiter([&] { ASSERT_TRUE(WaitCommEvent(b, &events, nullptr)); });
        ASSERT_TRUE(EscapeCommFunction(a, s.function));
        waiter.join();
        EXPECT_EQ(events & (EV_CTS | EV_DSR | EV_RLSD), s.events);
        DWORD modem = 0;
        ASSERT_TRUE(GetCommModemStatus(b, &modem));
        EXPECT_EQ(modem, s.modemAfter);
        // The driver's event word keeps what it saw until the mask is set again.
        ASSERT_TRUE(SetCommMask(b, EV_CTS | EV_DSR | EV_RLSD));
    }
}

}  // namespace
