#include "emulators/UltralightEV1.h"

#include <algorithm>
#include <stdexcept>

namespace emulators {

namespace {

const size_t PageSize = 4;
const uint32_t CounterMax = 0xFFFFFF;
const uint8_t TearingValid = 0xBD;

const Bytes Version = {0x00, 0x04, 0x03, 0x01, 0x01, 0x00, 0x0E, 0x03};

}  // namespace

UltralightEV1::UltralightEV1(const Bytes& uid) : UltralightCard(uid, Pages)
{
    // As delivered: no protection (AUTH0 past the last page), password FFFFFFFF, PACK 0000.
    m_memory[Config0Page * PageSize + 3] = 0xFF;
    m_memory[Config1Page * PageSize + 1] = 0x05;
    for (size_t i = 0; i < PageSize; ++i) m_memory[PwdPage * PageSize + i] = 0xFF;
}

void UltralightEV1::protect(uint32_t password, uint16_t pack, uint8_t auth0, uint8_t access)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t i = 0; i < PageSize; ++i)
        m_memory[PwdPage * PageSize + i] = static_cast<uint8_t>(password >> (24 - 8 * i));
    m_memory[PackPage * PageSize] = static_cast<uint8_t>(pack >> 8);
    m_memory[PackPage * PageSize + 1] = static_cast<uint8_t>(pack);
    m_memory[Config0Page * PageSize + 3] = auth0;
    m_memory[Config1Page * PageSize] = access;
}

uint32_t UltralightEV1::counter(int counter) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counters[counter % 3];
}

void UltralightEV1::setCounter(int counter, uint32_t value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_counters[counter % 3] = value & CounterMax;
}

bool UltralightEV1::tearingFlag(int counter) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_torn[counter % 3];
}

void UltralightEV1::setSignature(const Bytes& signature)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (signature.size() != 32)
        throw std::invalid_argument("the originality signature has 32 bytes");
    m_signature = signature;
}

int UltralightEV1::failedPasswordAttempts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failedAttempts;
}

uint8_t UltralightEV1::auth0() const
{
    return m_memory[Config0Page * PageSize + 3];
}

uint8_t UltralightEV1::access() const
{
    return m_memory[Config1Page * PageSize];
}

bool UltralightEV1::writeProtected(int page) const
{
    return !m_authenticated && page >= auth0();
}

bool UltralightEV1::readProtected(int page) const
{
    return writeProtected(page) && (access() & AccessProt) != 0;
}

bool UltralightEV1::pageLocked(int page) const
{
    if (UltralightCard::pageLocked(page))
        return true;
    const size_t at = DynamicLockPage * PageSize;
    if (page >= 0x10 && page <= 0x1F)
        return (m_memory[at] & (1 << ((page - 0x10) / 2))) != 0;
    if (page >= 0x20 && page <= 0x23)
        return (m_memory[at + 1] & (1 << ((page - 0x20) / 2))) != 0;
    if (page == Config0Page || page == Config1Page)
        return (access() & AccessCfgLck) != 0;
    return false;
}

Bytes UltralightEV1::hideSecrets(int page, Bytes data) const
{
    for (size_t i = 0; i < data.size(); ++i) {
        const int p = page + static_cast<int>(i / PageSize);
        if (p % Pages == PwdPage || p % Pages == PackPage)
            data[i] = 0x00;
    }
    return data;
}

UltralightCard::Reply UltralightEV1::command(const Bytes& frame)
{
    switch (frame[0]) {
        case 0x30:
            return read(frame);
        case 0x3A:
            return fastRead(frame);
        case 0xA2:
            return write(frame);
        case 0x60:
            return frame.size() == 1 ? Reply::of(Version) : Reply::nak(NakInvalidArgument);
        case 0x3C:
            return frame.size() == 2 && frame[1] == 0x00 ? Reply::of(m_signature)
                                                         : Reply::nak(NakInvalidArgument);
        case 0x39:
            return readCounter(frame);
        case 0xA5:
            return incrCounter(frame);
        case 0x3E:
            return checkTearing(frame);
        case 0x1B:
            return pwdAuth(frame);
        default:
            return Reply::nak(NakInvalidArgument);
    }
}

UltralightCard::Reply UltralightEV1::read(const Bytes& frame)
{
    if (frame.size() != 2 || frame[1] >= Pages || readProtected(frame[1]))
        return Reply::nak(NakInvalidArgument);
    // Reading runs on into the protected area only for a reader that may see it.
    const int lastReadable = readProtected(Pages - 1) ? auth0() - 1 : Pages - 1;
    const int start = frame[1];
    Bytes data;
    int p = start;
    for (int i = 0; i < 4; ++i) {
        if (p > lastReadable)
            p = 0;
        const Bytes one = hideSecrets(p, readPages(p, 1, lastReadable));
        data.insert(data.end(), one.begin(), one.end());
        ++p;
    }
    return Reply::of(data);
}

UltralightCard::Reply UltralightEV1::fastRead(const Bytes& frame)
{
    if (frame.size() != 3)
        return Reply::nak(NakInvalidArgument);
    const int start = frame[1];
    const int end = frame[2];
    if (start > end || end >= Pages)
        return Reply::nak(NakInvalidArgument);
    for (int p = start; p <= end; ++p)
        if (readProtected(p))
            return Reply::nak(NakInvalidArgument);
    return Reply::of(hideSecrets(start, readPages(start, end - start + 1, Pages - 1)));
}

UltralightCard::Reply UltralightEV1::write(const Bytes& frame)
{
    if (frame.size() != 6)
        return Reply::nak(NakInvalidArgument);
    const int page = frame[1];
    const Bytes data(frame.begin() + 2, frame.end());
    if (page >= Pages || writeProtected(page))
        return Reply::nak(NakInvalidArgument);
    if (page != DynamicLockPage)
        return writePage(page, data);

    // Dynamic lock bits are only ever added; byte 2 holds the block-lock bits that freeze them.
    Bytes wanted(m_memory.begin() + DynamicLockPage * PageSize,
                 m_memory.begin() + (DynamicLockPage + 1) * PageSize);
    const uint8_t block = wanted[2];
    wanted[0] = orLockBits(wanted[0], data[0],
                           static_cast<uint8_t>(((block & 0x01) ? 0x0F : 0) | ((block & 0x02) ? 0xF0 : 0)));
    wanted[1] = orLockBits(wanted[1], data[1], static_cast<uint8_t>((block & 0x04) ? 0x03 : 0));
    wanted[2] = orLockBits(wanted[2], data[2], 0);
    if (tearsNow())
        return Reply::silent();
    std::copy(wanted.begin(), wanted.end(), m_memory.begin() + DynamicLockPage * PageSize);
    return Reply::ack();
}

UltralightCard::Reply UltralightEV1::readCounter(const Bytes& frame)
{
    if (frame.size() != 2 || frame[1] > 2)
        return Reply::nak(NakInvalidArgument);
    const uint32_t value = m_counters[frame[1]];
    return Reply::of(
        {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16)});
}

UltralightCard::Reply UltralightEV1::incrCounter(const Bytes& frame)
{
    if (frame.size() != 6 || frame[1] > 2)
        return Reply::nak(NakInvalidArgument);
    const int n = frame[1];
    // The fourth increment byte is ignored.
    const uint32_t increment = frame[2] | frame[3] << 8 | frame[4] << 16;
    if (m_counters[n] + increment > CounterMax)
        return Reply::nak(NakCounterOverflow);
    if (tearsNow()) {
        // The anti-tearing scheme keeps the old value and flags the event.
        m_torn[n] = true;
        return Reply::silent();
    }
    m_counters[n] += increment;
    m_torn[n] = false;
    return Reply::ack();
}

UltralightCard::Reply UltralightEV1::checkTearing(const Bytes& frame)
{
    if (frame.size() != 2 || frame[1] > 2)
        return Reply::nak(NakInvalidArgument);
    return Reply::of({m_torn[frame[1]] ? uint8_t{0x00} : TearingValid});
}

UltralightCard::Reply UltralightEV1::pwdAuth(const Bytes& frame)
{
    if (frame.size() != 5)
        return Reply::nak(NakInvalidArgument);
    const uint8_t limit = access() & AccessAuthLim;
    if (limit != 0 && m_failedAttempts >= (1 << limit))
        return Reply::nak(NakCounterOverflow);
    if (!std::equal(frame.begin() + 1, frame.end(), m_memory.begin() + PwdPage * PageSize)) {
        ++m_failedAttempts;
        return Reply::nak(NakInvalidArgument);
    }
    m_failedAttempts = 0;
    m_authenticated = true;
    return Reply::of({m_memory[PackPage * PageSize], m_memory[PackPage * PageSize + 1]});
}

}  // namespace emulators
