// The simulated adapter's USB side: model table, descriptors, control requests and what
// they do (the firmware download check, per-port settings, modem control, purges), the
// request log, fault injection, cancellation and unplugging. The serial half (frames,
// wiring, data chunks, status records, pacing and the worker thread) is in serial.cpp.
#include "adapter.h"

#include <firmware.h>

#include <algorithm>

namespace qsxsim {

namespace {

const Model kModels[] = {
    {0x7020, 2, Firmware7020}, {0x7021, 2, Firmware7021}, {0x7040, 4, Firmware7040},
    {0x7045, 4, Firmware7045}, {0x7046, 4, Firmware7046}, {0x7168, 8, Firmware7168},
    {0x7198, 8, Firmware7198}, {0x7163, 16, Firmware7163}, {0x7193, 16, Firmware7193},
};

constexpr BYTE kVendorOut = USB_REQUEST_VENDOR | USB_REQUEST_HOST_TO_DEVICE | USB_REQUEST_FOR_DEVICE;

// Removes every occurrence of `t` from a container of transfers.
template <typename Container>
void Drop(Container &c, const standin::UsbTransferPtr &t) {
    c.erase(std::remove(c.begin(), c.end(), t), c.end());
}

}  // namespace

std::span<const Model> Models() { return kModels; }

const Model *FindModel(WORD productId) {
    for (const Model &m : kModels)
        if (m.productId == productId) return &m;
    return nullptr;
}

std::shared_ptr<Adapter> Adapter::Create(WORD productId, bool highSpeed) {
    return std::make_shared<Adapter>(productId, highSpeed);
}

Adapter::Adapter(WORD productId, bool highSpeed)
    : productId_(productId), highSpeed_(highSpeed), model_(FindModel(productId)) {
    BuildDescriptors(bare_, false);
    BuildDescriptors(working_, true);
    ports_.assign(PortCount(), PortState{});
    lines_.resize(PortCount());
    outFrames_.resize(kFrameLog);
    dataBuffer_.resize(kMaxDataTransferHs);
    statusBuffer_.resize(kMaxStatusTransfer);
    taken_.resize(PortCount());
    takenGeneration_.resize(PortCount());
    worker_ = std::thread(&Adapter::Run, this);
}

Adapter::~Adapter() {
    {
        std::lock_guard g(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void Adapter::BuildDescriptors(Descriptors &d, bool working) {
    const USHORT bulk = highSpeed_ ? 512 : 64;
    struct Ep {
        UCHAR address, attributes;
        USHORT maxPacket;
        UCHAR interval;
    };
    const Ep eps[] = {
        {kEpBulkOut, USB_ENDPOINT_TYPE_BULK, bulk, 0},
        {kEpDataIn, USB_ENDPOINT_TYPE_BULK, bulk, 0},
        {kEpStatusIn, USB_ENDPOINT_TYPE_BULK, bulk, 0},
        {kEpIntIn, USB_ENDPOINT_TYPE_INTERRUPT, 16, static_cast<UCHAR>(highSpeed_ ? 4 : 1)},
        {kEpBulkOut2, USB_ENDPOINT_TYPE_BULK, bulk, 0},
        {kEpBulkIn2, USB_ENDPOINT_TYPE_BULK, bulk, 0},
    };
    // The loader offers interface 0 with no endpoints; the working firmware all six.
    if (working) {
        d.endpoints.reserve(std::size(eps));
        for (const Ep &e : eps)
            d.endpoints.push_back(USB_ENDPOINT{
                sizeof(USB_ENDPOINT),
                {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes, e.maxPacket, e.interval},
                nullptr});
    }
    const auto count = static_cast<UCHAR>(d.endpoints.size());
    d.interfaces.push_back(USB_INTERFACE{
        sizeof(USB_INTERFACE),
        {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, count, 0xFF, 0, 0, 0},
        nullptr,
        d.endpoints.empty() ? nullptr : d.endpoints.data()});
    d.configs.push_back(USB_CONFIGURATION{
        sizeof(USB_CONFIGURATION),
        {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, static_cast<USHORT>(9 + 9 + 7 * count), 1, 1, 0,
         0x80, 250},
        nullptr,
        1,
        d.interfaces.data()});
    d.device.reset(new USB_DEVICE{
        sizeof(USB_DEVICE),
        {18, USB_DEVICE_DESCRIPTOR_TYPE, static_cast<USHORT>(highSpeed_ ? 0x0200 : 0x0110), 0xFF,
         0xFF, 0xFF, 64, kVendorId, productId_, 0x0100, 0, 0, 0, 1},
        d.configs.data(),
        d.configs.data()});
}

// ---- observation and fault injection ------------------------------------------------

bool Adapter::Usable() {
    std::lock_guard g(lock_);
    return usable_;
}

PortState Adapter::Port(int port) {
    std::lock_guard g(lock_);
    if (port < 0 || static_cast<size_t>(port) >= ports_.size()) return {};
    return ports_[port];
}

std::vector<VendorRecord> Adapter::VendorLog() {
    std::lock_guard g(lock_);
    return log_;
}

void Adapter::ClearVendorLog() {
    std::lock_guard g(lock_);
    log_.clear();
}

bool Adapter::WaitForVendorRequests(size_t count, std::chrono::milliseconds bound) {
    std::unique_lock g(lock_);
    return logged_.wait_for(g, bound, [&] { return log_.size() >= count; });
}

size_t Adapter::RequestCount() {
    std::lock_guard g(lock_);
    return sequence_;
}

void Adapter::InjectFault(BYTE bRequest, Fault fault) {
    std::lock_guard g(lock_);
    codeFaults_[bRequest] = fault;
}

void Adapter::InjectFaultAt(size_t sequence, Fault fault) {
    std::lock_guard g(lock_);
    sequenceFaults_[sequence] = fault;
}

void Adapter::ClearFaults() {
    std::lock_guard g(lock_);
    codeFaults_.clear();
    sequenceFaults_.clear();
}

void Adapter::RefusePipe(UCHAR endpointAddress, bool refuse) {
    std::lock_guard g(lock_);
    if (refuse)
        refusedPipes_.insert(endpointAddress);
    else
        refusedPipes_.erase(endpointAddress);
}

void Adapter::InjectPipeFault(Pipe pipe, PipeFault fault, size_t count, DWORD code) {
    const PipeFaultStep step{fault, count, code};
    InjectPipeFaults(pipe, std::span<const PipeFaultStep>(&step, 1));
}

void Adapter::InjectPipeFaults(Pipe pipe, std::span<const PipeFaultStep> steps) {
    std::unique_lock g(lock_);
    for (const PipeFaultStep &s : steps)
        if (s.count) pipeFaults_[static_cast<size_t>(pipe)].push_back(PipeFaultState{s.fault, s.count, s.code});
    Kick();  // an IN transfer waiting right now may be the first one hit
    Release(g);
}

void Adapter::ClearPipeFaults() {
    std::unique_lock g(lock_);
    for (auto &queue : pipeFaults_) queue.clear();
    Kick();  // bytes held back by a fault may go now
    Release(g);
}

size_t Adapter::PipeFaultsLeft(Pipe pipe) {
    std::lock_guard g(lock_);
    size_t left = 0;
    for (const PipeFaultState &f : pipeFaults_[static_cast<size_t>(pipe)])
        left = f.left == kPersistent || left == kPersistent ? kPersistent : left + f.left;
    return left;
}

size_t Adapter::WaitingTransfers(Pipe pipe) {
    std::lock_guard g(lock_);
    const UCHAR endpoint = pipe == Pipe::kData ? kEpDataIn : pipe == Pipe::kStatus ? kEpStatusIn : kEpBulkOut;
    auto it = pendingIn_.find(endpoint);
    return it == pendingIn_.end() ? 0 : it->second.size();
}

uint64_t Adapter::PipeTransfers(Pipe pipe) {
    std::lock_guard g(lock_);
    return pipeTransfers_[static_cast<size_t>(pipe)];
}

std::optional<size_t> Adapter::PipeIndex(UCHAR endpoint) {
    switch (endpoint) {
    case kEpBulkOut:
        return static_cast<size_t>(Pipe::kOut);
    case kEpDataIn:
        return static_cast<size_t>(Pipe::kData);
    case kEpStatusIn:
        return static_cast<size_t>(Pipe::kStatus);
    default:
        return std::nullopt;
    }
}

const Adapter::PipeFaultState *Adapter::ArmedFault(UCHAR endpoint) {
    const std::optional<size_t> pipe = PipeIndex(endpoint);
    if (!pipe || pipeFaults_[*pipe].empty()) return nullptr;
    return &pipeFaults_[*pipe].front();
}

DWORD Adapter::Hit(UCHAR endpoint) {
    std::deque<PipeFaultState> &queue = pipeFaults_[*PipeIndex(endpoint)];
    PipeFaultState &fault = queue.front();
    const DWORD code = fault.code;
    if (fault.left != kPersistent && --fault.left == 0) queue.pop_front();
    return code;
}

std::vector<std::vector<BYTE>> Adapter::OutFrames() {
    std::lock_guard g(lock_);
    std::vector<std::vector<BYTE>> frames;
    frames.reserve(outFramesCount_);
    for (size_t i = 0; i < outFramesCount_; i++)
        frames.push_back(outFrames_[(outFramesNext_ + kFrameLog - outFramesCount_ + i) % kFrameLog]);
    return frames;
}

void Adapter::ClearOutFrames() {
    std::lock_guard g(lock_);
    outFramesCount_ = 0;
}

std::vector<FrameError> Adapter::FrameErrors() {
    std::lock_guard g(lock_);
    return {frameErrors_.begin(), frameErrors_.end()};
}

std::vector<int> Adapter::ProtocolViolations() {
    std::lock_guard g(lock_);
    return {violations_.begin(), violations_.end()};
}

size_t Adapter::HeldTransfers() {
    std::lock_guard g(lock_);
    size_t n = answers_.size() + unanswered_.size();
    for (const auto &[ep, queue] : pendingIn_) n += queue.size();
    return n;
}

std::optional<Fault> Adapter::FaultFor(size_t sequence, BYTE bRequest) {
    if (auto it = sequenceFaults_.find(sequence); it != sequenceFaults_.end()) {
        Fault f = it->second;
        sequenceFaults_.erase(it);
        return f;
    }
    if (auto it = codeFaults_.find(bRequest); it != codeFaults_.end()) return it->second;
    return std::nullopt;
}

// ---- the bus side --------------------------------------------------------------------

LPCUSB_DEVICE Adapter::DeviceInfo() {
    std::lock_guard g(lock_);
    return usable_ ? working_.device.get() : bare_.device.get();
}

bool Adapter::AcceptPipe(const USB_ENDPOINT_DESCRIPTOR &endpoint) {
    std::lock_guard g(lock_);
    if (!usable_ || refusedPipes_.count(endpoint.bEndpointAddress)) return false;
    return std::any_of(working_.endpoints.begin(), working_.endpoints.end(), [&](const USB_ENDPOINT &e) {
        return e.Descriptor.bEndpointAddress == endpoint.bEndpointAddress;
    });
}

void Adapter::SubmitControl(standin::UsbTransferPtr t) {
    std::unique_lock g(lock_);
    size_t sequence = ++sequence_;
    auto data = t->OutData();
    log_.push_back({sequence, GetTickCount(), t->Setup(), std::vector<BYTE>(data.begin(), data.end())});
    logged_.notify_all();
    // Aborted before it got here (the device is going): Cancelled has already been and gone.
    if (!t->IsPending()) return;
    std::optional<Fault> fault = FaultFor(sequence, t->Setup().bRequest);
    if (fault == Fault::kNeverAnswer) {
        unanswered_.push_back(std::move(t));
        return;
    }
    answers_.push_back({std::move(t), fault == Fault::kStall});
    Kick();
    Release(g);
}

// Answers the oldest control request, if any.
bool Adapter::AnswerOne(std::unique_lock<std::mutex> &g) {
    if (answers_.empty()) return false;
    Answer a = std::move(answers_.front());
    answers_.pop_front();
    bool ok = !a.stall && Apply(a.transfer->Setup(), a.transfer->OutData());
    holding_++;
    g.unlock();
    if (!ok)
        a.transfer->Fail(USB_STALL_ERROR);
    else if (a.transfer->IsIn())
        a.transfer->CompleteIn({});
    else
        a.transfer->CompleteOut(a.transfer->Length());
    a.transfer.reset();
    g.lock();
    holding_--;
    idle_.notify_all();
    return true;
}

std::optional<DWORD> Adapter::RefuseBulk(UCHAR endpoint) {
    std::lock_guard g(lock_);
    const PipeFaultState *fault = ArmedFault(endpoint);
    if (!fault || fault->fault != PipeFault::kRefuse) return std::nullopt;
    // Counted here, as it never reaches SubmitBulk.
    pipeTransfers_[*PipeIndex(endpoint)]++;
    return Hit(endpoint);
}

void Adapter::Cancelled(const standin::UsbTransferPtr &t) {
    std::lock_guard g(lock_);
    std::erase_if(answers_, [&](const Answer &a) { return a.transfer == t; });
    Drop(unanswered_, t);
    if (auto it = pendingIn_.find(t->Endpoint()); it != pendingIn_.end()) Drop(it->second, t);
}

void Adapter::Unplugged() {
    std::vector<standin::UsbTransferPtr> held;
    {
        std::unique_lock g(lock_);
        for (Answer &a : answers_) held.push_back(std::move(a.transfer));
        answers_.clear();
        for (auto &t : unanswered_) held.push_back(std::move(t));
        unanswered_.clear();
        for (auto &[ep, queue] : pendingIn_)
            for (auto &t : queue) held.push_back(std::move(t));
        pendingIn_.clear();
        // Power is gone, and with it the downloaded firmware.
        ResetFirmware();
        // Once this returns no thread of the adapter holds a transfer either, so nothing of
        // the adapter keeps the departed device's records alive.
        idle_.wait(g, [&] { return holding_ == 0; });
    }
    // The host stack has normally ended all of these already; this is for any it missed.
    for (auto &t : held) t->Fail(USB_DEVICE_NOT_RESPONDING_ERROR);
}

// ---- what requests do ----------------------------------------------------------------

PortState *Adapter::PortAt(WORD port) {
    return port < ports_.size() ? &ports_[port] : nullptr;
}

void Adapter::ResetFirmware() {
    usable_ = false;
    download_ = Download::kNone;
    imageOffset_ = 0;
    epoch_++;
    ports_.assign(PortCount(), PortState{});
    // The UARTs restart empty; the cables (wiring, pacing, external ends) stay as they are.
    for (Line &l : lines_) {
        l.rx.Clear();
        l.rxGeneration++;
        l.overrunReported = false;
        l.tx.Clear();
        l.txQueued = l.txPassed = 0;
        l.windowEnds.clear();
        l.windowsOwed = 0;
    }
    status_.clear();
    rawData_.clear();
    // With DTR and RTS down again the inputs follow silently: nobody can read records now.
    for (int p = 0; p < PortCount(); p++) ports_[p].modemInputs = lines_[p].wiring == Wiring::kExternal
                                                                 ? lines_[p].externalMsr
                                                                 : 0;
}

bool Adapter::Apply(const USB_DEVICE_REQUEST &setup, std::span<const BYTE> data) {
    // Every command is a host-to-device vendor request; the adapter has nothing to read
    // back, so anything else is refused.
    if (setup.bmRequestType != kVendorOut) return false;
    // Copies: the setup packet is packed, so its fields may not be bound to references.
    const WORD value = setup.wValue;
    PortState *port = PortAt(setup.wIndex);
    switch (setup.bRequest) {
    case kReqDownloadBegin:
    case kReqFirmwareBlock:
    case kReqDownloadEnd:
    case kReqDownloadStart:
        ApplyDownload(setup, data);
        break;
    case kReqInterfaceMode:
        if (port && value <= 3) port->interfaceMode = static_cast<BYTE>(value);
        // Lines are otherwise reported only as they change, and a host that opens a port
        // starts from none at all; every open sets the port's transceiver, so the adapter
        // tells the lines as they are then.
        if (port && usable_) QueueRecord(setup.wIndex, kRecModem, 0, 0, port->modemInputs);
        break;
    case kReqFifo:
        if (port && value <= 1) port->fifoOn = value == 0;
        break;
    case kReqPurge:
        if (port) {
            port->purges.push_back(value);
            Purge(setup.wIndex, value);
        }
        break;
    case kReqRxOverflow:
        if (port && value <= 1) port->overflowMark = value == 0;
        break;
    // Modem control: malformed requests are refused, so a host's mistake shows at once.
    case kReqDtr:
    case kReqRts:
        if (!port || !usable_ || value > 1 || !data.empty()) return false;
        (setup.bRequest == kReqDtr ? port->dtr : port->rts) = value == 1;
        UpdateModemInputs();
        break;
    case kReqBreak:
        if (!port || !usable_ || value > 1 || !data.empty()) return false;
        ApplyBreak(setup.wIndex, value == 1);
        break;
    case kReqLineSettings: {
        if (!port || !usable_ || data.size() != 8) return false;
        LineSettings line{static_cast<DWORD>(data[0]) << 24 | static_cast<DWORD>(data[1]) << 16 |
                              static_cast<DWORD>(data[2]) << 8 | data[3],
                          data[4], data[5], data[6]};
        if (line.baud == 0 || line.dataBits < 5 || line.dataBits > 8 || line.parity > 4 ||
            line.stopBits > 2 || data[7] != 0)
            return false;
        port->line = line;
        // From now on the line runs at this rate and framing.
        port->lineTold = true;
        RestartPacing(setup.wIndex);
        break;
    }
    case kReqFlowControl:
        if (!port || !usable_ || (value & ~kFlowAll) || data.size() != 2) return false;
        port->flow = value;
        port->xonChar = data[0];
        port->xoffChar = data[1];
        if (!(value & kFlowXonXoffOut)) port->xoffHeld = false;
        UpdateModemInputs();  // RTS handshake may change what the port drives
        UpdateThrottle(setup.wIndex);
        Kick();               // a transmitter no longer held goes on
        break;
    default:  // accepted; the log is all that shows it
        break;
    }
    return true;
}

// The loader's side of the download: 12 begins, blocks of 1 to 64 bytes follow in image
// order, 13 closes the image, 14 starts it. Only the exact image, complete, then 13 and 14,
// brings up the working firmware; any slip spoils the download until the next 12. The
// requests themselves always succeed, as the loader cannot report anything.
void Adapter::ApplyDownload(const USB_DEVICE_REQUEST &setup, std::span<const BYTE> data) {
    if (setup.bRequest == kReqDownloadBegin) {
        ResetFirmware();
        download_ = Download::kLoading;
        return;
    }
    if (usable_) return;  // the running firmware ignores the loader's other requests
    std::span<const BYTE> image = model_ ? model_->image : std::span<const BYTE>{};
    switch (setup.bRequest) {
    case kReqFirmwareBlock:
        if (download_ == Download::kLoading && !data.empty() && data.size() <= kMaxBlock &&
            data.size() <= image.size() - imageOffset_ &&
            std::equal(data.begin(), data.end(), image.begin() + imageOffset_))
            imageOffset_ += data.size();
        else
            download_ = Download::kFailed;
        break;
    case kReqDownloadEnd:
        download_ = download_ == Download::kLoading && !image.empty() && imageOffset_ == image.size()
                        ? Download::kLoaded
                        : Download::kFailed;
        break;
    case kReqDownloadStart:
        if (download_ == Download::kLoaded) {
            usable_ = true;
            download_ = Download::kNone;
        } else {
            download_ = Download::kFailed;
        }
        break;
    }
}

}  // namespace qsxsim
