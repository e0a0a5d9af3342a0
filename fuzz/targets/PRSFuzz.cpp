// One Elatec command through PRS over a pseudo-terminal, in each of the reader's four protocol
// variants, with the input's bytes as everything the reader sends back once it has answered the
// proof a new line opens with: the framer, the CRC check and the cut of the status byte and data
// all run as in service. The first input byte picks the
// variant (bit 0 ASCII, bit 1 with CRC).
//
// So that an answer that stops early costs no read time-out, the reader side hangs up as soon as
// the serial port has taken every byte: a read then ends at once, as a time-out would.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NFC/Crc16.h"
#include "drivers/ElatecTWN/Framer.h"
#include "drivers/ElatecTWN/PRS.h"
#include "support/Check.h"

namespace {

// What a pseudo-terminal takes without a reader; more never comes from one answer anyway.
const size_t MaxAnswer = 2048;

// The reader's end of the line: takes the command, sends the answer, and hangs up once the port
// has read all of it. Owns the master side; the slave stays the caller's.
class ReaderSide
{
public:
    ReaderSide(int master, int slave, PRS::Mode mode, std::vector<uint8_t> answer)
        : m_master(master), m_slave(slave), m_mode(mode), m_answer(std::move(answer)), m_thread([this] {
              run();
          })
    {
    }

    ~ReaderSide()
    {
        if (m_thread.joinable())
            finished();
        if (m_master >= 0)
            close(m_master);
    }

    ReaderSide(const ReaderSide&) = delete;
    ReaderSide& operator=(const ReaderSide&) = delete;

    // Called once the command has its result; the thread may still be waiting for the port.
    void finished()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

private:
    // Waits for what the line sends; false when nothing came.
    bool take(std::vector<uint8_t>& taken)
    {
        pollfd line{m_master, POLLIN, 0};
        if (poll(&line, 1, 2000) != 1)
            return false;
        uint8_t buffer[512];
        for (ssize_t n; (n = read(m_master, buffer, sizeof buffer)) > 0;)
            taken.insert(taken.end(), buffer, buffer + n);
        return true;
    }

    void send(const std::vector<uint8_t>& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = write(m_master, bytes.data() + sent, bytes.size() - sent);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
    }

    // A new line first proves itself in step: a version query for k characters (in the first
    // frame's fifth byte, or its fifth and sixth hex digits) and one for the whole text, in one
    // write. Both are answered as the reader would, in its variant.
    void answerProof()
    {
        const bool ascii = (m_mode & 0x0F) == PRS::ASCII, crc = (m_mode & 0x10) != 0;
        std::vector<uint8_t> proof;
        while (proof.size() < 6 && take(proof)) {
        }
        if (proof.size() < 6)
            return;
        const size_t k =
            ascii ? std::stoul(std::string(proof.begin() + 4, proof.begin() + 6), nullptr, 16) : proof[4];
        const std::string text = "TWN4/B1.65/X4.06/PRS1.04";
        std::vector<uint8_t> wire;
        for (const size_t count : {std::min(k, text.size()), text.size()}) {
            std::vector<uint8_t> frame = {0x00, static_cast<uint8_t>(count)};
            frame.insert(frame.end(), text.begin(), text.begin() + static_cast<long>(count));
            const uint16_t c = NFC::crc16(frame.data(), frame.size(), 0xFFFF);
            if (crc)
                frame.insert(frame.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
            using Transport = ElatecTWN::Framer::Transport;
            if (!ElatecTWN::Framer::encode(ascii ? Transport::Ascii : Transport::Binary, frame, wire))
                return;
        }
        send(wire);
    }

    void run()
    {
        answerProof();
        // The command next: input that came before it would be flushed by the port.
        std::vector<uint8_t> command;
        take(command);
        send(m_answer);
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_done) {
            // poll() pushes bytes still on their way into the line discipline, so the count that
            // follows is what the port has not read yet.
            pollfd pending{m_slave, POLLIN, 0};
            poll(&pending, 1, 0);
            int unread = 0;
            if (ioctl(m_slave, FIONREAD, &unread) == 0 && unread == 0) {
                close(m_master);
                m_master = -1;
                return;
            }
            m_changed.wait_for(lock, std::chrono::milliseconds(1));
        }
    }

    int m_master;
    int m_slave;
    const PRS::Mode m_mode;
    std::vector<uint8_t> m_answer;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
    // Last, so that it starts when everything it uses is in place.
    std::thread m_thread;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    if (size < 1)
        return 0;
    static const PRS::Mode modes[] = {PRS::BINARY, PRS::ASCII, PRS::BINARY_CRC, PRS::ASCII_CRC};
    const PRS::Mode mode = modes[data[0] & 3];
    std::vector<uint8_t> answer(data + 1, data + size);
    if (answer.size() > MaxAnswer)
        answer.resize(MaxAnswer);

    int master = -1;
    int slave = -1;
    char path[256];
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0)
        return 0;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    {
        PRS prs(path, mode);
        FUZZ_CHECK(prs.mode() == mode);
        ReaderSide reader(master, slave, mode, answer);
        const std::vector<uint8_t> params = {0x01, 0x02};
        std::vector<uint8_t> out;
        const int rc = prs.xfer(0x0D01, &params, &out);
        reader.finished();
        FUZZ_CHECK(rc == PRS::TransferFailed || rc == PRS::CrcFailed || (rc >= 0 && rc <= 0xFF));
        if (mode == PRS::BINARY) {
            // A whole binary frame on the line is the answer: status byte, then the data.
            const size_t length = answer.size() >= 2 ? (answer[0] | answer[1] << 8) : 0;
            if (length >= 1 && length + 2 <= answer.size()) {
                FUZZ_CHECK(rc == answer[2]);
                FUZZ_CHECK(out == std::vector<uint8_t>(answer.begin() + 3, answer.begin() + 2 + length));
            } else {
                FUZZ_CHECK(rc == PRS::TransferFailed);
            }
        }
    }
    close(slave);
    return 0;
}
