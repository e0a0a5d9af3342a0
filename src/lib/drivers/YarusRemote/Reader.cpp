#include "drivers/YarusRemote/Reader.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace T2151 {

namespace {

enum Code
{
    GetInfo = 1,
    GetStatus = 2,
    SetConfig = 4,
    Beep = 5,
    SetLEDs = 6,
    Reboot = 8,
    Ping = 9,
    EnableRF = 17,
    SearchTag = 19,
    CheckPresence = 32,
    Tdx3 = 33,
    Tdx4 = 34,
    GetSlotStatus = 48,
    PowerOn = 49,
    PowerOff = 50,
    SetCommSettings = 51,
    SlotTransceive = 52,
    ExchangeTPDU = 53,
    ExchangeAPDU = 54,
};

enum Tag
{
    TagCommand = 1,
    TagResult = 2,
    TagData = 21,
    TagAtr = 22,
    TagSlot = 23,
    TagStatusWord = 24,
    TagRebootRequired = 17,
};

const int CommandTimeoutMs = 1000;
const int ReportTimeoutMs = 30000;

}  // namespace

Reader::Reader(Transport& transport, std::shared_ptr<FileSender> sender)
    : m_transport(transport), m_sender(std::move(sender))
{
}

Message::Ptr Reader::request(int code)
{
    Message::Ptr message = Message::make();
    message->pushInt(TagCommand, 1, code);
    return message;
}

int Reader::command(const Message::Ptr& request, int timeoutMs, bool strict, Message::Ptr& answer)
{
    answer = m_transport.transceive(request, timeoutMs);
    // A reader that starts a file exchange instead of answering has not answered the command.
    if (!answer || answer->isZmodemStart())
        return NoAnswer;
    if (strict && !answer->valid())
        return Malformed;
    return answer->popInt(TagResult);
}

Message::Ptr Reader::slotRequest(int code, int slot)
{
    Message::Ptr message = request(code);
    message->pushInt(TagSlot, 1, slot);
    return message;
}

int Reader::dataCommand(const Message::Ptr& request, std::vector<uint8_t>& rx, int* sw)
{
    Message::Ptr answer;
    const int result = command(request, CommandTimeoutMs, false, answer);
    if (result == OK) {
        if (sw)
            *sw = answer->popInt(TagStatusWord);
        rx = answer->popVec(TagData);
    }
    return result;
}

int Reader::tdx(int code, const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    Message::Ptr message = request(code);
    message->pushVec(TagData, tx);
    return dataCommand(message, rx);
}

int Reader::getInfo(Info& info)
{
    Message::Ptr answer;
    const int result = command(request(GetInfo), CommandTimeoutMs, true, answer);
    if (result != OK)
        return result;
    info.value3 = answer->popInt(3);
    info.value4 = answer->popInt(4);
    info.firmware = answer->popStr(5);
    info.manufacturer = answer->popStr(6);
    info.model = answer->popStr(7);
    return OK;
}

int Reader::getStatus(Status& status)
{
    Message::Ptr answer;
    const int result = command(request(GetStatus), CommandTimeoutMs, true, answer);
    if (result != OK)
        return result;
    status.hardware = static_cast<HardwareStatus>(answer->popInt(8));
    status.flag = answer->popInt(9) != 0;
    status.byte = static_cast<uint8_t>(answer->popInt(10));
    return OK;
}

int Reader::setConfig(const Config& config)
{
    Message::Ptr message = request(SetConfig);
    message->pushInt(12, 4, config.baudRate);
    message->pushInt(13, 1, config.second);
    Message::Ptr answer;
    return command(message, CommandTimeoutMs, true, answer);
}

int Reader::beep(int frequency, int onMs)
{
    Message::Ptr message = request(Beep);
    message->pushInt(14, 2, frequency);
    message->pushInt(15, 2, onMs);
    Message::Ptr answer;
    return command(message, CommandTimeoutMs, true, answer);
}

int Reader::setLEDs(uint8_t leds)
{
    Message::Ptr message = request(SetLEDs);
    message->pushInt(10, 1, leds);
    Message::Ptr answer;
    return command(message, CommandTimeoutMs, true, answer);
}

int Reader::reboot(int value)
{
    Message::Ptr message = request(Reboot);
    message->pushInt(16, 4, value);
    Message::Ptr answer;
    return command(message, CommandTimeoutMs, true, answer);
}

int Reader::ping(const std::vector<uint8_t>& bytes, int timeoutMs)
{
    Message::Ptr message = request(Ping);
    message->pushVec(TagData, bytes);
    Message::Ptr answer;
    return command(message, timeoutMs, false, answer);
}

int Reader::setTagTypes(unsigned)
{
    return NotSupported;
}

int Reader::enableRF()
{
    Message::Ptr answer;
    return command(request(EnableRF), CommandTimeoutMs, true, answer);
}

int Reader::searchTag(int timeoutMs, int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats)
{
    Message::Ptr message = request(SearchTag);
    message->pushInt(16, 4, timeoutMs);
    Message::Ptr answer;
    const int result = command(message, 2 * timeoutMs, true, answer);
    if (result != OK)
        return result;
    type = answer->popInt(18);
    uid = answer->popVec(19);
    ats = answer->popVec(20);
    return OK;
}

int Reader::checkPresence()
{
    Message::Ptr answer;
    return command(request(CheckPresence), CommandTimeoutMs, true, answer);
}

int Reader::TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return tdx(Tdx3, tx, rx);
}

int Reader::TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return tdx(Tdx4, tx, rx);
}

int Reader::getSlotStatus(int slot, bool& present)
{
    Message::Ptr message = slotRequest(GetSlotStatus, slot);
    Message::Ptr answer;
    const int result = command(message, CommandTimeoutMs, false, answer);
    if (result == OK)
        present = answer->popInt(32) != 0;
    return result;
}

int Reader::powerOn(int slot, std::vector<uint8_t>& atr)
{
    Message::Ptr message = slotRequest(PowerOn, slot);
    Message::Ptr answer;
    const int result = command(message, CommandTimeoutMs, false, answer);
    if (result == OK)
        atr = answer->popVec(TagAtr);
    return result;
}

int Reader::powerOff(int slot)
{
    Message::Ptr message = slotRequest(PowerOff, slot);
    Message::Ptr answer;
    return command(message, CommandTimeoutMs, true, answer);
}

int Reader::setCommSettings(int slot, const CommSettings& settings)
{
    Message::Ptr message = slotRequest(SetCommSettings, slot);
    message->pushInt(14, 1, settings.value);
    Message::Ptr answer;
    return command(message, CommandTimeoutMs, false, answer);
}

int Reader::transceive(int slot, const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    Message::Ptr message = slotRequest(SlotTransceive, slot);
    message->pushVec(TagData, tx);
    return dataCommand(message, rx);
}

int Reader::exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>& data, int& sw,
                         std::vector<uint8_t>& rx)
{
    Message::Ptr message = slotRequest(ExchangeTPDU, slot);
    message->pushInt(25, 1, header.CLA);
    message->pushInt(26, 1, header.INS);
    message->pushInt(27, 1, header.P1);
    message->pushInt(28, 1, header.P2);
    message->pushInt(29, 1, header.P3);
    message->pushVec(TagData, data);
    return dataCommand(message, rx, &sw);
}

int Reader::exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>& data, int& sw,
                         std::vector<uint8_t>& rx)
{
    Message::Ptr message = slotRequest(ExchangeAPDU, slot);
    message->pushInt(25, 1, header.CLA);
    message->pushInt(26, 1, header.INS);
    message->pushInt(27, 1, header.P1);
    message->pushInt(28, 1, header.P2);
    message->pushInt(30, 2, header.Lc);
    if (header.hasLe)
        message->pushInt(31, 2, header.Le);
    message->pushVec(TagData, data);
    return dataCommand(message, rx, &sw);
}

int Reader::tranferFile(const std::string& path, int timeoutSec, const Progress& progress)
{
    const FileSender::Events events = progressEvents(progress);
    if (m_sender)
        return m_sender->send(path, timeoutSec, events) ? 1 : 0;
    ZModemFileSender sender(m_transport.serial());
    return sender.send(path, timeoutSec, events) ? 1 : 0;
}

int Reader::updateFirmware(const std::string& path, int timeoutSec, bool& rebootRequired,
                           const Progress& progress)
{
    if (tranferFile(path, timeoutSec, progress) == 0)
        return TransferFailed;
    const Message::Ptr report = m_transport.receive(ReportTimeoutMs);
    if (!report)
        return NoAnswer;
    if (!report->valid())
        return Malformed;
    const int result = report->popInt(TagResult);
    if (result == OK)
        rebootRequired = report->popInt(TagRebootRequired) != 0;
    return result;
}

}  // namespace T2151
