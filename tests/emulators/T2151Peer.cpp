#include "emulators/T2151Peer.h"

#include <algorithm>
#include <chrono>

namespace emulators {

namespace {

const uint8_t Stray = 0x55;
// The longest a held answer waits for its release.
const double HeldLimitMs = 30000;

}  // namespace

uint16_t T2151Peer::crc(const uint8_t* data, size_t size)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc =
                (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

Bytes T2151Peer::frame(const Bytes& payload)
{
    Bytes out = {Start, static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    out.insert(out.end(), payload.begin(), payload.end());
    const uint16_t c = crc(out.data(), out.size());
    out.push_back(static_cast<uint8_t>(c >> 8));
    out.push_back(static_cast<uint8_t>(c));
    return out;
}

double T2151Peer::nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

int T2151Peer::commandOf(const Bytes& payload)
{
    bool ok = false;
    return static_cast<int>(T2151Device::intOf(T2151Device::parse(payload, ok), 1, 0xFFFFFFFF));
}

void T2151Peer::inject(const Fault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(fault);
}

void T2151Peer::handZmodemTo(const std::string& directory, int result, bool rebootRequired)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_zmodemDirectory = directory;
    m_reportResult = result;
    m_reportReboot = rebootRequired;
}

bool T2151Peer::zmodemRan() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_zmodemRan;
}

std::string T2151Peer::zmodemDirectory() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_zmodemDirectory;
}

void T2151Peer::zmodemFinished()
{
    int result = 0;
    bool reboot = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_zmodemRan = true;
        result = m_reportResult;
        reboot = m_reportReboot;
    }
    send(frame(T2151Device::encode({{2, T2151Device::integer(static_cast<uint32_t>(result), 1)},
                                    {17, T2151Device::integer(reboot ? 1 : 0, 1)}})));
}

bool T2151Peer::collect(uint8_t byte, Bytes& payload, bool& good)
{
    m_partial.push_back(byte);
    if (m_partial.size() < 3)
        return false;
    const size_t length = static_cast<size_t>(m_partial[1] << 8 | m_partial[2]);
    if (m_partial.size() < length + 5)
        return false;
    const uint16_t sent = static_cast<uint16_t>(m_partial[length + 3] << 8 | m_partial[length + 4]);
    good = sent == crc(m_partial.data(), length + 3);
    payload.assign(m_partial.begin() + 3, m_partial.begin() + 3 + static_cast<long>(length));
    m_partial.clear();
    return true;
}

bool T2151Peer::nextFault(int command, Fault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->command == AnyCommand || it->command == command) {
            fault = *it;
            m_faults.erase(it);
            return true;
        }
    }
    return false;
}

void T2151Peer::release()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_releases;
}

double T2151Peer::longestTrickleGapMs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // A byte held up past its time leaves its gap open: the host may have seen it end the receive
    // before this thread got to write it.
    return m_trickleGapFromMs < 0 ? m_longestTrickleGapMs
                                  : std::max(m_longestTrickleGapMs, nowMs() - m_trickleGapFromMs);
}

bool T2151Peer::waitForReleased(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_released.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_releasedAnswers >= count; });
}

void T2151Peer::answer(int command, T2151Device::Tlvs tlvs)
{
    Fault fault{Fault::Replace, 0, AnyCommand, {}};
    const bool faulty = nextFault(command, fault);
    if (faulty && (fault.kind == Fault::Result || fault.kind == Fault::NoResult)) {
        if (!tlvs.empty() && tlvs[0].tag == 2)
            tlvs.erase(tlvs.begin());
        if (fault.kind == Fault::Result)
            tlvs.insert(tlvs.begin(), {2, T2151Device::integer(static_cast<uint32_t>(fault.value), 1)});
    }
    Bytes payload;
    if (faulty && fault.kind == Fault::BrokenTlv)
        payload = {0x02, 0x00, 0x01, 0x00, 0x15, 0x00};
    else if (faulty && fault.kind == Fault::Replace)
        payload = fault.data;
    else
        payload = T2151Device::encode(tlvs);

    Bytes wire = frame(payload);
    const Bytes previous = std::move(m_previousAnswer);
    m_previousAnswer = wire;
    if (!faulty) {
        send(wire);
        return;
    }
    switch (fault.kind) {
        case Fault::Silent:
            return;
        case Fault::Noise:
            send(fault.data.empty() ? Bytes(static_cast<size_t>(fault.value), Stray) : fault.data);
            send(wire);
            return;
        case Fault::Flood:
            send(Bytes(static_cast<size_t>(fault.value), Stray));
            return;
        case Fault::Rz:
            send({'r', 'z'});
            return;
        case Fault::BadCrc:
            wire.back() ^= 0xFF;
            send(wire);
            return;
        case Fault::Truncate:
            wire.resize(wire.size() - std::min(wire.size(), static_cast<size_t>(fault.value)));
            send(wire);
            return;
        case Fault::Split: {
            const size_t third = wire.size() / 3;
            send(Bytes(wire.begin(), wire.begin() + static_cast<long>(third)));
            pause(fault.value);
            send(Bytes(wire.begin() + static_cast<long>(third), wire.begin() + static_cast<long>(2 * third)));
            pause(fault.value);
            send(Bytes(wire.begin() + static_cast<long>(2 * third), wire.end()));
            return;
        }
        case Fault::Trickle: {
            wire.insert(wire.begin(), fault.data.begin(), fault.data.end());
            // A byte went out somewhere between the readings on either side of its write, and a
            // thread held up after a write makes the next gap look shorter than it was: the gap is
            // counted from before the last write to after this one, at most what it can have been.
            double lastStart = nowMs();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_longestTrickleGapMs = 0;
                m_trickleGapFromMs = lastStart;
            }
            for (uint8_t byte : wire) {
                const double start = nowMs();
                send({byte});
                const double sent = nowMs();
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_longestTrickleGapMs = std::max(m_longestTrickleGapMs, sent - lastStart);
                    m_trickleGapFromMs = start;
                }
                lastStart = start;
                if (!pause(fault.value))
                    break;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_trickleGapFromMs = -1;
            return;
        }
        case Fault::PreviousFirst: {
            // One write: both answers are on the line by the time the host has read the first.
            Bytes both = previous;
            both.insert(both.end(), wire.begin(), wire.end());
            send(both);
            return;
        }
        case Fault::Held:
            // A test that fails before its release still ends: the answer is dropped in the end.
            for (const double until = nowMs() + HeldLimitMs;;) {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    if (m_releases > 0) {
                        --m_releases;
                        break;
                    }
                }
                if (nowMs() > until || !pause(5))
                    return;
            }
            send(wire);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_releasedAnswers;
            }
            m_released.notify_all();
            return;
        case Fault::Late:
        case Fault::Close:
        case Fault::CloseMidFrame:
            lineFault(fault, wire);
            return;
        default:
            send(wire);
            return;
    }
}

void T2151Peer::lineFault(const Fault&, const Bytes& wire)
{
    send(wire);
}

}  // namespace emulators
