#include "serial/platform/VirtualSerialDevice.h"

#include "serial/platform/StreamSerialDevice.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

struct TVirtualSerialPair::TShared {
    std::mutex Lock; // taken before an engine's lock, never the other way round
    int Fds[2] = {-1, -1};
    bool Open[2] = {};
    TStreamSerialDevice* Engines[2] = {};
    bool Rts[2] = {};
    bool Dtr[2] = {};
    bool Break[2] = {};
    bool Ring[2] = {}; // the ring indicator each end sees

    ~TShared() {
        for (int fd : Fds)
            if (fd >= 0)
                ::close(fd);
    }

    void Notify(int end, uint32_t events, uint32_t errors) {
        if (Engines[end])
            Engines[end]->NotifyLine(events, errors);
    }
};

namespace {

using TShared = TVirtualSerialPair::TShared;

struct TRegistration {
    std::weak_ptr<TShared> Shared;
    int End;
};

std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, TRegistration>& Registry() {
    static std::map<std::string, TRegistration> registry;
    return registry;
}

void DrainInput(int fd) {
    char buffer[4096];
    while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

// One end of the cable under the engine.
class TVirtualSerialDevice final : public TSerialBackend {
public:
    TVirtualSerialDevice(std::shared_ptr<TShared> shared, int end)
        : m_shared(std::move(shared)), m_end(end) {}

    ~TVirtualSerialDevice() override {
        std::lock_guard lock(m_shared->Lock);
        m_shared->Open[m_end] = false;
    }

    int DataFd() const override { return m_shared->Fds[m_end]; }
    bool IsSocket() const override { return true; }

    TDcb InitialState() override { return PlainDcb(); }

    int ApplyState(const TDcb&) override { return 0; }

    int Flush(bool input, bool) override {
        // The cable holds no output of its own: what was sent is already at the other end.
        if (input)
            DrainInput(DataFd());
        return 0;
    }

    int ModemStatus(uint32_t* status) override {
        std::lock_guard lock(m_shared->Lock);
        const int other = 1 - m_end;
        *status = (m_shared->Rts[other] ? kMsCtsOn : 0) | (m_shared->Dtr[other] ? kMsDsrOn | kMsRlsdOn : 0) |
                  (m_shared->Ring[m_end] ? kMsRingOn : 0);
        return 0;
    }

    int Escape(uint32_t function) override {
        std::lock_guard lock(m_shared->Lock);
        switch (function) {
        case kSetRts:
        case kClrRts:
            SetLine(m_shared->Rts, function == kSetRts, kEvCts);
            return 0;
        case kSetDtr:
        case kClrDtr:
            SetLine(m_shared->Dtr, function == kSetDtr, kEvDsr | kEvRlsd);
            return 0;
        case kSetBreak:
            if (!m_shared->Break[m_end])
                m_shared->Notify(1 - m_end, kEvBreak, kCeBreak);
            m_shared->Break[m_end] = true;
            return 0;
        case kClrBreak:
            m_shared->Break[m_end] = false;
            return 0;
        case kSetXoff:
        case kSetXon:
            return 0;
        default:
            return EINVAL;
        }
    }

    void Detach() override {
        std::lock_guard lock(m_shared->Lock);
        m_shared->Engines[m_end] = nullptr;
        // Closing drops the end's output lines, as a port's close does.
        SetLine(m_shared->Rts, false, kEvCts);
        SetLine(m_shared->Dtr, false, kEvDsr | kEvRlsd);
        m_shared->Break[m_end] = false;
    }

private:
    // With the shared lock held.
    void SetLine(bool* lines, bool on, uint32_t events) {
        if (lines[m_end] == on)
            return;
        lines[m_end] = on;
        m_shared->Notify(1 - m_end, events, 0);
    }

    std::shared_ptr<TShared> m_shared;
    int m_end;
};

} // namespace

TVirtualSerialPair::TVirtualSerialPair(std::shared_ptr<TShared> shared, std::string baseName)
    : m_shared(std::move(shared)), m_baseName(std::move(baseName)) {}

std::unique_ptr<TVirtualSerialPair> TVirtualSerialPair::Create(const std::string& baseName) {
    auto shared = std::make_shared<TShared>();
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, shared->Fds) < 0)
        return nullptr;
    std::unique_ptr<TVirtualSerialPair> pair(new TVirtualSerialPair(shared, baseName));
    std::lock_guard lock(RegistryLock());
    auto& registry = Registry();
    if (registry.count(pair->EndName(kEndA)) || registry.count(pair->EndName(kEndB))) {
        pair->m_baseName.clear(); // registered nothing: unregister nothing
        return nullptr;
    }
    registry[pair->EndName(kEndA)] = {shared, kEndA};
    registry[pair->EndName(kEndB)] = {shared, kEndB};
    return pair;
}

TVirtualSerialPair::~TVirtualSerialPair() {
    if (m_baseName.empty())
        return;
    std::lock_guard lock(RegistryLock());
    for (int end : {kEndA, kEndB}) {
        auto it = Registry().find(EndName(end));
        if (it != Registry().end() && it->second.Shared.lock() == m_shared)
            Registry().erase(it);
    }
}

std::string TVirtualSerialPair::EndName(int end) const {
    return m_baseName + (end == kEndA ? "A" : "B");
}

static std::unique_ptr<TSerialDevice> OpenEnd(const std::shared_ptr<TShared>& shared, int end, int* error) {
    if (end != TVirtualSerialPair::kEndA && end != TVirtualSerialPair::kEndB) {
        *error = EINVAL;
        return nullptr;
    }
    {
        std::lock_guard lock(shared->Lock);
        if (shared->Open[end]) {
            *error = EBUSY;
            return nullptr;
        }
        shared->Open[end] = true;
    }
    // What the other end sent while this one was closed is not delivered, as with a real line.
    DrainInput(shared->Fds[end]);
    std::unique_ptr<TStreamSerialDevice> device =
        TStreamSerialDevice::Create(std::make_unique<TVirtualSerialDevice>(shared, end), error);
    if (!device)
        return nullptr;
    std::lock_guard lock(shared->Lock);
    shared->Engines[end] = device.get();
    return device;
}

std::unique_ptr<TSerialDevice> TVirtualSerialPair::Open(int end, int* error) {
    return OpenEnd(m_shared, end, error);
}

bool TVirtualSerialPair::IsOpen(int end) const {
    std::lock_guard lock(m_shared->Lock);
    return (end == kEndA || end == kEndB) && m_shared->Open[end];
}

void TVirtualSerialPair::InjectLineErrors(int end, uint32_t errors) {
    std::lock_guard lock(m_shared->Lock);
    uint32_t events = 0;
    if (errors & ~kCeBreak)
        events |= kEvErr;
    if (errors & kCeBreak)
        events |= kEvBreak;
    m_shared->Notify(end, events, errors);
}

void TVirtualSerialPair::InjectBreak(int end) {
    InjectLineErrors(end, kCeBreak);
}

void TVirtualSerialPair::SetRing(int end, bool on) {
    std::lock_guard lock(m_shared->Lock);
    const bool rising = on && !m_shared->Ring[end];
    m_shared->Ring[end] = on;
    if (rising)
        m_shared->Notify(end, kEvRing, 0);
}

void TVirtualSerialPair::PulseRing(int end) {
    SetRing(end, true);
    SetRing(end, false);
}

void TVirtualSerialPair::Disconnect() {
    std::lock_guard lock(m_shared->Lock);
    for (int fd : m_shared->Fds)
        ::shutdown(fd, SHUT_RDWR);
}

bool TVirtualSerialPair::Reconnect() {
    std::lock_guard lock(m_shared->Lock);
    if (m_shared->Open[kEndA] || m_shared->Open[kEndB])
        return false;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) < 0)
        return false;
    for (int end : {kEndA, kEndB}) {
        ::close(m_shared->Fds[end]);
        m_shared->Fds[end] = fds[end];
        m_shared->Rts[end] = m_shared->Dtr[end] = m_shared->Break[end] = m_shared->Ring[end] = false;
    }
    return true;
}

std::unique_ptr<TSerialDevice> TVirtualSerialPair::OpenRegistered(const std::string& name, int* error,
                                                                  bool* found) {
    std::shared_ptr<TShared> shared;
    int end = kEndA;
    {
        std::lock_guard lock(RegistryLock());
        auto it = Registry().find(name);
        if (it != Registry().end()) {
            shared = it->second.Shared.lock();
            end = it->second.End;
        }
    }
    *found = bool(shared);
    if (!shared)
        return nullptr;
    return OpenEnd(shared, end, error);
}
