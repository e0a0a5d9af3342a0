// A small, blocking MQTT 3.1.1 client written from the protocol on a plain TCP socket, used by
// tests as the far side of the broker so that what our client sends and receives is checked by
// code that shares nothing with it. One thread uses a peer at a time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

struct PeerMessage
{
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retained = false;
};

class MqttPeer
{
public:
    struct Will
    {
        std::string topic;
        std::string payload;
        int qos = 0;
        bool retained = false;
    };

    ~MqttPeer() { closeSocket(); }

    // Returns the CONNACK return code (0 accepted), or -1 when no CONNACK came.
    int connect(int port, const std::string& clientId, const std::string& user = "",
                const std::string& password = "", const std::optional<Will>& will = std::nullopt)
    {
        closeSocket();
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            closeSocket();
            return -1;
        }
        std::string body;
        appendString(body, "MQTT");
        body.push_back(4);
        uint8_t flags = 0x02;  // clean session
        if (will)
            flags |= 0x04 | static_cast<uint8_t>(will->qos << 3) | (will->retained ? 0x20 : 0);
        if (!user.empty())
            flags |= 0x80;
        if (!password.empty())
            flags |= 0x40;
        body.push_back(static_cast<char>(flags));
        body.push_back(0);  // keep-alive 0: the broker never times the peer out
        body.push_back(0);
        appendString(body, clientId);
        if (will) {
            appendString(body, will->topic);
            appendString(body, will->payload);
        }
        if (!user.empty())
            appendString(body, user);
        if (!password.empty())
            appendString(body, password);
        sendPacket(0x10, body);
        auto packet = readPacket(std::chrono::seconds(5));
        if (!packet || (packet->first >> 4) != 2 || packet->second.size() != 2)
            return -1;
        return static_cast<uint8_t>(packet->second[1]);
    }

    // Subscribes and waits for the SUBACK: from then on the broker forwards matching messages.
    void subscribe(const std::string& filter, int qos = 0)
    {
        uint16_t id = nextId();
        std::string body;
        appendU16(body, id);
        appendString(body, filter);
        body.push_back(static_cast<char>(qos));
        sendPacket(0x82, body);
        waitAck(9, id, "SUBACK");
    }

    // QoS 0 or 1; a QoS 1 publish returns after the broker's PUBACK.
    void publish(const std::string& topic, const std::string& payload, int qos = 0, bool retained = false)
    {
        std::string body;
        appendString(body, topic);
        uint16_t id = 0;
        if (qos > 0) {
            id = nextId();
            appendU16(body, id);
        }
        body += payload;
        sendPacket(static_cast<uint8_t>(0x30 | (qos << 1) | (retained ? 1 : 0)), body);
        if (qos == 1)
            waitAck(4, id, "PUBACK");
    }

    // The next application message, or nothing when none arrives within the time.
    std::optional<PeerMessage> receive(std::chrono::milliseconds timeout)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_messages.empty()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            auto packet = readPacket(left);
            if (!packet)
                return std::nullopt;
            handle(*packet);
        }
        PeerMessage message = m_messages.front();
        m_messages.pop_front();
        return message;
    }

    void disconnect()
    {
        if (m_fd >= 0)
            sendPacket(0xE0, std::string());
        closeSocket();
    }

private:
    using Packet = std::pair<uint8_t, std::string>;

    static void appendU16(std::string& out, uint16_t value)
    {
        out.push_back(static_cast<char>(value >> 8));
        out.push_back(static_cast<char>(value & 0xFF));
    }

    static void appendString(std::string& out, const std::string& text)
    {
        appendU16(out, static_cast<uint16_t>(text.size()));
        out += text;
    }

    uint16_t nextId() { return m_nextId = static_cast<uint16_t>(m_nextId % 65535 + 1); }

    void closeSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_buffer.clear();
    }

    void sendPacket(uint8_t header, const std::string& body)
    {
        std::string packet(1, static_cast<char>(header));
        size_t length = body.size();
        do {
            uint8_t digit = length % 128;
            length /= 128;
            if (length > 0)
                digit |= 0x80;
            packet.push_back(static_cast<char>(digit));
        } while (length > 0);
        packet += body;
        size_t sent = 0;
        while (sent < packet.size()) {
            ssize_t n = ::send(m_fd, packet.data() + sent, packet.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                throw std::runtime_error("peer: send failed");
            sent += static_cast<size_t>(n);
        }
    }

    // One whole packet from the buffer, if the buffer holds one.
    std::optional<Packet> takePacket()
    {
        if (m_buffer.size() < 2)
            return std::nullopt;
        size_t length = 0, multiplier = 1, pos = 1;
        for (;;) {
            if (pos >= m_buffer.size())
                return std::nullopt;
            uint8_t digit = static_cast<uint8_t>(m_buffer[pos++]);
            length += (digit & 0x7F) * multiplier;
            if (!(digit & 0x80))
                break;
            multiplier *= 128;
            if (pos > 4)
                throw std::runtime_error("peer: malformed remaining length");
        }
        if (m_buffer.size() - pos < length)
            return std::nullopt;
        Packet packet{static_cast<uint8_t>(m_buffer[0]), m_buffer.substr(pos, length)};
        m_buffer.erase(0, pos + length);
        return packet;
    }

    std::optional<Packet> readPacket(std::chrono::milliseconds timeout)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto packet = takePacket())
                return packet;
            if (m_fd < 0)
                return std::nullopt;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd pfd{m_fd, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char chunk[4096];
            ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), 0);
            if (n <= 0) {
                ::close(m_fd);
                m_fd = -1;
                continue;
            }
            m_buffer.append(chunk, static_cast<size_t>(n));
        }
    }

    // Takes a PUBLISH (answering QoS 1 and 2 as the protocol asks) or a PUBREL; others are dropped.
    void handle(const Packet& packet)
    {
        uint8_t type = packet.first >> 4;
        const std::string& body = packet.second;
        if (type == 6 && body.size() >= 2) {  // PUBREL -> PUBCOMP
            sendPacket(0x70, body.substr(0, 2));
            return;
        }
        if (type != 3)
            return;
        int qos = (packet.first >> 1) & 3;
        if (body.size() < 2)
            throw std::runtime_error("peer: short PUBLISH");
        size_t topicLength = (static_cast<uint8_t>(body[0]) << 8) | static_cast<uint8_t>(body[1]);
        size_t pos = 2 + topicLength;
        if (body.size() < pos + (qos > 0 ? 2 : 0))
            throw std::runtime_error("peer: short PUBLISH");
        PeerMessage message;
        message.topic = body.substr(2, topicLength);
        message.qos = qos;
        message.retained = packet.first & 1;
        if (qos > 0) {
            std::string id = body.substr(pos, 2);
            pos += 2;
            sendPacket(qos == 1 ? 0x40 : 0x50, id);
        }
        message.payload = body.substr(pos);
        m_messages.push_back(std::move(message));
    }

    void waitAck(uint8_t type, uint16_t id, const char* what)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            auto packet = left.count() > 0 ? readPacket(left) : std::nullopt;
            if (!packet)
                throw std::runtime_error(std::string("peer: no ") + what);
            if ((packet->first >> 4) == type && packet->second.size() >= 2 &&
                ((static_cast<uint8_t>(packet->second[0]) << 8) | static_cast<uint8_t>(packet->second[1])) ==
                    id)
                return;
            handle(*packet);
        }
    }

    int m_fd = -1;
    std::string m_buffer;
    std::deque<PeerMessage> m_messages;
    uint16_t m_nextId = 0;
};

}  // namespace testsupport
