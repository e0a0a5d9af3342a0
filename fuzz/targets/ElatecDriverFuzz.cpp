// The Elatec TWN driver's command set over a pseudo-terminal, with every command's answer, status
// byte and data, taken from the input: opening, tag search and card identity, both ISO 14443
// exchanges, SAM power-up, slot settings, raw, APDU and TPDU exchanges, LEDs and buzzer. The
// reader side answers the protocol probe and the line's proofs (a version query for a limit, then
// one for the whole text) as a reader does, so that every run gets past the open, and frames each
// answer itself (binary, no CRC), so that no answer waits for a time-out; framing faults are the
// PRS target's. Input: for each command in turn a length byte and that many answer bytes (status,
// then data); when the input ends the reader side hangs up.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "drivers/ElatecTWN/Driver.h"
#include "support/Check.h"
#include "support/FuzzInput.h"

namespace {

// The reader's end of the line: answers each command frame with the input's next answer, and
// hangs up when the input ends or when told to stop.
const std::string VersionText = "TWN4/B1.65/X4.06/PRS1.04";
class ReaderSide
{
public:
    ReaderSide(int master, fuzzing::FuzzInput& input) : m_master(master), m_in(input)
    {
        if (pipe(m_stop) != 0)
            m_stop[0] = m_stop[1] = -1;
        else
            m_thread = std::thread([this] { run(); });
    }

    ~ReaderSide()
    {
        stop();
        if (m_thread.joinable())
            m_thread.join();
        for (int fd : {m_master, m_stop[0], m_stop[1]})
            if (fd >= 0)
                close(fd);
    }

    ReaderSide(const ReaderSide&) = delete;
    ReaderSide& operator=(const ReaderSide&) = delete;

    bool ok() const { return m_thread.joinable(); }

    void stop()
    {
        const char byte = 1;
        if (m_stop[1] >= 0)
            (void)!write(m_stop[1], &byte, 1);
    }

private:
    void run()
    {
        std::vector<uint8_t> pending;
        bool first = true;
        bool proving = false;  // the last frame was a proof's first query
        bool more = true;
        while (more) {
            pollfd fds[2] = {{m_master, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
            if (poll(fds, 2, 5000) <= 0 || fds[1].revents)
                break;
            uint8_t buffer[512];
            const ssize_t n = read(m_master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            pending.insert(pending.end(), buffer, buffer + n);
            while (more && pending.size() >= 2) {
                const size_t length = pending[0] | pending[1] << 8;
                if (pending.size() < 2 + length)
                    break;
                const std::vector<uint8_t> frame(pending.begin() + 2,
                                                 pending.begin() + static_cast<std::ptrdiff_t>(2 + length));
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(2 + length));
                // The protocol probe gets a plain success, so that every run starts in binary mode;
                // a proof, the text's first bytes and then the whole text.
                const bool version = frame.size() == 3 && frame[0] == 0x00 && frame[1] == 0x04;
                const bool proof = version && (frame[2] != 0xFF || proving);
                proving = version && frame[2] != 0xFF;
                std::vector<uint8_t> answer = {0x00, 0x00};
                if (proof) {
                    const size_t count = std::min<size_t>(frame[2], VersionText.size());
                    answer = {0x00, static_cast<uint8_t>(count)};
                    answer.insert(answer.end(), VersionText.begin(),
                                  VersionText.begin() + static_cast<long>(count));
                } else if (!first) {
                    uint8_t count = 0;
                    more = m_in.u8(count);
                    answer = m_in.bytes(count);
                }
                first = false;
                if (!more)
                    break;
                std::vector<uint8_t> line = {static_cast<uint8_t>(answer.size()),
                                             static_cast<uint8_t>(answer.size() >> 8)};
                line.insert(line.end(), answer.begin(), answer.end());
                more = write(m_master, line.data(), line.size()) == static_cast<ssize_t>(line.size());
            }
        }
        // Hanging up ends any read of the driver at once.
        close(m_master);
        m_master = -1;
    }

    int m_master;
    fuzzing::FuzzInput& m_in;
    int m_stop[2] = {-1, -1};
    std::thread m_thread;
};

void exercise(ElatecTWN::Driver& driver)
{
    (void)driver.info();
    driver.setLEDs(0x04);
    driver.beep(50, 2000, 100, 0);
    driver.setTagTypes(0, 0xFFFFFFFF);
    int type = 0;
    std::vector<uint8_t> uid, ats;
    // One attempt: the driver repeats a failed search until the time-out.
    driver.searchTag(type, uid, ats, 0);
    std::vector<uint8_t> rx;
    driver.ISO14443_getATS(rx);
    uint16_t atqa = 0;
    driver.ISO14443_getATQA(atqa);
    uint8_t sak = 0;
    driver.ISO14443_getSAK(sak);
    driver.ISO14443_getATQB(rx);
    driver.ISO14443_checkPresence();
    driver.ISO14443_TDX3({0x30, 0x04, 0x26, 0xEE}, rx);
    driver.ISO14443_TDX4({0x90, 0x60, 0x00, 0x00, 0x00}, rx);

    for (int slot = 0; slot < driver.ISO7816_slots(); ++slot) {
        std::vector<uint8_t> atr;
        driver.ISO7816_powerOn(slot, &atr);
        (void)driver.ISO7816_slotState(slot);
        NFC::Driver::CommSettings settings;
        settings.protocol = slot;
        driver.ISO7816_setCommSettings(slot, settings);
        std::vector<uint8_t> pps = {0xFF, 0x10, 0x96, 0x79};
        driver.ISO7816_transceive(slot, pps, rx);
        NFC::Driver::APDUHeader apdu;
        apdu.CLA = 0x80;
        apdu.INS = 0x60;
        apdu.hasLe = true;
        int sw = 0;
        driver.ISO7816_exchangeAPDU(slot, apdu, nullptr, &rx, sw);
        const std::vector<uint8_t> data(20, 0x5A);
        apdu.Lc = static_cast<uint16_t>(data.size());
        driver.ISO7816_exchangeAPDU(slot, apdu, &data, &rx, sw);
        NFC::Driver::TPDUHeader tpdu;
        tpdu.CLA = 0x00;
        tpdu.INS = 0xC0;
        tpdu.P3 = 0x10;
        driver.ISO7816_exchangeTPDU(slot, tpdu, nullptr, &rx, sw);
        driver.ISO7816_powerOff(slot);
    }
    driver.disableRF();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    int master = -1;
    int slave = -1;
    char path[256];
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0)
        return 0;
    fuzzing::FuzzInput input(data, size);
    {
        ReaderSide reader(master, input);
        if (reader.ok()) {
            auto driver = std::make_shared<ElatecTWN::Driver>();
            if (driver->open(path, 115200, nullptr))
                exercise(*driver);
            driver->close();
        }
    }
    close(slave);
    return 0;
}
