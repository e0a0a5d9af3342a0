#include "emulators/VUrurReader.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "emulators/T2151Reader.h"
#include "support/PeerProcess.h"

namespace emulators {

namespace {

const uint8_t Stray = 0x55;

double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}
const int UpdateCommand = 7;

int loopbackSocket(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

int VUrurReader::refusedPort()
{
    int port = 0;
    ::close(loopbackSocket(port));
    return port;
}

VUrurReader::VUrurReader()
{
    m_device.setNetworked("app ok", "sys ok");
    m_listen = loopbackSocket(m_port);
    if (::listen(m_listen, 8) != 0 || ::pipe(m_wake) != 0)
        throw std::runtime_error("listen failed");
    m_thread = std::thread([this] { run(); });
}

VUrurReader::~VUrurReader()
{
    (void)!::write(m_wake[1], "x", 1);
    m_thread.join();
    if (m_conn >= 0)
        ::close(m_conn);
    ::close(m_listen);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

void VUrurReader::inject(const Fault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(fault);
}

void VUrurReader::setMute(bool mute)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mute = mute;
}

void VUrurReader::sendFrame(const Bytes& payload)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_conn >= 0)
        write(m_conn, T2151Reader::frame(payload));
}

void VUrurReader::sendRaw(const Bytes& bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_conn >= 0)
        write(m_conn, bytes);
}

void VUrurReader::handZmodemTo(const std::string& directory, int result, bool rebootRequired)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_zmodemDirectory = directory;
    m_reportResult = result;
    m_reportReboot = rebootRequired;
}

bool VUrurReader::zmodemRan() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_zmodemRan;
}

size_t VUrurReader::accepted() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accepted;
}

bool VUrurReader::waitForAccepted(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_accepted >= count; });
}

bool VUrurReader::waitForPeerCloses(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_peerCloses >= count; });
}

void VUrurReader::write(int fd, const Bytes& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t put = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (put <= 0)
            return;
        done += static_cast<size_t>(put);
    }
}

void VUrurReader::drop(int fd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ::close(fd);
    if (m_conn == fd)
        m_conn = -1;
}

void VUrurReader::run()
{
    uint8_t buffer[4096];
    for (;;) {
        int conn = -1;
        bool mute = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            conn = m_conn;
            mute = m_mute;
        }
        pollfd fds[3] = {{m_wake[0], POLLIN, 0}, {m_listen, POLLIN, 0}, {mute ? -1 : conn, POLLIN, 0}};
        int waitMs = -1;
        if (!m_late.empty())
            waitMs = std::max(0, static_cast<int>(m_late.front().first - nowMs()) + 1);
        if (::poll(fds, 3, waitMs) < 0)
            continue;
        while (!m_late.empty() && m_late.front().first <= nowMs()) {
            if (conn >= 0)
                write(conn, m_late.front().second);
            m_late.pop_front();
        }
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN) {
            const int accepted = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted >= 0) {
                // A driver that stops reading must not stall the emulator for good.
                const timeval limit{2, 0};
                ::setsockopt(accepted, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_conn >= 0)
                    ::close(m_conn);
                m_conn = accepted;
                ++m_accepted;
                m_changed.notify_all();
                m_partial.clear();
                m_late.clear();
            }
            continue;
        }
        if (conn < 0 || !(fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = ::recv(conn, buffer, sizeof buffer, 0);
        if (n <= 0) {
            drop(conn);
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_peerCloses;
            m_changed.notify_all();
            continue;
        }
        // Nothing may leave the emulator's thread: a broken model only costs its answer.
        try {
            consume(conn, Bytes(buffer, buffer + n));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "[VUrurReader] model failed: %s\n", e.what());
        }
    }
}

void VUrurReader::consume(int fd, const Bytes& input)
{
    for (uint8_t byte : input) {
        if (m_partial.empty() && byte != 0x1A)
            continue;
        m_partial.push_back(byte);
        if (m_partial.size() < 3)
            continue;
        const size_t length = static_cast<size_t>(m_partial[1] << 8 | m_partial[2]);
        if (m_partial.size() < length + 5)
            continue;
        const uint16_t sent = static_cast<uint16_t>(m_partial[length + 3] << 8 | m_partial[length + 4]);
        const bool good = sent == T2151Reader::crc(m_partial.data(), length + 3);
        const Bytes payload(m_partial.begin() + 3, m_partial.begin() + 3 + static_cast<long>(length));
        m_partial.clear();
        if (!good)
            continue;
        int switchTo = 0;
        const T2151Device::Tlvs answerTlvs = m_device.handle(payload, 0, switchTo);
        bool ok = false;
        const int command =
            static_cast<int>(T2151Device::intOf(T2151Device::parse(payload, ok), 1, 0xFFFFFFFF));
        if (command == UpdateCommand) {
            // The reader answers command 7 by starting its file receiver on the connection.
            runZmodem(fd);
            return;
        }
        answer(fd, command, answerTlvs);
    }
}

bool VUrurReader::nextFault(int command, Fault& fault)
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

void VUrurReader::answer(int fd, int command, T2151Device::Tlvs tlvs)
{
    Fault fault{Fault::Replace, 0, AnyCommand, {}};
    const bool faulty = nextFault(command, fault);
    if (faulty && (fault.kind == Fault::Result || fault.kind == Fault::NoResult)) {
        if (!tlvs.empty() && tlvs[0].tag == 2)
            tlvs.erase(tlvs.begin());
        if (fault.kind == Fault::Result)
            tlvs.insert(tlvs.begin(), {2, T2151Device::integer(static_cast<uint32_t>(fault.value), 1)});
    }
    Bytes payload = T2151Device::encode(tlvs);
    if (faulty && fault.kind == Fault::BrokenTlv)
        payload = {0x02, 0x00, 0x01, 0x00, 0x15, 0x00};
    else if (faulty && fault.kind == Fault::Replace)
        payload = fault.data;
    Bytes wire = T2151Reader::frame(payload);
    if (!faulty) {
        write(fd, wire);
        return;
    }
    switch (fault.kind) {
        case Fault::Silent:
            return;
        case Fault::Late:
            // Held back while the next requests are read and answered.
            m_late.emplace_back(nowMs() + fault.value, wire);
            return;
        case Fault::Flood:
            write(fd, Bytes(static_cast<size_t>(fault.value), Stray));
            return;
        case Fault::Rz:
            write(fd, {'r', 'z'});
            return;
        case Fault::Truncate:
            wire.resize(wire.size() - std::min(wire.size(), static_cast<size_t>(fault.value)));
            write(fd, wire);
            return;
        case Fault::CloseMidFrame:
            wire.resize(wire.size() / 2);
            write(fd, wire);
            drop(fd);
            return;
        case Fault::Close:
            drop(fd);
            return;
        case Fault::Trickle:
            for (uint8_t byte : wire) {
                write(fd, {byte});
                std::this_thread::sleep_for(std::chrono::milliseconds(fault.value));
            }
            return;
        default:
            write(fd, wire);
            return;
    }
}

void VUrurReader::runZmodem(int fd)
{
    std::string directory;
    int result = 0;
    bool reboot = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        directory = m_zmodemDirectory;
        result = m_reportResult;
        reboot = m_reportReboot;
    }
    if (directory.empty())
        return;  // no receiver: the sender finds nobody to talk to
    {
        testsupport::PeerProcess::Options options;
        options.workingDirectory = directory;
        options.stdinFd = fd;
        options.stdoutFd = fd;
        testsupport::PeerProcess rz({"rz", "-q"}, options);
        rz.wait();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_zmodemRan = true;
    }
    write(fd,
          T2151Reader::frame(T2151Device::encode({{2, T2151Device::integer(static_cast<uint32_t>(result), 1)},
                                                  {17, T2151Device::integer(reboot ? 1 : 0, 1)}})));
}

}  // namespace emulators
