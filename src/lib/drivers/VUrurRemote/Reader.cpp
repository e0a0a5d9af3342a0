#include "drivers/VUrurRemote/Reader.h"

#include <stdexcept>
#include <utility>

#include "core/Log.h"

namespace vurur {

namespace {

enum Code
{
    GetInfo = 1,
    GetStatus = 2,
    Beep = 5,
    SetLEDs = 6,
    UpdateFirmware = 7,
    Reboot = 8,
    Ping = 9,
    EnableRF = 17,
    DisableRF = 18,
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
    TagDelay = 16,
    TagRebootRequired = 17,
    TagData = 21,
    TagAtr = 22,
    TagSlot = 23,
    TagStatusWord = 24,
    TagUpdateResult = 35,
};

const int CommandTimeoutMs = 2000;
// What command 7 tells the reader; the sender's own wait is the caller's.
const int UpdateWindowValue = 10000;

// The result of an answer, or 2 with a log line when it carries none (a "rz" banner, an empty
// payload): such an answer says nothing about the command.
int resultOf(Message& answer)
{
    if (!answer.has(TagResult)) {
        Log::error("[vurur] ERROR: Answer without a result");
        return Reader::Malformed;
    }
    return answer.popInt(TagResult);
}

}  // namespace

Reader::Reader(Transport& transport, std::shared_ptr<T2151::FileSender> sender)
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
    answer->setMissing(Message::Missing::Throw);
    return resultOf(*answer);
}

int Reader::replies(int result, const std::function<void()>& read)
{
    if (result != OK)
        return result;
    try {
        read();
    } catch (const std::out_of_range& e) {
        Log::error("[vurur] ERROR: Answer incomplete: %s", e.what());
        return Malformed;
    }
    return OK;
}

int Reader::getInfo(Info& info)
{
    Message::Ptr answer;
    const int result = command(request(GetInfo), CommandTimeoutMs, true, answer);
    if (result != OK)
        return result;
    const int filled = replies(OK, [&] {
        info.value3 = answer->popInt(3);
        info.value4 = answer->popInt(4);
        info.firmware = answer->popStr(5);
        info.manufacturer = answer->popStr(6);
        info.model = answer->popStr(7);
    });
    if (answer->has(TagUpdateResult))
        info.appUpdate = answer->popStr(TagUpdateResult);
    if (answer->has(TagUpdateResult))
        info.sysUpdate = answer->popStr(TagUpdateResult);
    return filled;
}

int Reader::getStatus(Status& status)
{
    Message::Ptr answer;
    const int result = command(request(GetStatus), CommandTimeoutMs, true, answer);
    return replies(result, [&] {
        status.hardware = static_cast<HardwareStatus>(answer->popInt(8));
        status.flag = answer->popInt(9) != 0;
        status.byte = static_cast<uint8_t>(answer->popInt(10));
    });
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

int Reader::reboot(int delayMs)
{
    Message::Ptr message = request(Reboot);
    message->pushInt(TagDelay, 4, delayMs);
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

int Reader::disableRF()
{
    Message::Ptr answer;
    return command(request(DisableRF), CommandTimeoutMs, true, answer);
}

int Reader::searchTag(int timeoutMs, int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats)
{
    Message::Ptr message = request(SearchTag);
    message->pushInt(TagDelay, 4, timeoutMs);
    Message::Ptr answer;
    const int result = command(message, 2 * timeoutMs, true, answer);
    return replies(result, [&] {
        type = answer->popInt(18);
        uid = answer->popVec(19);
        ats = answer->popVec(20);
    });
}

int Reader::checkPresence()
{
    Message::Ptr answer;
    return command(request(CheckPresence), CommandTimeoutMs, true, answer);
}

int Reader::TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    Message::Ptr message = request(Tdx3);
    message->pushVec(TagData, tx);
    Message::Ptr answer;
    const int result = command(message, CommandTimeoutMs, false, answer);
    return replies(result, [&] { rx = answer->popVec(TagData); });
}

int Reader::TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    Message::Ptr message = request(Tdx4);
    message->pushVec(TagData, tx);
    Message::Ptr answer;
    const int result = command(message, CommandTimeoutMs, false, answer);
    return replies(result, [&] { rx = answer->popVec(TagData); });
}

int Reader::getSlotStatus(int slot, bool& present)
{
    Message::Ptr message = request(GetSlotStatus);
    message->pushInt(TagSlot, 1, slot);
    Message::Ptr answer;
    const int result = command(message, CommandTimeoutMs, false, answer);
    return replies(result, [&] { present = answer->popInt(32) != 0; });
}

int Reader::powerOn(int slot, std::vector<uint8_t>& atr)
{
    Message::Ptr message = request(PowerOn);
    message->pushInt(TagSlot, 1, slot);
    Message::Ptr answer;
    const int result = command(message, CommandTimeoutMs, false, answer);
    return replies(result, [&] { atr = answer->popVec(TagAtr); });
}

int Reader::powerOff(int slot)
{
    Message::Ptr message = request(PowerOff);
    message->pushInt(TagSlot, 1, slot);
    Message::Ptr answer;
    return command(message, CommandTimeoutMs, true, answer);
}

int Reader::setCommSettings(int slot, const CommSettings& settings)
{
    Message::Ptr message = request(SetCommSettings);
    message->pushInt(TagSlot, 1, slot);
    message->pushInt(14, 1, settings.value);
    Message::Ptr answer;
    return command(message, CommandTimeoutMs, false, answer);
}

int Reader::transceive(int slot, const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    Message::Ptr message = request(SlotTransceive);
    message->pushInt(TagSlot, 1, slot);
    message->pushVec(TagData, tx);
    Message::Ptr answer;
    const int result = command(message, CommandTimeoutMs, false, answer);
    return replies(result, [&] { rx = answer->popVec(TagData); });
}

int Reader::exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>& data, int& sw,
                         std::vector<uint8_t>& rx)
{
    Message::Ptr message = request(ExchangeTPDU);
    message->pushInt(TagSlot, 1, slot);
    message->pushInt(25, 1, header.CLA);
    message->pushInt(26, 1, header.INS);
    message->pushInt(27, 1, header.P1);
    message->pushInt(28, 1, header.P2);
    message->pushInt(29, 1, header.P3);
    message->pushVec(TagData, data);
    Message::Ptr answer;
    const int result = command(message, CommandTimeoutMs, false, answer);
    return replies(result, [&] {
        sw = answer->popInt(TagStatusWord);
        rx = answer->popVec(TagData);
    });
}

int Reader::exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>& data, int& sw,
                         std::vector<uint8_t>& rx)
{
    Message::Ptr message = request(ExchangeAPDU);
    message->pushInt(TagSlot, 1, slot);
    message->pushInt(25, 1, header.CLA);
    message->pushInt(26, 1, header.INS);
    message->pushInt(27, 1, header.P1);
    message->pushInt(28, 1, header.P2);
    message->pushInt(30, 2, header.Lc);
    if (header.hasLe)
        message->pushInt(31, 2, header.Le);
    message->pushVec(TagData, data);
    Message::Ptr answer;
    const int result = command(message, CommandTimeoutMs, false, answer);
    return replies(result, [&] {
        sw = answer->popInt(TagStatusWord);
        rx = answer->popVec(TagData);
    });
}

int Reader::tranferFile(const std::string& path, int timeoutSec, const Progress& progress)
{
    const T2151::FileSender::Events events = T2151::progressEvents(progress);
    if (m_sender)
        return m_sender->send(path, timeoutSec, events) ? 1 : 0;
    T2151::ZModemFileSender sender(m_transport.client());
    return sender.send(path, timeoutSec, events) ? 1 : 0;
}

int Reader::updateFirmware(const std::string& path, int timeoutSec, bool& rebootRequired,
                           const Progress& progress)
{
    Message::Ptr start = request(UpdateFirmware);
    start->pushInt(TagDelay, 4, UpdateWindowValue);
    start->pushInt(TagRebootRequired, 2, 1);
    // The reader answers command 7 by starting its file receiver, not with a frame.
    if (!m_transport.transmit(start))
        return TransferFailed;
    if (tranferFile(path, timeoutSec, progress) == 0)
        return TransferFailed;
    const Message::Ptr report = m_transport.receive(1000 * timeoutSec);
    if (!report)
        return NoAnswer;
    if (!report->valid())
        return Malformed;
    const int result = resultOf(*report);
    if (result == OK && report->has(TagRebootRequired))
        rebootRequired = report->popInt(TagRebootRequired) != 0;
    return result;
}

}  // namespace vurur
