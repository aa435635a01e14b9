// Scripted USB device for the transfer and vendor-channel suites.
#include "script_device.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace qsxtest {

static std::string Describe(const USB_DEVICE_REQUEST &r) {
    char text[96];
    std::snprintf(text, sizeof text, "type %02X req %02X value %04X index %04X length %04X",
                  r.bmRequestType, r.bRequest, r.wValue, r.wIndex, r.wLength);
    return text;
}

static bool Same(const USB_DEVICE_REQUEST &a, const USB_DEVICE_REQUEST &b) {
    return a.bmRequestType == b.bmRequestType && a.bRequest == b.bRequest &&
           a.wValue == b.wValue && a.wIndex == b.wIndex && a.wLength == b.wLength;
}

ScriptDevice::ScriptDevice(USHORT productId, std::vector<Endpoint> endpoints) {
    endpoints_.reserve(endpoints.size());
    for (const Endpoint &e : endpoints)
        endpoints_.push_back(USB_ENDPOINT{sizeof(USB_ENDPOINT),
                                          {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address,
                                           e.attributes, e.maxPacket, 0},
                                          nullptr});
    interfaces_.push_back(USB_INTERFACE{
        sizeof(USB_INTERFACE),
        {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, static_cast<UCHAR>(endpoints_.size()), 0xFF, 0,
         0, 0},
        nullptr,
        endpoints_.data()});
    configs_.push_back(USB_CONFIGURATION{sizeof(USB_CONFIGURATION),
                                         {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 1, 1, 0, 0x80, 50},
                                         nullptr,
                                         1,
                                         interfaces_.data()});
    device_.emplace(USB_DEVICE{sizeof(USB_DEVICE),
                               {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x200, 0xFF, 0, 0, 64, 7733,
                                productId, 0x100, 0, 0, 0, 1},
                               configs_.data(),
                               configs_.data()});
    answerer_ = std::thread(&ScriptDevice::AnswerLoop, this);
}

ScriptDevice::~ScriptDevice() {
    {
        std::lock_guard g(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    answerer_.join();
}

void ScriptDevice::SetAnswerDelayMicros(int micros) {
    std::lock_guard g(lock_);
    delayMicros_ = micros;
}

void ScriptDevice::Expect(ScriptStep step) {
    std::lock_guard g(lock_);
    script_.push_back(step);
    scriptLength_++;
}

void ScriptDevice::SetDefaultOutcome(Outcome outcome) {
    std::lock_guard g(lock_);
    default_ = outcome;
}

std::vector<RequestRecord> ScriptDevice::Requests() {
    std::lock_guard g(lock_);
    return requests_;
}

int ScriptDevice::MaxInFlight() {
    std::lock_guard g(lock_);
    return maxInFlight_;
}

std::vector<std::string> ScriptDevice::Mismatches() {
    std::lock_guard g(lock_);
    std::vector<std::string> out = mismatches_;
    for (const ScriptStep &s : script_)
        out.push_back("expected but never sent: " + (s.expect ? Describe(*s.expect) : "any"));
    return out;
}

void ScriptDevice::SetBulkOutOutcome(Outcome outcome) {
    std::lock_guard g(lock_);
    bulkOut_ = outcome;
}

std::vector<std::vector<BYTE>> ScriptDevice::BulkOutFrames() {
    std::lock_guard g(lock_);
    return outFrames_;
}

void ScriptDevice::QueueIn(UCHAR endpoint, std::vector<BYTE> data) {
    std::unique_lock g(lock_);
    inData_[endpoint].push_back(std::move(data));
    ServeIn(g, endpoint);
}

LPCUSB_DEVICE ScriptDevice::DeviceInfo() { return &*device_; }

void ScriptDevice::SubmitControl(standin::UsbTransferPtr t) {
    std::lock_guard g(lock_);
    const USB_DEVICE_REQUEST &r = t->Setup();
    auto data = t->OutData();
    requests_.push_back({r, std::vector<BYTE>(data.begin(), data.end()), GetTickCount(),
                         GetCurrentThreadId()});
    Outcome outcome = default_;
    if (!script_.empty()) {
        ScriptStep step = script_.front();
        script_.pop_front();
        if (step.expect && !Same(*step.expect, r))
            mismatches_.push_back("step " + std::to_string(scriptLength_ - script_.size()) +
                                  ": expected " + Describe(*step.expect) + ", got " + Describe(r));
        outcome = step.outcome;
    }
    inFlight_++;
    maxInFlight_ = std::max(maxInFlight_, inFlight_);
    if (outcome == Outcome::kNeverAnswer) {
        unanswered_.push_back(t);
        return;
    }
    answers_.emplace_back(std::move(t), outcome);
    wake_.notify_all();
}

void ScriptDevice::Answer(const standin::UsbTransferPtr &t, Outcome outcome) {
    if (outcome == Outcome::kStall)
        t->Fail(USB_STALL_ERROR);
    else if (t->IsIn())
        t->CompleteIn({});
    else
        t->CompleteOut(t->Length());
}

void ScriptDevice::AnswerLoop() {
    std::unique_lock g(lock_);
    for (;;) {
        wake_.wait(g, [&] { return stop_ || !answers_.empty(); });
        if (stop_) return;
        auto [t, outcome] = std::move(answers_.front());
        answers_.pop_front();
        int delay = delayMicros_;
        g.unlock();
        if (delay) std::this_thread::sleep_for(std::chrono::microseconds(delay));
        g.lock();
        // Counted out before the client can see the completion and issue the next one.
        inFlight_--;
        g.unlock();
        Answer(t, outcome);
        g.lock();
    }
}

void ScriptDevice::SubmitBulk(standin::UsbTransferPtr t) {
    std::unique_lock g(lock_);
    if (t->IsIn()) {
        UCHAR endpoint = t->Endpoint();
        inWaiting_[endpoint].push_back(std::move(t));
        ServeIn(g, endpoint);
        return;
    }
    auto data = t->OutData();
    outFrames_.emplace_back(data.begin(), data.end());
    Outcome outcome = bulkOut_;
    if (outcome == Outcome::kNeverAnswer) {
        unanswered_.push_back(std::move(t));
        return;
    }
    g.unlock();
    Answer(t, outcome);
}

void ScriptDevice::ServeIn(std::unique_lock<std::mutex> &g, UCHAR endpoint) {
    auto &waiting = inWaiting_[endpoint];
    auto &data = inData_[endpoint];
    while (!waiting.empty() && !data.empty()) {
        standin::UsbTransferPtr t = std::move(waiting.front());
        waiting.pop_front();
        std::vector<BYTE> bytes = std::move(data.front());
        data.pop_front();
        g.unlock();
        t->CompleteIn(bytes);
        g.lock();
    }
}

bool ScriptDevice::AcceptPipe(const USB_ENDPOINT_DESCRIPTOR &endpoint) {
    std::lock_guard g(lock_);
    opened_.push_back(endpoint.bEndpointAddress);
    return true;
}

std::vector<UCHAR> ScriptDevice::OpenedPipes() {
    std::lock_guard g(lock_);
    return opened_;
}

void ScriptDevice::Cancelled(const standin::UsbTransferPtr &t) {
    std::lock_guard g(lock_);
    auto it = std::find(unanswered_.begin(), unanswered_.end(), t);
    if (it != unanswered_.end()) {
        if (t->IsControl()) inFlight_--;
        unanswered_.erase(it);
    }
    for (auto &[ep, waiting] : inWaiting_)
        waiting.erase(std::remove(waiting.begin(), waiting.end(), t), waiting.end());
}

}  // namespace qsxtest
