#include "other/zmodem/libzmodem/Sender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/Clock.h"
#include "core/String.h"
#include "other/zmodem/libzmodem/Crc.h"
#include "other/zmodem/libzmodem/EngineLog.h"

namespace zmodem {

namespace {

constexpr int kStartTenths = 100;  // each wait for the receiver to start
constexpr int kStaleInitTenths = 50;
constexpr int kRepeatTenths = 10;
constexpr size_t kStreamBatch = 8 * 1024;
constexpr size_t kMinBlock = 32;
constexpr size_t kMaxBlockAfterError = 512;
constexpr size_t kMaxBlock = 1024;
constexpr int kMaxZfileOffers = 10;
// Headers that are no answer to one ZFILE (stale ZRINITs, CRC requests) before it goes again.
constexpr int kMaxHeadersPerOffer = 10;
constexpr int kMaxGarbledInSync = 10;
constexpr int kMaxRetriesAtOneOffset = 10;
constexpr int kMaxZeofRepeats = 10;
constexpr int kMaxZfinRepeats = 10;
constexpr Header kNoFlags{0, 0, 0, 0};

class FileCloser
{
public:
    explicit FileCloser(int& fd) : m_fd(fd) {}
    ~FileCloser()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

private:
    int& m_fd;
};

const char* baseName(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

size_t blockForSpeed(long bps)
{
    if (bps <= 300)
        return 128;
    if (bps <= 1200)
        return 256;
    if (bps <= 2400)
        return 512;
    return kMaxBlock;
}

size_t largestPowerOfTwoUpTo(size_t value)
{
    size_t power = 1;
    while (power * 2 <= value) power *= 2;
    return power;
}

bool isFailure(int type)
{
    return type == TIMEOUT || type == CARRIER_LOST || type == ZABORT || type == ZFIN || type == ZCAN;
}

}  // namespace

Sender::Sender(int fd, int timeoutSec, zmodem_tick_fn tick, zmodem_complete_fn complete, void* user)
    : m_link(fd, timeoutSec < 0 ? -1 : std::max(timeoutSec * 10, kStartTenths)),
      m_encoder(true),
      m_tick(tick),
      m_complete(complete),
      m_user(user),
      m_timeout(timeoutSec < 0 ? -1 : timeoutSec * 10)
{
    // Worst case: every byte escaped, plus a header and a checksum.
    m_out.reserve(kStreamBatch + 2 * kMaxBlock + 64);
    m_block.resize(kMaxBlock);
}

bool Sender::flush()
{
    if (!m_out.empty() && !m_writeFailed && !m_link.write(m_out.data(), m_out.size())) {
        m_writeFailed = true;
        ZM_LOG(LogError, "write to the receiver failed");
    }
    m_out.clear();
    return !m_writeFailed;
}

void Sender::sendHex(int type, const Header& header)
{
    m_encoder.hexHeader(m_out, type, header);
    ZM_LOG(LogTrace, "sending %s hex header", frameTypeName(type));
    flush();
}

void Sender::sendBinary(int type, const Header& header)
{
    m_encoder.binaryHeader(m_out, type, header);
    ZM_LOG(LogTrace, "sending %s binary header", frameTypeName(type));
}

void Sender::sendCancel()
{
    m_out.clear();
    Encoder::cancel(m_out);
    flush();
}

int Sender::readHeader(int tenths)
{
    if (m_writeFailed)
        return CARRIER_LOST;
    m_decoder.reset();
    for (;;) {
        const int c = m_link.readByte(tenths);
        if (c < 0) {
            ZM_LOG(LogTrace, "header read: %s", frameTypeName(c));
            return c;
        }
        switch (m_decoder.feed(static_cast<uint8_t>(c))) {
            case HeaderDecoder::Result::None:
                continue;
            case HeaderDecoder::Result::Header:
                m_rxHeader = m_decoder.header();
                ZM_LOG(LogTrace, "got %s", frameTypeName(m_decoder.type()));
                return m_decoder.type();
            case HeaderDecoder::Result::Cancel:
                ZM_LOG(LogError, "Got %s", frameTypeName(ZCAN));
                return ZCAN;
            case HeaderDecoder::Result::BadCrc:
                ZM_LOG(LogError, "Bad CRC");
                return ERROR;
            case HeaderDecoder::Result::BadHeader:
                ZM_LOG(LogTrace, "Bad escape sequence %x", c);
                return ERROR;
            case HeaderDecoder::Result::IntroTooLong:
                ZM_LOG(LogError, "Intro message length exceeded");
                return ERROR;
        }
    }
}

int Sender::waitForReceiver()
{
    int timeouts = 0;
    bool lastWasCan = false;
    size_t other = 0;
    const size_t otherLimit = 1400 + static_cast<size_t>(m_lineSpeed);
    for (;;) {
        const int c = m_link.readByte(kStartTenths);
        if (c == TIMEOUT || c == CARRIER_LOST || m_writeFailed) {
            if (++timeouts >= 3 || c == CARRIER_LOST || m_writeFailed) {
                ZM_LOG(LogError, "Timeout on pathname");
                return ERROR;
            }
            sendHex(ZRQINIT, kNoFlags);
            ++m_zrqinitsSent;
            continue;
        }
        if (c == ZPAD) {
            m_link.unread(static_cast<uint8_t>(c));
            return waitForReceiverInit();
        }
        if (c == CAN) {
            if (lastWasCan) {
                ZM_LOG(LogError, "sz_getnak failed");
                return ERROR;
            }
            lastWasCan = true;
            continue;
        }
        lastWasCan = false;
        if (c == 'C' || c == 'G' || c == NAK) {
            ZM_LOG(LogInfo, "receiver of an older protocol answered (%c)", c == NAK ? 'N' : c);
        } else if (++other > otherLimit) {
            ZM_LOG(LogError, "Intro message length exceeded");
            return ERROR;
        }
    }
}

int Sender::waitForReceiverInit()
{
    int tolerated = 0;
    for (int headers = 0; headers < 10; ++headers) {
        if (m_zrqinitsSent < 4) {
            sendHex(ZRQINIT, kNoFlags);
            ++m_zrqinitsSent;
        }
        const int type = readHeader(kStartTenths);
        switch (type) {
            case ZRINIT:
                takeReceiverInit();
                return 0;
            case ZCHALLENGE:
                sendHex(ZACK, m_rxHeader);
                continue;
            case TIMEOUT:
            case ZCAN:
                if (++tolerated > 1) {
                    ZM_LOG(LogError, "sz_getnak failed");
                    return ERROR;
                }
                continue;
            case CARRIER_LOST:
                ZM_LOG(LogError, "sz_getnak failed");
                return ERROR;
            default:  // a ZRQINIT from another sender, a garbled or unexpected header
                sendHex(ZNAK, kNoFlags);
                continue;
        }
    }
    ZM_LOG(LogError, "sz_getnak failed");
    return ERROR;
}

void Sender::takeReceiverInit()
{
    const uint8_t flags = m_rxHeader[ZF0];
    m_rxBufLen = static_cast<unsigned>(m_rxHeader[ZP0]) | static_cast<unsigned>(m_rxHeader[ZP1]) << 8;
    m_fullDuplex = (flags & CANFDX) != 0;
    m_encoder.setCrc32((flags & CANFC32) != 0);
    if ((flags & ESCCTL) != 0)
        m_encoder.setEscapeControl(true);
    ZM_LOG(LogDebug, "Rxbuflen=%d", static_cast<int>(m_rxBufLen));
    const size_t receiverLimit = m_rxBufLen != 0 ? m_rxBufLen : (m_link.isCharDevice() ? 1024 : 8192);
    m_blockMax = std::max(kMinBlock, std::min(kMaxBlock, receiverLimit));
    m_lineSpeed = m_link.setRawMode(true);
    m_blockLen = std::min(m_blockLen, m_blockMax);
    m_gotReceiver = true;
}

bool Sender::run(int count, const char* const* files)
{
    ZM_LOG(LogInfo, "initial protocol is ZMODEM");
    m_lineSpeed = m_link.setRawMode(false);
    m_blockLen = blockForSpeed(m_lineSpeed);
    m_decoder.setIntroLimit(1400 + static_cast<size_t>(m_lineSpeed));

    static const uint8_t kStart[] = {'r', 'z', CR, LF};
    m_out.assign(kStart, kStart + sizeof kStart);
    flush();
    m_link.discardInput();
    sendHex(ZRQINIT, kNoFlags);
    m_zrqinitsSent = 1;

    int handled = 0;
    int errors = 0;
    bool failed = false;
    for (int i = 0; i < count && !failed; ++i) {
        switch (sendFile(files[i])) {
            case FileResult::Sent:
            case FileResult::Skipped:
                ++handled;
                break;
            case FileResult::Error:
                ++errors;
                break;
            case FileResult::Failed:
                failed = true;
                break;
        }
    }
    if (failed) {
        sendCancel();
    } else if (handled == 0) {
        sendCancel();
        ZM_LOG(LogInfo, "Can't open any requested files.");
        failed = true;
    } else {
        finishSession();
    }
    // After a cancel what the peer still sends is stale; after a finished session it is the caller's.
    m_link.restoreMode(failed);
    const bool success = !failed && errors == 0;
    ZM_LOG(LogInfo, success ? "Transfer complete" : "Transfer incomplete");
    return success;
}

Sender::FileResult Sender::sendFile(const char* path)
{
    OpenFile file;
    file.name = path;
    file.fd = ::open(path, O_RDONLY | O_CLOEXEC);
    FileCloser closer(file.fd);
    if (file.fd < 0) {
        ZM_LOG(LogError, "cannot open %s: %s",
               String::escaped(path, String::MaxPathExcerptBytes).c_str(), std::strerror(errno));
        return FileResult::Error;
    }
    struct stat st
    {
    };
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ZM_LOG(LogError, "is not a file: %s",
               String::escaped(path, String::MaxPathExcerptBytes).c_str());
        return FileResult::Error;
    }
    if (st.st_size > static_cast<off_t>(UINT32_MAX)) {
        // Positions on the wire are 32 bits.
        ZM_LOG(LogError, "too large for ZMODEM: %s",
               String::escaped(path, String::MaxPathExcerptBytes).c_str());
        return FileResult::Error;
    }
    file.size = static_cast<uint32_t>(st.st_size);
    file.date = static_cast<long>(st.st_mtime);

    if (!m_gotReceiver && waitForReceiver() != 0)
        return FileResult::Failed;

    --m_filesLeft;
    m_bytesLeft -= static_cast<long>(file.size);
    if (m_bytesLeft < 0 || m_filesLeft <= 0)
        m_bytesLeft = 0;
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "%lu %lo %o 0 %d %ld", static_cast<unsigned long>(file.size),
                  static_cast<unsigned long>(file.date), static_cast<unsigned>(st.st_mode), m_filesLeft,
                  m_bytesLeft);
    std::string info = baseName(path);
    info.push_back('\0');
    info += numbers;
    info.push_back('\0');
    return offerFile(file, info);
}

Sender::FileResult Sender::offerFile(OpenFile& file, const std::string& info)
{
    for (int offer = 0; offer < kMaxZfileOffers; ++offer) {
        sendBinary(ZFILE, kNoFlags);
        m_encoder.dataSubpacket(m_out, reinterpret_cast<const uint8_t*>(info.data()), info.size(), ZCRCW);
        if (!flush())
            return FileResult::Failed;
        bool sawInit = false;
        bool again = false;
        for (int headers = 0; !again && headers < kMaxHeadersPerOffer; ++headers) {
            // A ZRINIT here is most often an answer to one of our ZRQINITs still on its way; the
            // answer to this ZFILE may follow it, so listen a while before offering again.
            const int type = readHeader(sawInit ? kStaleInitTenths : m_timeout);
            if (type == ZRINIT) {
                sawInit = true;
                continue;
            }
            switch (type) {
                case ZRPOS: {
                    const uint32_t offset = headerPosition(m_rxHeader);
                    if (offset > file.size) {
                        again = true;  // not a position in this file: offer it again
                        break;
                    }
                    return sendData(file, offset);
                }
                case ZSKIP:
                    ZM_LOG(LogError, "skipped: %s",
                           String::escaped(file.name, String::MaxPathExcerptBytes).c_str());
                    return FileResult::Skipped;
                case ZCAN:
                    ZM_LOG(LogError, "got ZCAN");
                    return FileResult::Failed;
                case ZCRC: {
                    // The receiver compares a file it already has: CRC-32 over the length it names.
                    uint32_t length = headerPosition(m_rxHeader);
                    if (length == 0 || length > file.size)
                        length = file.size;
                    uint32_t crc = 0xFFFFFFFFu;
                    if (::lseek(file.fd, 0, SEEK_SET) != 0)
                        return FileResult::Failed;
                    for (uint32_t done = 0; done < length;) {
                        const size_t want = std::min<size_t>(m_block.size(), length - done);
                        const ssize_t got = ::read(file.fd, m_block.data(), want);
                        if (got <= 0)
                            break;
                        crc = crc32Run(m_block.data(), static_cast<size_t>(got), crc);
                        done += static_cast<uint32_t>(got);
                    }
                    sendHex(ZCRC, positionHeader(~crc));
                    continue;
                }
                case CARRIER_LOST:
                case ZABORT:
                case ZFIN:
                    return FileResult::Failed;
                default:  // ZNAK, a time-out or a garbled header: offer it again
                    again = true;
                    break;
            }
        }
    }
    ZM_LOG(LogError, "no answer to ZFILE for %s",
           String::escaped(file.name, String::MaxPathExcerptBytes).c_str());
    return FileResult::Failed;
}

bool Sender::reposition(OpenFile& file, uint32_t offset, uint32_t& position)
{
    if (::lseek(file.fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) {
        ZM_LOG(LogError, "cannot seek in %s: %s",
               String::escaped(file.name, String::MaxPathExcerptBytes).c_str(), std::strerror(errno));
        return false;
    }
    position = offset;
    return true;
}

void Sender::reduceBlockLength()
{
    m_goodSinceError = 0;
    m_blockLen = std::max(kMinBlock, std::min(kMaxBlockAfterError, m_blockLen / 2));
    ZM_LOG(LogDebug, "sz_calculate_block_length: reduced to %d due to error", static_cast<int>(m_blockLen));
}

void Sender::growBlockLength(uint32_t sentInFile)
{
    // After eight clean subpackets, double towards what the error rate allows: blocks of about
    // half the bytes that pass between two errors, so that a resend costs little.
    if (++m_goodSinceError < 8 || m_blockLen >= m_blockMax)
        return;
    m_goodSinceError = 0;
    size_t target = m_blockMax;
    if (m_fileErrors > 0)
        target =
            std::max(kMinBlock, std::min(m_blockMax, largestPowerOfTwoUpTo(sentInFile / m_fileErrors / 2)));
    if (m_blockLen < target) {
        m_blockLen = std::min(m_blockLen * 2, target);
        ZM_LOG(LogTrace, "sz_calculate_block_length: raised to %d", static_cast<int>(m_blockLen));
    }
}

bool Sender::tick(const OpenFile& file, uint32_t position)
{
    if (m_tick == nullptr)
        return true;
    if (m_tickSkips < 8 && m_lastRate > 0 &&
        position - m_lastTickPosition <= static_cast<uint32_t>(m_lastRate / 2)) {
        ++m_tickSkips;
        return true;
    }
    const double seconds = std::max(Clock::elapsedMonotonicMillis(m_fileStart), 1.0) / 1000.0;
    const long rate = static_cast<long>(position / seconds);
    long left = 0;
    if (rate >= 1)
        left = static_cast<long>(file.size - position) / rate;
    m_lastRate = rate;
    m_lastTickPosition = position;
    if (!m_tick(file.name.c_str(), static_cast<long>(position), static_cast<long>(file.size), rate,
                static_cast<int>(left / 60), static_cast<int>(left % 60), m_user)) {
        ZM_LOG(LogError, "tick callback returns FALSE");
        return false;
    }
    return true;
}

int Sender::resync(OpenFile& file, uint32_t& position, int64_t repeatOf)
{
    // While the restart at `repeatOf` is not yet acknowledged, more requests for that same
    // position are usually echoes: the receiver asked again for each piece of our old stream
    // that reached it after its first request. Its answer to the restart comes after them, so a
    // request for that position counts only when nothing follows it for a moment.
    bool heldRepeat = false;
    for (int garbled = 0; garbled <= kMaxGarbledInSync;) {
        const int type = readHeader(heldRepeat ? kRepeatTenths : m_timeout);
        if (heldRepeat && type == TIMEOUT) {
            if (!reposition(file, static_cast<uint32_t>(repeatOf), position))
                return ERROR;
            ++m_fileErrors;
            reduceBlockLength();
            return ZRPOS;
        }
        if (type == ZRPOS) {
            const uint32_t offset = headerPosition(m_rxHeader);
            ZM_LOG(LogTrace, "receiver asks for %u, %u sent", static_cast<unsigned>(offset),
                   static_cast<unsigned>(position));
            if (offset <= file.size) {
                if (static_cast<int64_t>(offset) == repeatOf) {
                    heldRepeat = true;
                    continue;
                }
                if (!reposition(file, offset, position))
                    return ERROR;
                ++m_fileErrors;
                reduceBlockLength();
                return ZRPOS;
            }
        } else if (type == ZACK || type == ZRINIT || type == ZSKIP || isFailure(type)) {
            return type;
        }
        // Garbled, or a header that means nothing here.
        sendBinary(ZNAK, kNoFlags);
        flush();
        ++m_fileErrors;
        ++garbled;
    }
    return ERROR;
}

Sender::FileResult Sender::sendData(OpenFile& file, uint32_t offset)
{
    uint32_t position = 0;
    if (!reposition(file, offset, position))
        return FileResult::Failed;
    m_fileStart = Clock::monotonicMillis();
    m_lastRate = 0;
    m_lastTickPosition = position;
    m_tickSkips = 0;
    m_fileErrors = 0;
    m_goodSinceError = 0;

    // The position the receiver last asked us to go back to, and how often in a row.
    int64_t lastSync = -1;
    int64_t unconfirmed = -1;  // the last restart, until the receiver acknowledges something
    int retriesAtSync = 0;
    auto afterResync = [&](int type) {
        if (type == ZACK)
            unconfirmed = -1;
        if (type != ZRPOS)
            return true;
        retriesAtSync = (static_cast<int64_t>(position) == lastSync) ? retriesAtSync + 1 : 0;
        lastSync = position;
        unconfirmed = position;
        return retriesAtSync <= kMaxRetriesAtOneOffset;
    };
    auto endOfFileOutcome = [&](int type) {
        if (type == ZRINIT) {
            const double seconds = std::max(Clock::elapsedMonotonicMillis(m_fileStart), 1.0) / 1000.0;
            ZM_LOG(LogDebug, "Bytes Sent:%7ld   BPS:%-8ld", static_cast<long>(position),
                   static_cast<long>((position - offset) / seconds));
            if (m_complete != nullptr)
                m_complete(file.name.c_str(), 0, file.size, file.date, m_user);
            return FileResult::Sent;
        }
        if (type == ZSKIP) {
            ZM_LOG(LogError, "skipped: %s",
                   String::escaped(file.name, String::MaxPathExcerptBytes).c_str());
            return FileResult::Skipped;
        }
        return FileResult::Failed;
    };

    for (;;) {
        // Data frame: ZDATA, then subpackets until the end of the file or an interruption.
        sendBinary(ZDATA, positionHeader(position));
        unsigned junk = 0;
        size_t sinceAck = 0;
        bool atEnd = false;
        bool newFrame = false;
        while (!atEnd && !newFrame) {
            if (!tick(file, position))
                return FileResult::Failed;
            const size_t want = m_blockLen;
            ssize_t got = 0;
            do {
                got = ::read(file.fd, m_block.data(), want);
            } while (got < 0 && errno == EINTR);
            if (got < 0) {
                ZM_LOG(LogError, "cannot read %s: %s",
                       String::escaped(file.name, String::MaxPathExcerptBytes).c_str(),
                       std::strerror(errno));
                return FileResult::Failed;
            }
            const auto count = static_cast<size_t>(got);
            uint8_t end = ZCRCG;
            if (count < want)
                end = ZCRCE;
            else if (junk > 3 || static_cast<int64_t>(position) == lastSync || !m_fullDuplex ||
                     (m_rxBufLen != 0 && sinceAck + count >= m_rxBufLen))
                end = ZCRCW;
            m_encoder.dataSubpacket(m_out, m_block.data(), count, end);
            position += static_cast<uint32_t>(count);
            sinceAck += count;
            // While streaming, a few subpackets go out in one write: on a tty every write costs
            // a wake-up of the far side, and the bytes on the line are the same either way.
            if (end == ZCRCG && m_out.size() < kStreamBatch) {
                growBlockLength(position - offset);
                continue;
            }
            if (!flush())
                return FileResult::Failed;

            if (end == ZCRCE) {
                atEnd = true;
                break;
            }
            if (end == ZCRCW) {
                const int type = resync(file, position, unconfirmed);
                if (type == ZACK) {
                    afterResync(type);
                    newFrame = true;
                } else if (type == ZRPOS) {
                    if (!afterResync(type))
                        return FileResult::Failed;
                    newFrame = true;
                } else {
                    return endOfFileOutcome(type);
                }
                break;
            }
            growBlockLength(position - offset);

            // Whatever the receiver sent while we streamed: a header interrupts, XOFF pauses.
            while (m_link.pending()) {
                const int c = m_link.readByte(1);
                if (c == CARRIER_LOST)
                    return FileResult::Failed;
                if (c < 0)
                    break;
                if (c == CAN || c == ZPAD) {
                    m_link.unread(static_cast<uint8_t>(c));
                    const int type = resync(file, position, unconfirmed);
                    if (type == ZACK) {
                        afterResync(type);
                        break;
                    }
                    m_encoder.dataSubpacket(m_out, nullptr, 0, ZCRCE);
                    flush();
                    if (type == ZRPOS) {
                        if (!afterResync(type))
                            return FileResult::Failed;
                        newFrame = true;
                        break;
                    }
                    return endOfFileOutcome(type);
                }
                if ((c & 0x7F) == XOFF) {
                    m_link.readByte(kStartTenths);
                    continue;
                }
                ++junk;
            }
        }
        if (newFrame)
            continue;

        // End of file: ZEOF until the receiver confirms it has everything.
        bool backToData = false;
        for (int repeat = 0; repeat < kMaxZeofRepeats && !backToData; ++repeat) {
            sendBinary(ZEOF, positionHeader(position));
            if (!flush())
                return FileResult::Failed;
            const int type = resync(file, position, unconfirmed);
            if (type == ZACK) {
                afterResync(type);
                continue;
            }
            if (type == ZRPOS) {
                if (!afterResync(type))
                    return FileResult::Failed;
                backToData = true;
                break;
            }
            return endOfFileOutcome(type);
        }
        if (!backToData)
            return FileResult::Failed;
    }
}

void Sender::finishSession()
{
    for (int repeat = 0; repeat < kMaxZfinRepeats; ++repeat) {
        sendHex(ZFIN, kNoFlags);
        const int type = readHeader(m_timeout);
        if (type == ZFIN) {
            // Over and out; the receiver may already be gone, which is fine now.
            static const uint8_t kOver[] = {'O', 'O'};
            (void)m_link.write(kOver, sizeof kOver);
            return;
        }
        if (type == ZCAN || type == TIMEOUT || type == CARRIER_LOST)
            return;
    }
}

}  // namespace zmodem

bool zmodem_send(int fd, int count, const char* const* files, zmodem_tick_fn tick,
                 zmodem_complete_fn complete, long /*minBps*/, int /*flags*/, void* user, int timeoutSec)
{
    zmodem::setLogThreshold(zmodem::LogError);
    try {
        zmodem::Sender sender(fd, timeoutSec, tick, complete, user);
        return sender.run(count, files);
    } catch (const std::bad_alloc&) {
        ZM_LOG(zmodem::LogFatal, "out of memory");
    } catch (const std::exception& e) {
        ZM_LOG(zmodem::LogFatal, "%s", e.what());
    } catch (...) {
        ZM_LOG(zmodem::LogFatal, "unknown failure");
    }
    return false;
}
