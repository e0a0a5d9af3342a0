// An emulated Elatec TWN reader at the far end of a pseudo-terminal: it speaks one of the
// reader's four host-protocol variants (or stays silent), carries a contactless field with at
// most one card model and two SAM slots with SAM models, and can be told to misbehave on its
// next answers. Every command it receives is recorded for assertions. It runs on threads of its
// own (one takes the bytes off the line, one answers them); every public call is thread-safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulators/FieldCard.h"
#include "emulators/PseudoTerminal.h"
#include "emulators/SlotCard.h"

namespace emulators {

class ElatecReader
{
public:
    // The numbers are the reader's own mode numbers (bit 0x10: with CRC).
    enum class Mode
    {
        Silent = 0,
        Ascii = 1,
        Binary = 2,
        AsciiCrc = 0x11,
        BinaryCrc = 0x12
    };

    struct Fault
    {
        enum Kind
        {
            Delay,        // answer value ms late (with status 0 and data, when given, instead)
            Truncate,     // leave the last value bytes of the answer off the line
            BadCrc,       // corrupt the answer's CRC
            ShortAnswer,  // send an answer frame of only value (1 or 2) bytes
            Status,       // reader status byte value instead of 0 (data still sent)
            Drop,         // send no answer
            Split,        // send the answer in three writes, value ms apart
            Replace,      // answer with status 0 and data instead of what the reader would say
            Held,         // keep the answer (its last value bytes when value > 0) until release()
            Overtaken,    // keep the answer (its last value bytes when value > 0) until the host's
                          // next command is on the line
            Flood,        // instead of the answer, send data (line bytes as they are) over and
                          // over until release()
            Trickle,      // send the answer (status 0 and data, when given) a byte every value ms
            Chatter,      // send the answer, then data as Flood does
        };
        Kind kind;
        int value = 0;
        // The command whose next answer misbehaves; AnyCommand for the next answer of all.
        uint16_t command = AnyCommand;
        Bytes data = {};
    };
    static constexpr uint16_t AnyCommand = 0xFFFF;

    struct Received
    {
        uint16_t command;
        Bytes params;
        Bytes wire;  // as it came over the line, framing included
    };

    // The mode's name as the tests print it ("BinaryCrc", "Ascii", ..).
    static std::string modeName(Mode mode);

    explicit ElatecReader(Mode mode = Mode::BinaryCrc);
    ~ElatecReader();
    ElatecReader(const ElatecReader&) = delete;
    ElatecReader& operator=(const ElatecReader&) = delete;

    const std::string& devicePath() const { return m_pty.path(); }

    void setMode(Mode mode);
    void setVersion(const std::string& version);
    void setDeviceUID(const Bytes& uid);
    void setUSBType(uint8_t type);
    // On: the device-UID query takes any parameter bytes and answers them after the UID, so a
    // test can tell every answer's command apart.
    void setEcho(bool on);
    void setCard(std::shared_ptr<FieldCard> card);  // null: empty field
    void setSam(int slot, std::shared_ptr<SlotCard> sam);
    void inject(const Fault& fault);

    std::vector<Received> received() const;
    void clearReceived();
    // Waits until at least count commands are recorded; false on time-out.
    bool waitForCommands(size_t count, int timeoutMs) const;
    // Every byte that reached the reader, framed or not.
    size_t bytesReceived() const;
    // Waits until at least count bytes have reached the reader; false on time-out.
    bool waitForBytes(size_t count, int timeoutMs) const;
    // Lets the next held answer go (at once if it comes later); waitForReleased waits until
    // count held answers have gone out, false on time-out.
    void release();
    bool waitForReleased(size_t count, int timeoutMs) const;
    // Waits until count held answers are being held (what goes before their held part sent).
    bool waitForHeld(size_t count, int timeoutMs) const;
    // Waits until every injected fault is used, nothing the host sent is left unread or held as
    // part of a command, and no answer is on its way; false on time-out.
    bool waitForIdle(int timeoutMs) const;
    // How many bytes the reader sent in all (but a flood's).
    size_t bytesSent() const { return m_pty.written(); }
    uint8_t leds() const;
    bool rfOn() const;
    // Stops recording (a benchmark would otherwise fill the record).
    void setRecording(bool on);
    // From now on answers go out no faster than bytesPerMs bytes a millisecond, as on a serial
    // line (11 for 115200 baud), each whole; 0, the default: each at once.
    void setLineSpeed(size_t bytesPerMs);

    // The CRC of the host protocol (reflected CCITT, start 0xFFFF), computed bit by bit.
    static uint16_t crc(const Bytes& data);

private:
    struct Answer
    {
        uint8_t status = 0;
        Bytes data;
        bool silent = false;
    };

    // Bytes as they came off the line, with the time they were there.
    struct Input
    {
        Bytes bytes;
        double atMs;
    };

    void takeIn();
    void run();
    void setBusy(bool busy);
    void consume(const Bytes& input);
    void consumeBinary(uint8_t byte, bool withCrc);
    void consumeAscii(uint8_t byte, bool withCrc);
    void frameReceived(const Bytes& frame, const Bytes& wire, bool withCrc);
    Answer handle(uint16_t command, const Bytes& params);
    void respond(uint16_t command, Answer answer);
    // Writes an answer's bytes at the line speed.
    bool send(const uint8_t* data, size_t size);

    Answer handleSam(uint16_t command, const Bytes& params);
    Answer handleField(uint16_t command, const Bytes& params);

    PseudoTerminal m_pty;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_recorded;

    // Configuration and reader state, under m_mutex.
    Mode m_mode;
    std::string m_version = "TWN4/B1.65/X4.06/PRS1.04";
    Bytes m_deviceUID = {0x7E, 0x11, 0x02, 0x03, 0x44, 0x55, 0x66, 0x77};
    uint8_t m_usbType = 1;
    bool m_echo = false;
    std::shared_ptr<FieldCard> m_card;
    std::shared_ptr<SlotCard> m_sams[2];
    bool m_powered[2] = {false, false};
    uint8_t m_leds = 0;
    bool m_rf = false;
    uint32_t m_lfTypes = 0;
    uint32_t m_hfTypes = 0;
    std::deque<Fault> m_faults;
    std::deque<Received> m_received;
    bool m_recording = true;
    std::atomic<size_t> m_lineSpeed{0};
    size_t m_bytes = 0;
    size_t m_releases = 0;         // granted by release(), not yet used
    size_t m_releasedAnswers = 0;  // held answers that have gone out
    size_t m_heldAnswers = 0;      // held answers that began to be held
    bool m_busy = false;           // taking input or answering it, or holding part of a command
    std::deque<Input> m_input;     // taken off the line, not yet handled
    // Taking bytes off the line, not yet in m_input; cleared under m_mutex.
    std::atomic<bool> m_inHand{false};
    bool m_stopped = false;
    std::condition_variable m_inputCame;

    // Parser state, emulator thread only.
    Bytes m_partial;
    Bytes m_partialWire;
    size_t m_expected = 0;
    double m_lastInputMs = 0;  // when the last bytes handled were on the line

    std::thread m_line;  // takes bytes off the line as they come, whatever the reader is doing
    std::thread m_thread;
};

}  // namespace emulators
