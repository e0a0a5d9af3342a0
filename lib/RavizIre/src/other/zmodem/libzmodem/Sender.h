// The sending side of one ZMODEM session: announces itself, waits for the receiver's ZRINIT,
// offers each file with ZFILE, streams its data in subpackets whose length adapts to the errors
// the receiver reports, resynchronises on ZRPOS and closes the session with ZFIN. Owns its link
// state and buffers; the descriptor stays the caller's. Runs on the calling thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "other/zmodem/libzmodem/Encoder.h"
#include "other/zmodem/libzmodem/HeaderDecoder.h"
#include "other/zmodem/libzmodem/Link.h"
#include "other/zmodem/libzmodem/zmodem.h"

namespace zmodem {

class Sender
{
public:
    // timeoutSec < 0: reads during the transfer wait without limit.
    Sender(int fd, int timeoutSec, zmodem_tick_fn tick, zmodem_complete_fn complete, void* user);

    bool run(int count, const char* const* files);

private:
    enum class FileResult
    {
        Sent,
        Skipped,
        Error,
        Failed
    };

    struct OpenFile
    {
        int fd = -1;
        std::string name;  // as the caller gave it
        uint32_t size = 0;
        long date = 0;
    };

    void sendHex(int type, const Header& header);
    void sendBinary(int type, const Header& header);
    void sendCancel();
    bool flush();

    int readHeader(int tenths);
    int waitForReceiver();
    int waitForReceiverInit();
    void takeReceiverInit();

    FileResult sendFile(const char* path);
    FileResult offerFile(OpenFile& file, const std::string& info);
    FileResult sendData(OpenFile& file, uint32_t offset);
    int resync(OpenFile& file, uint32_t& position, int64_t repeatOf);
    bool reposition(OpenFile& file, uint32_t offset, uint32_t& position);
    bool tick(const OpenFile& file, uint32_t position);
    void reduceBlockLength();
    void growBlockLength(uint32_t sentInFile);
    void finishSession();

    Link m_link;
    Encoder m_encoder;
    HeaderDecoder m_decoder;
    zmodem_tick_fn m_tick;
    zmodem_complete_fn m_complete;
    void* m_user;

    int m_timeout;  // tenths, < 0 none
    bool m_writeFailed = false;
    std::vector<uint8_t> m_out;
    std::vector<uint8_t> m_block;
    Header m_rxHeader{};

    bool m_gotReceiver = false;
    int m_zrqinitsSent = 0;
    long m_lineSpeed = 2400;
    bool m_fullDuplex = true;
    unsigned m_rxBufLen = 0;
    size_t m_blockMax = 1024;
    size_t m_blockLen = 1024;
    unsigned m_goodSinceError = 0;
    unsigned m_fileErrors = 0;

    int m_filesLeft = 0;
    long m_bytesLeft = 0;

    // Progress pacing within one file.
    double m_fileStart = 0;
    long m_lastRate = 0;
    uint32_t m_lastTickPosition = 0;
    int m_tickSkips = 0;
};

}  // namespace zmodem
