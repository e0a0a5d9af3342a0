// The commands that the Yarus (serial) and VUrur (networked) readers share: each operation is one
// request message and one answer on the channel, turned into a result code (0 success, 2 malformed
// answer, 3 not supported, 5 no answer, 6 file transfer failed, else the reader's own code);
// out-arguments are written only on success. A reader's command set derives from this with its
// dialect (time-out, missing-tag rule) and adds the commands it has of its own. Stateless; used by
// the thread that owns the reader, and the channel must outlive it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "drivers/T2151/Channel.h"
#include "drivers/T2151/FileSender.h"
#include "drivers/T2151/Message.h"

namespace T2151 {

struct Info
{
    int32_t value3 = 0;        // tag 3
    int32_t value4 = 0;        // tag 4
    std::string firmware;      // tag 5
    std::string manufacturer;  // tag 6
    std::string model;         // tag 7
};

enum HardwareStatus : int32_t
{
    HardwareOK = 0,
    HardwareFault = 1,
    ChipNotFound = 2,
    HardwareBusy = 3,
    HardwareConfigError = 4
};

struct Status
{
    HardwareStatus hardware = HardwareOK;  // tag 8
    bool flag = false;                     // tag 9
    uint8_t byte = 0;                      // tag 10
};

struct CommSettings
{
    int32_t value = 0;
};

struct TPDUHeader
{
    uint8_t CLA = 0, INS = 0, P1 = 0, P2 = 0, P3 = 0;
};

struct APDUHeader
{
    uint8_t CLA = 0, INS = 0, P1 = 0, P2 = 0;
    uint16_t Lc = 0;
    uint16_t Le = 0;
    bool hasLe = false;
    bool option = false;  // carried, never sent
};

class CommandSet
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

    int getInfo(Info& info);
    int getStatus(Status& status);
    int beep(int frequency, int onMs);
    int setLEDs(uint8_t leds);
    int reboot(int value);
    int ping(const std::vector<uint8_t>& bytes, int timeoutMs);
    int setTagTypes(unsigned types);
    int enableRF();
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

    // 1 when the whole file reached the reader, 0 otherwise. timeoutSec bounds each wait of the
    // sender for the reader; progress gets (0, 0, 0) at the start, the percentage and the time left
    // while it runs, (100, 0, 0) at the end.
    int tranferFile(const std::string& path, int timeoutSec, const Progress& progress);
    // The reader's own way to take new firmware: the transfer and its report, rebootRequired being
    // the report's tag 17.
    virtual int updateFirmware(const std::string& path, int timeoutSec, bool& rebootRequired,
                               const Progress& progress) = 0;

protected:
    struct Dialect
    {
        int timeoutMs;  // of every command but ping and searchTag
        // An answer without tag 2, or without a reply tag its command reads, is malformed (2) and
        // logged; otherwise the missing tag reads as 0, empty bytes or an empty text.
        bool tagsRequired;
    };

    // sender: how files reach the reader; null sends them with ZMODEM on the channel's line.
    CommandSet(Channel& channel, std::shared_ptr<FileSender> sender, Dialect dialect);
    ~CommandSet() = default;

    static Message::Ptr request(int code);
    // The answer to one request and its result before reply tags are read: no answer 5, a
    // malformed answer to a strict command 2, else tag 2 as the dialect reads it.
    int command(const Message::Ptr& request, int timeoutMs, bool strict, Message::Ptr& answer);
    // A command with the dialect's time-out whose answer carries nothing but its result.
    int command(const Message::Ptr& request, bool strict);
    // getInfo that hands its answer on (empty unless the command itself succeeded), for the tags a
    // reader sends after tag 7.
    int getInfo(Info& info, Message::Ptr& answer);
    // The transfer, then up to reportTimeoutMs for the reader's report; rebootRequired is its tag 17.
    int transferAndReport(const std::string& path, int timeoutSec, int reportTimeoutMs, bool& rebootRequired,
                          const Progress& progress);

    Channel& m_channel;

private:
    int resultOf(Message& answer) const;
    // Reads reply tags when the result is 0; one missing where tags are required makes it 2.
    template <class Read>
    int replies(int result, Read&& read);
    static Message::Ptr slotRequest(int code, int slot);
    // A command whose answer carries data, and a status word before it when sw is given.
    int dataCommand(const Message::Ptr& request, std::vector<uint8_t>& rx, int* sw = nullptr);
    int tdx(int code, const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx);

    std::shared_ptr<FileSender> m_sender;
    Dialect m_dialect;
};

}  // namespace T2151
