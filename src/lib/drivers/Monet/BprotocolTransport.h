// Frames Monet B- and N-protocol messages into datagrams and exchanges them with the reader: sends
// through a connected UDPClient, receives on a bound UDPServer, both owned by the driver. Keeps the
// reader's terminal identifier from the last datagram it accepted. One exchange at a time: the
// caller (the worker thread or a driver timer, never both at once) serialises its use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/UDPClient.h"
#include "core/UDPServer.h"
#include "drivers/Monet/BprotocolMsg.h"

namespace MonetReader {

class BprotocolTransport
{
public:
    static constexpr size_t HeaderSize = 36;
    // STX, header, ETX: the size of a frame with an empty body.
    static constexpr size_t FrameOverhead = HeaderSize + 2;
    // A larger datagram is malformed: it is received one byte longer so that it can be told.
    static constexpr size_t MaxDatagram = 4096;
    // Pending datagrams discarded before one request, at most.
    static constexpr size_t DrainLimit = 1024;

    BprotocolTransport(UDPClient& client, UDPServer& server);

    std::string prepareHeader(const BprotocolMsg& msg, size_t bodyLength) const;
    // Discards what is pending (late or stray answers), then sends one frame.
    [[nodiscard]] bool transmit(const BprotocolMsg::Ptr& msg);
    // The next datagram from the reader's address within timeoutMs, parsed; empty when nothing
    // came, the receive failed or the datagram is shorter than a frame.
    BprotocolMsg::Ptr receive(int timeoutMs);
    // One datagram as receive takes it: empty when shorter than a frame, malformed when longer
    // than MaxDatagram; otherwise its body parsed and its type set, and the terminal identifier
    // taken from it.
    BprotocolMsg::Ptr parseDatagram(const std::vector<uint8_t>& datagram);
    BprotocolMsg::Ptr transceive(const BprotocolMsg::Ptr& msg, int timeoutMs);
    void getTerminalId(std::string& out) const { out = m_terminalId; }
    // The local port the reader answers to; the system's choice when the server was bound to 0.
    uint16_t listenPort() const { return m_server.port(); }
    // Datagrams waiting now, read and dropped; returns how many (at most DrainLimit).
    size_t drain();

    static void printBprotocolMsg(const std::vector<uint8_t>& frame, const char* tag);

private:
    bool fromReader(const std::string& address);

    UDPClient& m_client;
    UDPServer& m_server;
    std::string m_terminalId = std::string(8, ' ');
    std::vector<uint8_t> m_tx;
    std::vector<uint8_t> m_rx;
    std::string m_from;
};

}  // namespace MonetReader
