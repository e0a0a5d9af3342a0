#include "drivers/Monet/BprotocolTransport.h"

#include <sys/socket.h>

#include "core/DateTime.h"
#include "core/Log.h"
#include "core/String.h"
#include "drivers/Monet/Clock.h"

namespace MonetReader {

namespace {

constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr size_t TerminalIdOffset = 5;
constexpr size_t TerminalIdSize = 8;
constexpr size_t TypeOffset = 2;
constexpr size_t BodyOffset = 37;

}  // namespace

BprotocolTransport::BprotocolTransport(UDPClient& client, UDPServer& server)
    : m_client(client), m_server(server)
{
}

std::string BprotocolTransport::prepareHeader(const BprotocolMsg& msg, size_t bodyLength) const
{
    std::string header;
    header.reserve(HeaderSize);
    header += msg.isNprotocol() ? 'N' : 'B';
    header += static_cast<char>('0' + msg.type());
    header += "01";
    header += m_terminalId;
    header += DateTime::currentDateTime().toString("%Y%m%d%H%M%S").substr(2);
    header += "0000";
    const uint8_t length[2] = {static_cast<uint8_t>(bodyLength >> 8),
                               static_cast<uint8_t>(bodyLength & 0xFF)};
    header += String::toHex(length, 2);
    header += "A5A5";
    return header;
}

size_t BprotocolTransport::drain()
{
    // Discarded without being copied out: a zero-length receive drops the whole datagram.
    size_t dropped = 0;
    while (dropped < DrainLimit && ::recv(m_server.getNative(), nullptr, 0, MSG_DONTWAIT) >= 0) ++dropped;
    if (dropped > 0)
        Log::debug("[Monet] Dropped %zu pending datagram(s) before the request", dropped);
    return dropped;
}

bool BprotocolTransport::transmit(const BprotocolMsg::Ptr& msg)
{
    if (!msg || !msg->valid()) {
        Log::error("[Monet] Refusing to send a message whose values hold separators");
        return false;
    }
    drain();
    const size_t bodyLength = msg->serializedSize();
    // The length field has four hex digits; a longer body could not be framed truthfully.
    if (bodyLength > 0xFFFF) {
        Log::error("[Monet] Message body of %zu bytes is too large to send", bodyLength);
        return false;
    }
    const std::string header = prepareHeader(*msg, bodyLength);
    m_tx.clear();
    m_tx.reserve(FrameOverhead + bodyLength);
    m_tx.push_back(STX);
    m_tx.insert(m_tx.end(), header.begin(), header.end());
    msg->serialize(m_tx);
    m_tx.push_back(ETX);
    printBprotocolMsg(m_tx, "TX");
    const bool sent = m_client.send(m_tx);
    if (!sent)
        Log::error("[Monet] UDP send() returned error: %s", m_client.error());
    return sent;
}

bool BprotocolTransport::fromReader(const std::string& address)
{
    if (address == m_client.address())
        return true;
    Log::debug("[Monet] Ignoring a datagram from %s", String::escaped(address).c_str());
    return false;
}

BprotocolMsg::Ptr BprotocolTransport::receive(int timeoutMs)
{
    const int64_t deadline = Monet::Clock::steadyMillis() + timeoutMs;
    unsigned short port = 0;
    for (bool first = true;; first = false) {
        const int64_t left = deadline - Monet::Clock::steadyMillis();
        // Datagrams skipped count against the same end: a stranger sending without pause holds
        // the wait no longer than silence would.
        if ((!first && left <= 0) || !m_server.available(static_cast<int>(left > 0 ? left : 0))) {
            Log::error("[Monet] UDP timeout occurred");
            return nullptr;
        }
        if (!m_server.receive(m_rx, m_from, port, MaxDatagram + 1)) {
            Log::error("[Monet] UDP receive() returned error: %s", m_server.error());
            return nullptr;
        }
        // Anyone on the link can send to our port; only the reader's datagrams count.
        if (fromReader(m_from))
            break;
    }
    printBprotocolMsg(m_rx, "RX");
    return parseDatagram(m_rx);
}

BprotocolMsg::Ptr BprotocolTransport::parseDatagram(const std::vector<uint8_t>& datagram)
{
    if (datagram.size() < FrameOverhead)
        return nullptr;
    if (datagram.size() > MaxDatagram) {
        Log::error("[Monet] Datagram longer than %zu bytes ===> Malformed", MaxDatagram);
        return BprotocolMsg::makeMalformed();
    }
    m_terminalId.assign(datagram.begin() + TerminalIdOffset,
                        datagram.begin() + TerminalIdOffset + TerminalIdSize);
    BprotocolMsg::Ptr msg =
        datagram.size() == FrameOverhead
            ? BprotocolMsg::make()
            : BprotocolMsg::make(datagram.data() + BodyOffset, datagram.size() - BodyOffset - 1);
    msg->setType(datagram[TypeOffset] - '0');
    return msg;
}

BprotocolMsg::Ptr BprotocolTransport::transceive(const BprotocolMsg::Ptr& msg, int timeoutMs)
{
    if (!transmit(msg))
        return nullptr;
    return receive(timeoutMs);
}

void BprotocolTransport::printBprotocolMsg(const std::vector<uint8_t>& frame, const char* tag)
{
    // Every datagram passes here: no hex or text of it is built for a line nobody sees.
    if (!Log::enabled(Log::LevelDebug))
        return;
    Log::debug(
        "================================================== %s "
        "==================================================",
        tag);
    Log::debug("[Monet] (% 5d): %s", static_cast<int>(frame.size()), String::toHexExcerpt(frame).c_str());
    std::string ascii;
    if (frame.size() > 2) {
        ascii.assign(frame.begin() + 1, frame.end() - 1);
        for (char& c : ascii)
            if (c == 0x1C || c == 0x1D)
                c = '.';
    }
    Log::debug("[Monet] (ASCII): %s", String::escaped(ascii, String::MaxPayloadExcerptBytes).c_str());
    Log::debug(
        "===================================================================================================="
        "====");
}

}  // namespace MonetReader
