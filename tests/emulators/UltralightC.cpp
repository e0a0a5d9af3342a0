#include "emulators/UltralightC.h"

#include <algorithm>
#include <stdexcept>

#include "emulators/CardCrypto.h"

namespace emulators {

namespace {

const size_t PageSize = 4;
const size_t BlockSize = 8;
// Readable: everything below the key pages.
const int LastReadable = 0x2B;
const uint8_t AuthStep2 = 0xAF;

}  // namespace

UltralightC::UltralightC(const Bytes& uid) : UltralightCard(uid, Pages)
{
    // As delivered: no protection and the well-known transport key.
    m_memory[Auth0Page * PageSize] = 0x30;
    const std::string transport = "BREAKMEIFYOUCAN!";
    std::copy(transport.begin(), transport.end(), m_memory.begin() + KeyPage * PageSize);
}

void UltralightC::setKey(const Bytes& key)
{
    if (key.size() != 16)
        throw std::invalid_argument("an Ultralight C key has 16 bytes");
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t half = 0; half < 2; ++half)
        std::reverse_copy(key.begin() + static_cast<long>(half * BlockSize),
                          key.begin() + static_cast<long>((half + 1) * BlockSize),
                          m_memory.begin() + static_cast<long>(KeyPage * PageSize + half * BlockSize));
}

void UltralightC::protect(uint8_t auth0, bool writeOnly)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_memory[Auth0Page * PageSize] = auth0;
    m_memory[Auth1Page * PageSize] = writeOnly ? 0x01 : 0x00;
}

void UltralightC::setNextRndB(const Bytes& rndB)
{
    if (rndB.size() != BlockSize)
        throw std::invalid_argument("RndB has 8 bytes");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nextRndB = rndB;
}

uint16_t UltralightC::counter() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<uint16_t>(m_memory[CounterPage * PageSize] | m_memory[CounterPage * PageSize + 1]
                                                                        << 8);
}

Bytes UltralightC::key() const
{
    Bytes key(16);
    for (size_t half = 0; half < 2; ++half)
        std::reverse_copy(m_memory.begin() + static_cast<long>(KeyPage * PageSize + half * BlockSize),
                          m_memory.begin() + static_cast<long>(KeyPage * PageSize + (half + 1) * BlockSize),
                          key.begin() + static_cast<long>(half * BlockSize));
    return key;
}

uint8_t UltralightC::auth0() const
{
    return m_memory[Auth0Page * PageSize];
}

bool UltralightC::writeProtected(int page) const
{
    return !m_authenticated && page >= auth0();
}

bool UltralightC::readProtected(int page) const
{
    return writeProtected(page) && (m_memory[Auth1Page * PageSize] & 0x01) == 0;
}

void UltralightC::dropSession()
{
    m_authenticated = false;
    m_awaitingAnswer = false;
}

bool UltralightC::pageLocked(int page) const
{
    if (UltralightCard::pageLocked(page))
        return true;
    const uint8_t lock0 = m_memory[DynamicLockPage * PageSize];
    const uint8_t lock1 = m_memory[DynamicLockPage * PageSize + 1];
    // Byte 0: bits 1-3 lock pages 16-27 and bits 5-7 pages 28-39, four pages a bit.
    if (page >= 0x10 && page <= 0x1B)
        return (lock0 & (0x02 << ((page - 0x10) / 4))) != 0;
    if (page >= 0x1C && page <= 0x27)
        return (lock0 & (0x20 << ((page - 0x1C) / 4))) != 0;
    // Byte 1: bit 1 the counter page, bit 2 AUTH0 and AUTH1, bit 3 the key pages.
    if (page == CounterPage)
        return (lock1 & 0x02) != 0;
    if (page == Auth0Page || page == Auth1Page)
        return (lock1 & 0x04) != 0;
    if (page >= KeyPage)
        return (lock1 & 0x08) != 0;
    return false;
}

UltralightCard::Reply UltralightC::command(const Bytes& frame)
{
    if (m_awaitingAnswer) {
        // Anything but the second authentication step ends the attempt.
        m_awaitingAnswer = false;
        if (frame[0] != AuthStep2)
            return Reply::nak(NakInvalidArgument);
        return authenticate2(frame);
    }
    switch (frame[0]) {
        case 0x30:
            return read(frame);
        case 0xA2:
            return write(frame);
        case 0x1A:
            return authenticate1(frame);
        case 0x60:
            // No GET_VERSION on this card: it does not answer at all.
            return Reply::silent();
        default:
            return Reply::nak(NakInvalidArgument);
    }
}

UltralightCard::Reply UltralightC::read(const Bytes& frame)
{
    if (frame.size() != 2 || frame[1] > LastReadable || readProtected(frame[1]))
        return Reply::nak(NakInvalidArgument);
    const int lastReadable = readProtected(LastReadable) ? auth0() - 1 : LastReadable;
    return Reply::of(readPages(frame[1], 4, lastReadable));
}

UltralightCard::Reply UltralightC::write(const Bytes& frame)
{
    if (frame.size() != 6)
        return Reply::nak(NakInvalidArgument);
    const int page = frame[1];
    const Bytes data(frame.begin() + 2, frame.end());
    if (page >= Pages || writeProtected(page) || pageLocked(page))
        return Reply::nak(NakInvalidArgument);

    const size_t at = static_cast<size_t>(page) * PageSize;
    if (page == DynamicLockPage) {
        // Bit 0 freezes bits 1-3, bit 4 bits 5-7 of byte 0; bit 0 of byte 1 its bits 1-3.
        const uint8_t lock0 = m_memory[at];
        const uint8_t lock1 = m_memory[at + 1];
        const uint8_t b0 = orLockBits(
            lock0, data[0], static_cast<uint8_t>(((lock0 & 0x01) ? 0x0E : 0) | ((lock0 & 0x10) ? 0xE0 : 0)));
        const uint8_t b1 = orLockBits(lock1, data[1], static_cast<uint8_t>((lock1 & 0x01) ? 0x0E : 0));
        if (tearsNow())
            return Reply::silent();
        m_memory[at] = b0;
        m_memory[at + 1] = b1;
        return Reply::ack();
    }
    if (page == CounterPage) {
        // One-way: the value written is added; bytes 2 and 3 are ignored.
        const uint32_t value = m_memory[at] | m_memory[at + 1] << 8;
        const uint32_t increment = data[0] | data[1] << 8;
        if (value + increment > 0xFFFF)
            return Reply::nak(NakCounterOverflow);
        if (tearsNow())
            return Reply::silent();
        m_memory[at] = static_cast<uint8_t>(value + increment);
        m_memory[at + 1] = static_cast<uint8_t>((value + increment) >> 8);
        return Reply::ack();
    }
    return writePage(page, data);
}

UltralightCard::Reply UltralightC::authenticate1(const Bytes& frame)
{
    if (frame.size() != 2 || frame[1] != 0x00)
        return Reply::nak(NakInvalidArgument);
    m_authenticated = false;
    if (!m_nextRndB.empty()) {
        m_rndB = m_nextRndB;
        m_nextRndB.clear();
    } else {
        m_rndB = cardcrypto::random(BlockSize);
    }
    Bytes iv(BlockSize, 0x00);
    m_ekRndB = cardcrypto::cbcEncrypt(cardcrypto::Cipher::TDES, key(), iv, m_rndB);
    if (m_ekRndB.size() != BlockSize)
        return Reply::silent();
    m_awaitingAnswer = true;
    Bytes reply{AuthStep2};
    reply.insert(reply.end(), m_ekRndB.begin(), m_ekRndB.end());
    return Reply::of(reply);
}

UltralightCard::Reply UltralightC::authenticate2(const Bytes& frame)
{
    if (frame.size() != 1 + 2 * BlockSize)
        return Reply::nak(NakInvalidArgument);
    const Bytes cryptogram(frame.begin() + 1, frame.end());
    // The host chains on from the card's cryptogram, and the card's answer from the host's.
    Bytes iv = m_ekRndB;
    const Bytes plain = cardcrypto::cbcDecrypt(cardcrypto::Cipher::TDES, key(), iv, cryptogram);
    if (plain.size() != 2 * BlockSize)
        return Reply::silent();
    const Bytes rndA(plain.begin(), plain.begin() + BlockSize);
    const Bytes rndBRotated(plain.begin() + BlockSize, plain.end());
    if (rndBRotated != cardcrypto::rotateLeft(m_rndB, 1))
        return Reply::nak(NakInvalidArgument);

    const Bytes ekRndA =
        cardcrypto::cbcEncrypt(cardcrypto::Cipher::TDES, key(), iv, cardcrypto::rotateLeft(rndA, 1));
    if (ekRndA.size() != BlockSize)
        return Reply::silent();
    m_authenticated = true;
    Bytes reply{0x00};
    reply.insert(reply.end(), ekRndA.begin(), ekRndA.end());
    return Reply::of(reply);
}

}  // namespace emulators
