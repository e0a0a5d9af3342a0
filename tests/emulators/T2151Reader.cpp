#include "emulators/T2151Reader.h"

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>

#include "emulators/Promptly.h"
#include "support/PeerProcess.h"

namespace emulators {

namespace {

// The longest a ZMODEM session may hold the line before the emulator takes it back.
const int ZmodemLimitMs = 120000;
// A request left half-received this long is abandoned, as the reader's own input time-out does.
const double ResyncGapMs = 200;
// The most packets one drain takes: what the driver wrote before it cleared its output is a few
// requests at most.
const int DrainPackets = 64;

}  // namespace

T2151Reader::T2151Reader(int baud) : m_baud(baud)
{
    setPacketMode(true);
    m_thread = std::thread([this] { run(); });
}

T2151Reader::~T2151Reader()
{
    m_device.close();
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

size_t T2151Reader::bytesReceived() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

void T2151Reader::send(const Bytes& bytes)
{
    if (!bytes.empty())
        m_pty.write(bytes.data(), bytes.size());
}

void T2151Reader::run()
{
    answerPromptly();
    for (;;) {
        // A frame cut off by a quiet line is dropped, as the reader's UART does; the quiet is what
        // this thread waited through, so a thread held up by a busy host drops nothing.
        const PseudoTerminal::Wait waited = m_pty.wait(collecting() ? static_cast<int>(ResyncGapMs) : -1);
        if (waited == PseudoTerminal::Wait::Stopped)
            return;
        if (waited == PseudoTerminal::Wait::TimedOut) {
            abandonFrame();
            continue;
        }
        if (!readPacket() && !m_pty.pause(10))
            return;
    }
}

void T2151Reader::setPacketMode(bool on)
{
    int flag = on ? 1 : 0;
    (void)::ioctl(m_pty.masterFd(), TIOCPKT, &flag);
}

bool T2151Reader::readPacket()
{
    uint8_t buffer[4097];
    const ssize_t n = ::read(m_pty.masterFd(), buffer, sizeof buffer);
    if (n <= 0)
        return false;
    if (buffer[0] != TIOCPKT_DATA) {
        if (buffer[0] & TIOCPKT_FLUSHWRITE)
            transmitStarts();
        return true;
    }
    // The bytes of the oldest transmit not yet heard come first; without one, the line as it is.
    m_current = nextTransmit();
    // Nothing may leave the emulator's thread: a broken model only costs its answer.
    try {
        consume(Bytes(buffer + 1, buffer + n));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "[T2151Reader] model failed: %s\n", e.what());
    }
    return true;
}

// The driver cleared its output: a request follows at the line's speed now. What it wrote before
// belongs to the transmits before; a poll hands over whatever the kernel still holds of it, and
// the bytes in it take the transmits they came with, in order, this one last.
void T2151Reader::transmitStarts()
{
    m_transmits.push_back({m_pty.baud(), nowMs()});
    for (int i = 0; i < DrainPackets; ++i) {
        struct pollfd fd = {m_pty.masterFd(), POLLIN, 0};
        if (::poll(&fd, 1, 0) <= 0 || !readPacket())
            break;
    }
    // Every byte written before this one is in now: a transmit before it that sent none is over.
    while (m_transmits.size() > 1) m_transmits.pop_front();
}

T2151Reader::Transmit T2151Reader::nextTransmit()
{
    if (m_transmits.empty())
        return {m_pty.baud(), nowMs()};
    const Transmit t = m_transmits.front();
    m_transmits.pop_front();
    return t;
}

void T2151Reader::consume(const Bytes& input)
{
    const bool zmodem = !zmodemDirectory().empty();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bytes += input.size();
    }
    Bytes payload;
    bool good = false;
    bool framed = false;  // a frame ended in these bytes: another one is the next transmit's
    for (size_t i = 0; i < input.size(); ++i) {
        const uint8_t byte = input[i];
        if (!collecting() && byte != Start) {
            const bool rz = !m_hunted.empty() && m_hunted.back() == 'r' && byte == 'z';
            m_hunted.assign(1, byte);
            if (rz && zmodem && m_pty.baud() == baud()) {
                Bytes start = {'r', 'z'};
                start.insert(start.end(), input.begin() + static_cast<long>(i + 1), input.end());
                m_hunted.clear();
                runZmodem(start);
                return;
            }
            continue;
        }
        if (!collecting()) {
            if (framed && !m_transmits.empty())
                m_current = nextTransmit();
            m_frame = m_current;
        }
        if (!collect(byte, payload, good))
            continue;
        framed = true;
        // A request that fails its CRC gets no answer, as from the hardware; at any other speed
        // than the reader's its UART sees only garbage: such requests are kept for the record but
        // never answered.
        if (good && m_frame.baud == baud())
            frameReceived(payload);
        else if (good)
            m_device.misheard(payload, m_frame.baud, m_frame.atMs);
    }
}

void T2151Reader::frameReceived(const Bytes& payload)
{
    int switchTo = 0;
    const T2151Device::Tlvs answerTlvs = m_device.handle(payload, m_frame.baud, switchTo, m_frame.atMs);
    answer(commandOf(payload), answerTlvs);
    // The new speed holds from after the answer, which still goes out at the old one.
    if (switchTo > 0)
        setBaud(switchTo);
}

void T2151Reader::lineFault(const Fault& fault, const Bytes& wire)
{
    if (fault.kind != Fault::Late || m_pty.pause(fault.value))
        send(wire);
}

void T2151Reader::runZmodem(const Bytes& start)
{
    const std::string directory = zmodemDirectory();
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return;
    // rz gets the bytes as they are; the relay reads the line plainly meanwhile.
    setPacketMode(false);
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
    setPacketMode(true);
    m_transmits.clear();
    zmodemFinished();
}

}  // namespace emulators
