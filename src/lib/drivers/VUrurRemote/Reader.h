// The networked reader's command set: the T2151 commands with a 2000 ms time-out, disableRF
// (command 18), no setConfig, two update-result texts in getInfo and a firmware update that starts
// with command 7. Each operation is one request and one answer turned into a result code (0
// success, 2 malformed answer or a reply tag missing, 3 not supported, 5 no answer, 6 file transfer
// failed, else the reader's own code). An answer without a result is malformed, never an
// exception. Stateless; the transport must outlive it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "drivers/VUrurRemote/Transport.h"
#include "drivers/YarusRemote/FileSender.h"
#include "drivers/YarusRemote/Reader.h"

namespace vurur {

struct Info : T2151::Info
{
    std::string appUpdate;  // first tag 35
    std::string sysUpdate;  // second tag 35
};

using HardwareStatus = T2151::HardwareStatus;
using Status = T2151::Status;
using CommSettings = T2151::CommSettings;
using TPDUHeader = T2151::TPDUHeader;
using APDUHeader = T2151::APDUHeader;

class Reader
{
public:
    enum Result
    {
        OK = 0,
        Malformed = 2,
        NotSupported = 3,
        NoAnswer = 5,
        TransferFailed = 6
    };

    using Progress = std::function<void(int, int, int)>;

    // sender: how files reach the reader; null sends them with ZMODEM on the transport's client.
    explicit Reader(Transport& transport, std::shared_ptr<T2151::FileSender> sender = nullptr);

    // A missing tag 3 to 7 gives 2 and leaves the later ones untouched; the update texts are read
    // whenever present.
    int getInfo(Info& info);
    int getStatus(Status& status);
    int beep(int frequency, int onMs);
    int setLEDs(uint8_t leds);
    int reboot(int delayMs);
    int ping(const std::vector<uint8_t>& bytes, int timeoutMs);
    int setTagTypes(unsigned types);
    int enableRF();
    int disableRF();
    int searchTag(int timeoutMs, int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats);
    int checkPresence();
    int TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx);
    int TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx);
    int getSlotStatus(int slot, bool& present);
    int powerOn(int slot, std::vector<uint8_t>& atr);
    int powerOff(int slot);
    int setCommSettings(int slot, const CommSettings& settings);
    int transceive(int slot, const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx);
    int exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>& data, int& sw,
                     std::vector<uint8_t>& rx);
    int exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>& data, int& sw,
                     std::vector<uint8_t>& rx);

    // 1 when the whole file reached the reader, 0 otherwise; timeoutSec bounds each wait of the
    // sender for the reader.
    int tranferFile(const std::string& path, int timeoutSec, const Progress& progress);
    // Command 7, the transfer, then up to timeoutSec for the reader's report; rebootRequired is
    // its tag 17 (untouched when the update fails or the tag is missing).
    int updateFirmware(const std::string& path, int timeoutSec, bool& rebootRequired,
                       const Progress& progress);

private:
    // The answer to one request and its result before reply tags are read: no answer 5, a
    // malformed answer to a strict command 2, no result 2, else tag 2. A good answer is left set to
    // throw on a missing tag.
    int command(const Message::Ptr& request, int timeoutMs, bool strict, Message::Ptr& answer);
    // Reads reply tags when the result is 0; a missing one makes it 2.
    int replies(int result, const std::function<void()>& read);
    static Message::Ptr request(int code);

    Transport& m_transport;
    std::shared_ptr<T2151::FileSender> m_sender;
};

}  // namespace vurur
