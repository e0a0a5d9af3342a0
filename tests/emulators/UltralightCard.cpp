#include "emulators/UltralightCard.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "emulators/CardCrypto.h"

namespace emulators {

namespace {

const size_t PageSize = 4;
const size_t MaxRecorded = 10000;
const int OtpPage = 3;
const int LockPage = 2;

// Static lock byte 0 (page 2, byte 2): bit 0 freezes L-OTP (bit 3), bit 1 freezes L4-L7 and
// L8-L9, bit 2 freezes L10-L15. Byte 1 (page 2, byte 3): L8-L15.
const uint8_t BlockOtp = 0x01;
const uint8_t Block4to9 = 0x02;
const uint8_t Block10to15 = 0x04;

}  // namespace

UltralightCard::UltralightCard(const Bytes& uid, int pages) : m_pages(pages), m_memory(pages * PageSize, 0x00)
{
    if (uid.size() != 7)
        throw std::invalid_argument("an Ultralight UID has 7 bytes");
    // UID0-2 and BCC0 (cascade tag 0x88 included), UID3-6, BCC1, then the internal byte.
    m_memory[0] = uid[0];
    m_memory[1] = uid[1];
    m_memory[2] = uid[2];
    m_memory[3] = static_cast<uint8_t>(0x88 ^ uid[0] ^ uid[1] ^ uid[2]);
    std::copy(uid.begin() + 3, uid.end(), m_memory.begin() + 4);
    m_memory[8] = static_cast<uint8_t>(uid[3] ^ uid[4] ^ uid[5] ^ uid[6]);
    m_memory[9] = 0x48;
}

FieldCard::Identity UltralightCard::identity() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Identity id;
    id.readerTagType = 0x80;
    id.uid = {m_memory[0], m_memory[1], m_memory[2], m_memory[4], m_memory[5], m_memory[6], m_memory[7]};
    id.atqa = 0x0044;
    id.sak = 0x00;
    return id;
}

void UltralightCard::selected()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_idle = false;
    dropSession();
}

void UltralightCard::reset()
{
    selected();
}

std::optional<Bytes> UltralightCard::exchange4(const Bytes&)
{
    // No ISO 14443-4 layer.
    return std::nullopt;
}

std::optional<Bytes> UltralightCard::exchange3(const Bytes& frame)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_idle)
        return std::nullopt;

    Reply reply;
    std::optional<Fault> fault;
    if (frame.size() < 3 || cardcrypto::crcA(frame) != 0) {
        reply = Reply::nak(NakCrc);
    } else {
        const Bytes body(frame.begin(), frame.end() - 2);
        if (m_commands.size() < MaxRecorded)
            m_commands.push_back(body);
        auto it = std::find_if(m_faults.begin(), m_faults.end(), [&](const Fault& f) {
            return f.command == AnyCommand || f.command == body[0];
        });
        if (it != m_faults.end()) {
            fault = *it;
            m_faults.erase(it);
        }
        if (fault && fault->kind == Fault::Nak)
            reply = Reply::nak(static_cast<uint8_t>(fault->value));
        else if (fault && fault->kind == Fault::AckOnly)
            reply = Reply::ack();
        else if (fault && fault->kind == Fault::Mute)
            reply = Reply::silent();
        else
            reply = command(body);
    }

    // A NAK or a failure to answer sends the card back to idle: a new selection is needed. An
    // answer lost on its way leaves the card as it was.
    const bool lostInAir = std::exchange(m_answerLostInAir, false);
    if (lostInAir)
        return std::nullopt;
    if (reply.kind == Reply::Silent || (reply.kind == Reply::AckNak && reply.code != Ack)) {
        m_idle = true;
        dropSession();
    }
    if (reply.kind == Reply::Silent)
        return std::nullopt;
    if (reply.kind == Reply::AckNak)
        return Bytes{reply.code};

    Bytes out = std::move(reply.data);
    const uint16_t crc = cardcrypto::crcA(out);
    out.push_back(static_cast<uint8_t>(crc));
    out.push_back(static_cast<uint8_t>(crc >> 8));
    if (fault && fault->kind == Fault::BadCrc)
        out.back() ^= 0x5A;
    if (fault && fault->kind == Fault::ShortAnswer)
        out.resize(std::min(out.size(), static_cast<size_t>(std::max(0, fault->value))));
    return out;
}

void UltralightCard::inject(const Fault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(fault);
}

void UltralightCard::tearAfterWrites(int n, bool landed, bool inAir)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tearAfter = n;
    m_tearLands = landed || inAir;
    m_tearInAir = inAir;
}

Bytes UltralightCard::page(int page) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t at = static_cast<size_t>(page) * PageSize;
    return Bytes(m_memory.begin() + static_cast<long>(at),
                 m_memory.begin() + static_cast<long>(at + PageSize));
}

void UltralightCard::setPage(int page, const Bytes& data)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (page < 0 || page >= m_pages || data.size() != PageSize)
        throw std::invalid_argument("no such page or not 4 bytes");
    std::copy(data.begin(), data.end(), m_memory.begin() + static_cast<long>(page * PageSize));
}

Bytes UltralightCard::memory() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_memory;
}

bool UltralightCard::authenticated() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_authenticated;
}

std::vector<Bytes> UltralightCard::commands() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

bool UltralightCard::pageLocked(int page) const
{
    const uint8_t lock0 = m_memory[LockPage * PageSize + 2];
    const uint8_t lock1 = m_memory[LockPage * PageSize + 3];
    if (page == OtpPage)
        return (lock0 & 0x08) != 0;
    if (page >= 4 && page <= 7)
        return (lock0 & (0x10 << (page - 4))) != 0;
    if (page >= 8 && page <= 15)
        return (lock1 & (0x01 << (page - 8))) != 0;
    return false;
}

uint8_t UltralightCard::orLockBits(uint8_t old, uint8_t wanted, uint8_t frozen)
{
    return static_cast<uint8_t>(old | (wanted & ~frozen));
}

Bytes UltralightCard::readPages(int page, int count, int lastReadable) const
{
    Bytes out;
    out.reserve(static_cast<size_t>(count) * PageSize);
    int p = page;
    for (int i = 0; i < count; ++i) {
        if (p > lastReadable)
            p = 0;
        out.insert(out.end(), m_memory.begin() + static_cast<long>(p * PageSize),
                   m_memory.begin() + static_cast<long>((p + 1) * PageSize));
        ++p;
    }
    return out;
}

bool UltralightCard::tearsNow()
{
    if (m_tearAfter < 0)
        return false;
    if (m_tearAfter == 0) {
        m_tearAfter = -1;
        return true;
    }
    --m_tearAfter;
    return false;
}

UltralightCard::Reply UltralightCard::writePage(int page, const Bytes& data)
{
    if (page < LockPage || page >= m_pages || data.size() != PageSize || pageLocked(page))
        return Reply::nak(NakInvalidArgument);

    Bytes wanted(m_memory.begin() + static_cast<long>(page * PageSize),
                 m_memory.begin() + static_cast<long>((page + 1) * PageSize));
    if (page == LockPage) {
        // Bytes 0 and 1 of the page (BCC1, internal) are not writable.
        const uint8_t lock0 = wanted[2];
        const uint8_t frozen0 =
            static_cast<uint8_t>(((lock0 & BlockOtp) ? 0x08 : 0) | ((lock0 & Block4to9) ? 0xF0 : 0));
        const uint8_t frozen1 =
            static_cast<uint8_t>(((lock0 & Block4to9) ? 0x03 : 0) | ((lock0 & Block10to15) ? 0xFC : 0));
        wanted[2] = orLockBits(wanted[2], data[2], frozen0);
        wanted[3] = orLockBits(wanted[3], data[3], frozen1);
    } else if (page == OtpPage) {
        for (size_t i = 0; i < PageSize; ++i) wanted[i] |= data[i];
    } else {
        wanted = data;
    }

    if (tearsNow()) {
        // Half programmed (the first two bytes took, the rest kept their old values), or in full.
        std::copy(wanted.begin(), wanted.begin() + (m_tearLands ? 4 : 2),
                  m_memory.begin() + static_cast<long>(page * PageSize));
        m_answerLostInAir = m_tearInAir;
        return Reply::silent();
    }
    std::copy(wanted.begin(), wanted.end(), m_memory.begin() + static_cast<long>(page * PageSize));
    return Reply::ack();
}

}  // namespace emulators
