#include "emulators/T2151Reader.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>

#include "support/PeerProcess.h"

namespace emulators {

namespace {

const uint8_t Start = 0x1A;
const uint8_t Stray = 0x55;
// The longest a ZMODEM session may hold the line before the emulator takes it back.
const int ZmodemLimitMs = 120000;
// A request left half-received this long is abandoned, as the reader's own input time-out does.
const double ResyncGapMs = 200;

double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

uint16_t T2151Reader::crc(const uint8_t* data, size_t size)
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

Bytes T2151Reader::frame(const Bytes& payload)
{
    Bytes out = {Start, static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    out.insert(out.end(), payload.begin(), payload.end());
    const uint16_t c = crc(out.data(), out.size());
    out.push_back(static_cast<uint8_t>(c >> 8));
    out.push_back(static_cast<uint8_t>(c));
    return out;
}

T2151Reader::T2151Reader(int baud) : m_baud(baud)
{
    m_thread = std::thread([this] { run(); });
}

T2151Reader::~T2151Reader()
{
    m_pty.stop();
    m_thread.join();
}

int T2151Reader::baud() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_baud;
}

void T2151Reader::setBaud(int baud)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_baud = baud;
}

void T2151Reader::inject(const Fault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(fault);
}

void T2151Reader::sendFrame(const Bytes& payload)
{
    write(frame(payload));
}

void T2151Reader::sendRaw(const Bytes& bytes)
{
    write(bytes);
}

void T2151Reader::handZmodemTo(const std::string& directory, int result, bool rebootRequired)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_zmodemDirectory = directory;
    m_reportResult = result;
    m_reportReboot = rebootRequired;
}

bool T2151Reader::zmodemRan() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_zmodemRan;
}

size_t T2151Reader::bytesReceived() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

void T2151Reader::write(const Bytes& bytes)
{
    if (!bytes.empty())
        m_pty.write(bytes.data(), bytes.size());
}

void T2151Reader::run()
{
    Bytes input;
    for (;;) {
        if (m_pty.wait(-1) == PseudoTerminal::Wait::Stopped)
            return;
        input.clear();
        if (m_pty.readAvailable(input) == 0) {
            if (!m_pty.pause(10))
                return;
            continue;
        }
        // Nothing may leave the emulator's thread: a broken model only costs its answer.
        try {
            consume(input);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "[T2151Reader] model failed: %s\n", e.what());
        }
    }
}

void T2151Reader::consume(const Bytes& input)
{
    bool zmodem = false;
    int speed = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bytes += input.size();
        speed = m_baud;
        zmodem = !m_zmodemDirectory.empty();
    }
    // At any other speed the reader's UART sees only garbage: such requests are kept for the
    // record but never answered.
    const double now = nowMs();
    if (!m_partial.empty() && now - m_lastByteMs > ResyncGapMs)
        m_partial.clear();
    m_lastByteMs = now;
    const int lineSpeed = m_pty.baud();
    const bool heard = lineSpeed == speed;
    for (size_t i = 0; i < input.size(); ++i) {
        const uint8_t byte = input[i];
        if (m_partial.empty()) {
            if (byte == Start) {
                m_partial.push_back(byte);
                continue;
            }
            const bool rz = !m_hunted.empty() && m_hunted.back() == 'r' && byte == 'z';
            m_hunted.assign(1, byte);
            if (rz && zmodem && heard) {
                Bytes start = {'r', 'z'};
                start.insert(start.end(), input.begin() + static_cast<long>(i + 1), input.end());
                m_hunted.clear();
                runZmodem(start);
                return;
            }
            continue;
        }
        m_partial.push_back(byte);
        if (m_partial.size() < 3)
            continue;
        const size_t length = static_cast<size_t>(m_partial[1] << 8 | m_partial[2]);
        if (m_partial.size() < length + 5)
            continue;
        const uint16_t sent = static_cast<uint16_t>(m_partial[length + 3] << 8 | m_partial[length + 4]);
        const bool good = sent == crc(m_partial.data(), length + 3);
        const Bytes payload(m_partial.begin() + 3, m_partial.begin() + 3 + static_cast<long>(length));
        m_partial.clear();
        // A request that fails its CRC gets no answer, as from the hardware.
        if (good && heard)
            frameReceived(payload);
        else if (good)
            m_device.misheard(payload, lineSpeed);
    }
}

void T2151Reader::frameReceived(const Bytes& payload)
{
    int switchTo = 0;
    const T2151Device::Tlvs answerTlvs = m_device.handle(payload, m_pty.baud(), switchTo);
    bool ok = false;
    const T2151Device::Tlvs request = T2151Device::parse(payload, ok);
    answer(static_cast<int>(T2151Device::intOf(request, 1, 0xFFFFFFFF)), answerTlvs);
    // The new speed holds from after the answer, which still goes out at the old one.
    if (switchTo > 0)
        setBaud(switchTo);
}

bool T2151Reader::nextFault(int command, Fault& fault)
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

void T2151Reader::answer(int command, T2151Device::Tlvs tlvs)
{
    Fault fault{Fault::Replace, 0, AnyCommand, {}};
    const bool faulty = nextFault(command, fault);
    Bytes payload;
    if (faulty && fault.kind == Fault::Result) {
        if (!tlvs.empty() && tlvs[0].tag == 2)
            tlvs.erase(tlvs.begin());
        tlvs.insert(tlvs.begin(), {2, T2151Device::integer(static_cast<uint32_t>(fault.value), 1)});
    } else if (faulty && fault.kind == Fault::NoResult) {
        if (!tlvs.empty() && tlvs[0].tag == 2)
            tlvs.erase(tlvs.begin());
    }
    if (faulty && fault.kind == Fault::BrokenTlv)
        payload = {0x02, 0x00, 0x01, 0x00, 0x15, 0x00};
    else if (faulty && fault.kind == Fault::Replace)
        payload = fault.data;
    else
        payload = T2151Device::encode(tlvs);

    Bytes wire = frame(payload);
    const Bytes previous = m_previousAnswer;
    m_previousAnswer = wire;
    if (!faulty) {
        write(wire);
        return;
    }
    switch (fault.kind) {
        case Fault::Silent:
            return;
        case Fault::Late:
            if (m_pty.pause(fault.value))
                write(wire);
            return;
        case Fault::Noise:
            write(fault.data.empty() ? Bytes(static_cast<size_t>(fault.value), Stray) : fault.data);
            write(wire);
            return;
        case Fault::Flood:
            write(Bytes(static_cast<size_t>(fault.value), Stray));
            return;
        case Fault::Rz:
            write({'r', 'z'});
            return;
        case Fault::BadCrc:
            wire.back() ^= 0xFF;
            write(wire);
            return;
        case Fault::Truncate:
            wire.resize(wire.size() - std::min(wire.size(), static_cast<size_t>(fault.value)));
            write(wire);
            return;
        case Fault::Split: {
            const size_t third = wire.size() / 3;
            write(Bytes(wire.begin(), wire.begin() + static_cast<long>(third)));
            m_pty.pause(fault.value);
            write(
                Bytes(wire.begin() + static_cast<long>(third), wire.begin() + static_cast<long>(2 * third)));
            m_pty.pause(fault.value);
            write(Bytes(wire.begin() + static_cast<long>(2 * third), wire.end()));
            return;
        }
        case Fault::PreviousFirst:
            write(previous);
            write(wire);
            return;
        default:
            write(wire);
            return;
    }
}

void T2151Reader::runZmodem(const Bytes& start)
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
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return;
    struct termios mode
    {
    };
    ::tcgetattr(slave, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(slave, TCSANOW, &mode);
    {
        testsupport::PeerProcess::Options options;
        options.workingDirectory = directory;
        options.stdinFd = slave;
        options.stdoutFd = slave;
        testsupport::PeerProcess rz({"rz", "-q"}, options);
        ::close(slave);
        (void)!::write(master, start.data(), start.size());

        // Relay both ways until rz lets go of its line.
        uint8_t buffer[4096];
        int waited = 0;
        for (;;) {
            struct pollfd fds[2] = {{m_pty.masterFd(), POLLIN, 0}, {master, POLLIN, 0}};
            const int rc = ::poll(fds, 2, 200);
            if (rc < 0 && errno == EINTR)
                continue;
            if (m_pty.wait(0) == PseudoTerminal::Wait::Stopped)
                break;  // the emulator is going away; the destructor kills rz
            if (rc == 0) {
                waited += 200;
                if (waited > ZmodemLimitMs)
                    break;  // the destructor kills rz
                continue;
            }
            waited = 0;
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(m_pty.masterFd(), buffer, sizeof buffer);
                if (n > 0) {
                    for (ssize_t done = 0; done < n;) {
                        const ssize_t put = ::write(master, buffer + done, static_cast<size_t>(n - done));
                        if (put <= 0 && errno != EINTR && errno != EAGAIN)
                            break;
                        done += put > 0 ? put : 0;
                    }
                }
            }
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::read(master, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                m_pty.write(buffer, static_cast<size_t>(n));
            }
        }
    }
    ::close(master);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_zmodemRan = true;
    }
    sendFrame(T2151Device::encode({{2, T2151Device::integer(static_cast<uint32_t>(result), 1)},
                                   {17, T2151Device::integer(reboot ? 1 : 0, 1)}}));
}

}  // namespace emulators
