#include "emulators/MonetSideChannel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <utility>

#include "emulators/CardCrypto.h"

namespace emulators {

namespace {

constexpr uint8_t Answered = 0x80;
constexpr uint8_t StatusRefused = 0x01;
constexpr uint8_t StatusNoCard = 0x02;
constexpr uint8_t StatusNak = 0x03;

Bytes cut(const Bytes& v, size_t from, size_t n = SIZE_MAX)
{
    if (from >= v.size())
        return {};
    const size_t end = n > v.size() - from ? v.size() : from + n;
    return Bytes(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(end));
}

}  // namespace

MonetSideChannel::MonetSideChannel()
{
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listen, 4) != 0 ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        pipe2(m_wake, O_CLOEXEC) != 0) {
        if (m_listen >= 0)
            ::close(m_listen);
        throw std::runtime_error("side-channel emulator cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

MonetSideChannel::~MonetSideChannel()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    const char byte = 0;
    (void)!::write(m_wake[1], &byte, 1);
    m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_client >= 0)
        ::close(m_client);
    ::close(m_listen);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

bool MonetSideChannel::waitForClient(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_client >= 0; });
}

void MonetSideChannel::setCard(std::shared_ptr<FieldCard> card)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_card = std::move(card);
}

void MonetSideChannel::setSam(int slot, std::shared_ptr<SlotCard> sam, SamLink link)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sams[slot] = std::move(sam);
    m_links[slot] = link;
}

void MonetSideChannel::setEchoByte(uint8_t byte)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_echo = byte;
}

void MonetSideChannel::setAidResults(std::optional<Bytes> results)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_aidResults = std::move(results);
}

void MonetSideChannel::inject(const Fault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(fault);
}

Bytes MonetSideChannel::frame(const Bytes& payload)
{
    Bytes out = {static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

bool MonetSideChannel::writeAll(const Bytes& bytes)
{
    std::lock_guard<std::mutex> writing(m_writeMutex);
    int fd;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        fd = m_client;
    }
    if (fd < 0)
        return false;
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void MonetSideChannel::sendEvent(uint8_t code, const Bytes& data)
{
    Bytes payload = {static_cast<uint8_t>(code | Answered), 0x00};
    payload.insert(payload.end(), data.begin(), data.end());
    sendPayload(payload);
}

void MonetSideChannel::sendPayload(const Bytes& payload)
{
    writeAll(frame(payload));
}

void MonetSideChannel::sendBytes(const Bytes& bytes)
{
    writeAll(bytes);
}

void MonetSideChannel::flood(size_t count, const Bytes& payload)
{
    const Bytes one = frame(payload);
    Bytes all;
    all.reserve(one.size() * count);
    for (size_t i = 0; i < count; ++i) all.insert(all.end(), one.begin(), one.end());
    writeAll(all);
}

Bytes MonetSideChannel::cardDescription(const FieldCard::Identity& id)
{
    // Four bytes the host skips, the UID, ATQA and SAK as the skipped field, the ATS, the kind.
    Bytes out = {0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(id.uid.size())};
    out.insert(out.end(), id.uid.begin(), id.uid.end());
    out.insert(out.end(), {0x03, static_cast<uint8_t>(id.atqa), static_cast<uint8_t>(id.atqa >> 8), id.sak});
    out.push_back(static_cast<uint8_t>(id.ats.size()));
    out.insert(out.end(), id.ats.begin(), id.ats.end());
    if (id.readerTagType == 0x81)
        out.insert(out.end(), {0x02, 0x01, 0x0B});
    else if (!id.ats.empty())
        out.insert(out.end(), {0x00, 0x01, 0x01});
    else
        out.insert(out.end(), {0x02, 0x04, 0x00});
    return out;
}

void MonetSideChannel::presentCard()
{
    std::shared_ptr<FieldCard> card;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        card = m_card;
    }
    if (!card)
        return;
    card->selected();
    sendEvent(0x38, cardDescription(card->identity()));
}

std::vector<Bytes> MonetSideChannel::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void MonetSideChannel::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

bool MonetSideChannel::waitForRequests(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_requests.size() >= count; });
}

std::vector<Bytes> MonetSideChannel::aids() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_aids;
}

uint8_t MonetSideChannel::leds() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_leds;
}

size_t MonetSideChannel::connections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

size_t MonetSideChannel::endedConnections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ended;
}

bool MonetSideChannel::waitForConnections(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_connections >= count; });
}

bool MonetSideChannel::waitForEnded(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_ended >= count; });
}

void MonetSideChannel::presentCardOnNextConnection()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_presentOnConnection = true;
}

void MonetSideChannel::hangUp()
{
    std::lock_guard<std::mutex> writing(m_writeMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    closeClientLocked();
    // The serving loop polls the descriptor it last saw: wake it to take the new state.
    const char byte = 1;
    (void)!::write(m_wake[1], &byte, 1);
}

void MonetSideChannel::closeClientLocked()
{
    if (m_client < 0)
        return;
    ::close(m_client);
    m_client = -1;
    ++m_ended;
    m_changed.notify_all();
}

void MonetSideChannel::setRecording(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recording = on;
}

void MonetSideChannel::run()
{
    Bytes input;
    for (;;) {
        int client;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop)
                return;
            client = m_client;
        }
        pollfd fds[3] = {{m_wake[0], POLLIN, 0}, {m_listen, POLLIN, 0}, {client, POLLIN, 0}};
        if (poll(fds, client >= 0 ? 3 : 2, -1) < 0)
            continue;
        if (fds[0].revents) {
            char byte;
            (void)!::read(m_wake[0], &byte, 1);
            continue;  // stopping or hung up: the loop head sees it
        }
        if (fds[1].revents & POLLIN) {
            const int accepted = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            bool present = false;
            if (accepted >= 0) {
                std::lock_guard<std::mutex> writing(m_writeMutex);
                std::lock_guard<std::mutex> lock(m_mutex);
                closeClientLocked();
                m_client = accepted;
                ++m_connections;
                input.clear();
                present = std::exchange(m_presentOnConnection, false);
                m_changed.notify_all();
            }
            if (present)
                presentCard();
            continue;
        }
        if (client < 0 || !fds[2].revents)
            continue;
        uint8_t buffer[4096];
        const ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) {
            std::lock_guard<std::mutex> writing(m_writeMutex);
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_client == client)
                closeClientLocked();
            continue;
        }
        input.insert(input.end(), buffer, buffer + n);
        while (input.size() >= 2) {
            const size_t length = static_cast<size_t>(input[0] << 8 | input[1]);
            if (input.size() < 2 + length)
                break;
            const Bytes payload = cut(input, 2, length);
            input.erase(input.begin(), input.begin() + static_cast<long>(2 + length));
            if (!payload.empty())
                handle(payload);
        }
    }
}

std::optional<MonetSideChannel::Fault> MonetSideChannel::takeFault(uint8_t code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->command == AnyCommand || it->command == code) {
            Fault fault = *it;
            m_faults.erase(it);
            return fault;
        }
    }
    return std::nullopt;
}

void MonetSideChannel::handle(const Bytes& payload)
{
    const uint8_t code = payload[0] & 0x7F;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_recording)
            m_requests.push_back(payload);
        m_changed.notify_all();
    }
    respond(code, answer(code, cut(payload, 1)));
}

void MonetSideChannel::respond(uint8_t code, const Answer& answer)
{
    Bytes payload = {static_cast<uint8_t>(code | Answered), answer.status};
    payload.insert(payload.end(), answer.data.begin(), answer.data.end());
    std::optional<Fault> fault = takeFault(code);
    if (!fault) {
        writeAll(frame(payload));
        return;
    }
    switch (fault->kind) {
        case Fault::Silence:
            return;
        case Fault::Partial:
            writeAll(cut(frame(payload), 0, 2 + static_cast<size_t>(fault->value)));
            return;
        case Fault::CloseMidFrame: {
            writeAll(cut(frame(payload), 0, 2 + static_cast<size_t>(fault->value)));
            std::lock_guard<std::mutex> writing(m_writeMutex);
            std::lock_guard<std::mutex> lock(m_mutex);
            closeClientLocked();
            return;
        }
        case Fault::Raw:
            writeAll(fault->payload);
            return;
        case Fault::Replace:
            writeAll(frame(fault->payload));
            return;
        case Fault::Trickle: {
            // Ends early once the client is gone (the write fails) or the emulator stops.
            const Bytes bytes = fault->payload.empty() ? frame(payload) : fault->payload;
            for (uint8_t byte : bytes) {
                if (!writeAll({byte}))
                    return;
                std::unique_lock<std::mutex> lock(m_mutex);
                if (m_changed.wait_for(lock, std::chrono::milliseconds(fault->value), [this] { return m_stop; }))
                    return;
            }
            return;
        }
        case Fault::EventsFirst: {
            Bytes all;
            for (const Bytes& event : fault->events) {
                const Bytes one = frame(event);
                all.insert(all.end(), one.begin(), one.end());
            }
            const Bytes last = frame(payload);
            all.insert(all.end(), last.begin(), last.end());
            writeAll(all);
            return;
        }
    }
}

MonetSideChannel::Answer MonetSideChannel::answer(uint8_t code, const Bytes& data)
{
    switch (code) {
        case 0x00: {
            std::lock_guard<std::mutex> lock(m_mutex);
            return {0x00, {m_echo}};
        }
        case 0x0C: {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_leds = data.empty() ? 0 : data[0];
            return {};
        }
        case 0x08:
        case 0x30:
        case 0x39:
        case 0x40:
        case 0x55:
            return {};
        case 0x31: {
            // 01 02 03 04, then for each AID: 01, its length, its bytes.
            std::vector<Bytes> aids;
            for (size_t pos = 4; pos + 2 <= data.size();) {
                const size_t length = data[pos + 1];
                aids.push_back(cut(data, pos + 2, length));
                pos += 2 + length;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_aids = aids;
            return {0x00, m_aidResults ? *m_aidResults : Bytes(aids.size(), 0x00)};
        }
        case 0x41:
            return passThrough(data);
        case 0x4F:
            return iso14443_3(data);
        case 0x60:
        case 0x61:
        case 0x62:
        case 0x63:
            return sam(code, data);
        default:
            return {StatusRefused, {}};
    }
}

MonetSideChannel::Answer MonetSideChannel::passThrough(const Bytes& data)
{
    // 90 INS 00 00 [Lc data] 00: the ISO 7816 form of a DESFire native command.
    if (data.size() < 5 || data[0] != 0x90)
        return {StatusRefused, {}};
    Bytes native = {data[1]};
    if (data.size() > 5) {
        const size_t lc = data[4];
        if (data.size() != 6 + lc)
            return {StatusRefused, {}};
        const Bytes parameters = cut(data, 5, lc);
        native.insert(native.end(), parameters.begin(), parameters.end());
    }
    // The reader's merged record write: both parts go to the card as one 0x3B.
    if (native[0] == 0x8B)
        native[0] = 0x3B;
    std::shared_ptr<FieldCard> card;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        card = m_card;
    }
    const std::optional<Bytes> reply = card ? card->exchange4(native) : std::nullopt;
    if (!reply || reply->empty())
        return {StatusNoCard, {}};
    Bytes out = cut(*reply, 1);
    out.push_back(0x91);
    out.push_back((*reply)[0]);
    return {0x00, out};
}

MonetSideChannel::Answer MonetSideChannel::iso14443_3(const Bytes& data)
{
    // Reader time-out (2), mode (1), bits (2), the frame without its CRC_A.
    if (data.size() < 6)
        return {StatusRefused, {}};
    Bytes frame = cut(data, 5);
    const uint16_t crc = cardcrypto::crcA(frame);
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    std::shared_ptr<FieldCard> card;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        card = m_card;
    }
    const std::optional<Bytes> reply = card ? card->exchange3(frame) : std::nullopt;
    // A card that did not take the frame has fallen back to idle; the reader owns the field and
    // activates it again, so that the next frame reaches it (with its session dropped).
    const bool failed = !reply || reply->empty() || (reply->size() == 1 && (*reply)[0] != 0x0A);
    if (failed && card)
        card->selected();
    if (!reply || reply->empty())
        return {StatusNoCard, {}};
    if (reply->size() == 1) {
        if ((*reply)[0] != 0x0A)
            return {StatusNak, {}};
        return {0x00, {0x00, 0x00, 0x0A}};
    }
    // Two leading bytes, then the card's answer without its CRC.
    Bytes out = {0x00, 0x00};
    const Bytes body = cut(*reply, 0, reply->size() - 2);
    out.insert(out.end(), body.begin(), body.end());
    return {0x00, out};
}

MonetSideChannel::Answer MonetSideChannel::sam(uint8_t code, const Bytes& data)
{
    if (data.empty() || data[0] < 1 || data[0] > 4)
        return {StatusRefused, {}};
    const int slot = data[0] - 1;
    std::shared_ptr<SlotCard> sam;
    SamLink link;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sam = m_sams[slot];
        link = m_links[slot];
    }
    if (!sam)
        return {StatusNoCard, {}};
    if (code == 0x63)
        return {};
    if (code == 0x61) {
        sam->powerOff();
        return {};
    }
    if (code == 0x60) {
        const std::optional<Bytes> atr = sam->powerOn();
        if (!atr)
            return {StatusNoCard, {}};
        return {0x00, *atr};
    }
    // CLA INS P1 P2 [Lc data] [Le]
    const Bytes apdu = cut(data, 1);
    if (apdu.size() < 4)
        return {StatusRefused, {}};
    SlotCard::Apdu command;
    command.cla = apdu[0];
    command.ins = apdu[1];
    command.p1 = apdu[2];
    command.p2 = apdu[3];
    if (apdu.size() == 5) {
        command.hasLe = true;
        command.le = apdu[4];
    } else if (apdu.size() > 5) {
        const size_t lc = apdu[4];
        if (apdu.size() < 5 + lc || apdu.size() > 6 + lc)
            return {StatusRefused, {}};
        command.data = cut(apdu, 5, lc);
        if (apdu.size() == 6 + lc) {
            command.hasLe = true;
            command.le = apdu[5 + lc];
        }
    }
    std::optional<SlotCard::Response> response;
    if (link == SamLink::T0) {
        const uint8_t p3 = command.data.empty() ? static_cast<uint8_t>(command.le)
                                                : static_cast<uint8_t>(command.data.size());
        response = sam->tpdu({command.cla, command.ins, command.p1, command.p2, p3}, command.data);
    } else {
        response = sam->apdu(command);
    }
    if (!response)
        return {StatusNoCard, {}};
    Bytes out = response->data;
    out.push_back(static_cast<uint8_t>(response->sw >> 8));
    out.push_back(static_cast<uint8_t>(response->sw));
    return {0x00, out};
}

}  // namespace emulators
