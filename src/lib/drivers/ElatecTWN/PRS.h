// The serial line to an Elatec TWN reader: detects which of the reader's four host-protocol
// variants it speaks and carries one command frame out and one answer frame back per call. It
// owns its SerialPort; one object per Elatec command object, used only by the thread that owns
// the reader driver.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drivers/ElatecTWN/Framer.h"

class SerialPort;

class PRS
{
public:
    enum Mode
    {
        AUTO = 0,
        ASCII = 1,
        BINARY = 2,
        ASCII_CRC = 0x11,
        BINARY_CRC = 0x12,
        UNDETECTED = 0xFF,
    };

    // Results of xfer besides the reader's status byte.
    static constexpr int TransferFailed = -1;
    static constexpr int CrcFailed = -2;

    PRS(const std::string& device, Mode mode);
    ~PRS();
    PRS(const PRS&) = delete;
    PRS& operator=(const PRS&) = delete;

    // One command and its answer: -1 transfer failed, -2 bad CRC, else the reader's status byte,
    // with the answer data (after the status byte, without CRC) in *answer when given.
    int xfer(uint16_t command, const std::vector<uint8_t>* params, std::vector<uint8_t>* answer);
    // The two transports: 0 with the received frame in answer, -1 on failure.
    int xferBinary(const std::vector<uint8_t>& frame, std::vector<uint8_t>& answer);
    int xferAscii(const std::vector<uint8_t>& frame, std::vector<uint8_t>& answer);
    Mode detectMode();

    Mode mode() const { return m_mode; }

private:
    int transfer(ElatecTWN::Framer& framer, const std::vector<uint8_t>& frame, std::vector<uint8_t>& answer);
    bool send(ElatecTWN::Framer::Transport transport, const std::vector<uint8_t>& frame);
    bool receive(ElatecTWN::Framer& framer);
    void discardStaleInput();
    // After a command that followed a time-out: reads on until the line is quiet and leaves the
    // last frame heard in answer. False when the line never fell quiet or a frame came cut off.
    bool takeLastAnswer(ElatecTWN::Framer& framer, std::vector<uint8_t>& answer);
    void logAnswer(const ElatecTWN::Framer& framer) const;
    // Reads until the line stays quiet for one read time-out; the index of the probe (probes: a
    // bit per probe that went out) whose answer came, or -1.
    int listen(unsigned probes);
    // Sends the first command after a detection that heard nothing, in plain ASCII, and listens
    // for a late answer to one of the probes; the probe it identifies, or -1.
    int lateProbeAnswer(const std::vector<uint8_t>& frame);
    // The probe that went out (a bit each in sent) in the framer's transport with or without
    // CRC, or -1.
    static int probeFor(const ElatecTWN::Framer& framer, unsigned sent, bool withCrc);

    std::unique_ptr<SerialPort> m_port;
    Mode m_mode = AUTO;
    int m_readTimeoutMs = 1000;
    bool m_detecting = false;
    // Set when an answer did not come (in full) in time: it may still arrive, so the next command
    // waits for the line to fall quiet before it goes out, and takes the last frame heard before
    // the line falls quiet again as its answer.
    bool m_resync = false;
    // The probes that went out unanswered, until the first command after detection.
    unsigned m_unansweredProbes = 0;
    ElatecTWN::Framer m_binary{ElatecTWN::Framer::Transport::Binary};
    ElatecTWN::Framer m_ascii{ElatecTWN::Framer::Transport::Ascii};
    std::vector<uint8_t> m_frame;
    std::vector<uint8_t> m_wire;
    std::vector<uint8_t> m_received;
};
