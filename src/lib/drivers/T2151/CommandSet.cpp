#include "drivers/T2151/CommandSet.h"

#include <stdexcept>
#include <utility>

#include "core/String.h"
#include "core/Log.h"

namespace T2151 {

namespace {

enum Code
{
    GetInfo = 1,
    GetStatus = 2,
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
    TagDelay = 16,
    TagRebootRequired = 17,
    TagData = 21,
    TagAtr = 22,
    TagSlot = 23,
    TagStatusWord = 24,
};

// The class, instruction and parameter bytes that both slot exchanges start with.
template <class Header>
void pushHeader(Message& message, const Header& header)
{
    message.pushInt(25, 1, header.CLA);
    message.pushInt(26, 1, header.INS);
    message.pushInt(27, 1, header.P1);
    message.pushInt(28, 1, header.P2);
}

}  // namespace

CommandSet::CommandSet(Channel& channel, std::shared_ptr<FileSender> sender, Dialect dialect)
    : m_channel(channel), m_sender(std::move(sender)), m_dialect(dialect)
{
}

Message::Ptr CommandSet::request(int code)
{
    Message::Ptr message = Message::make();
    message->pushInt(TagCommand, 1, code);
    return message;
}

Message::Ptr CommandSet::slotRequest(int code, int slot)
{
    Message::Ptr message = request(code);
    message->pushInt(TagSlot, 1, slot);
    return message;
}

// An answer without a result (a "rz" banner, an empty payload) says nothing about the command
// where the reader always sends one.
int CommandSet::resultOf(Message& answer) const
{
    if (m_dialect.tagsRequired && !answer.has(TagResult)) {
        Log::error("%sERROR: Answer without a result", m_channel.prefix().c_str());
        return Malformed;
    }
    return answer.popInt(TagResult);
}

int CommandSet::command(const Message::Ptr& request, int timeoutMs, bool strict, Message::Ptr& answer)
{
    answer = m_channel.transceive(request, timeoutMs);
    // A reader that starts a file exchange instead of answering has not answered the command.
    if (!answer || answer->isZmodemStart())
        return NoAnswer;
    if (strict && !answer->valid())
        return Malformed;
    if (m_dialect.tagsRequired)
        answer->setMissing(Message::Missing::Throw);
    return resultOf(*answer);
}

int CommandSet::command(const Message::Ptr& request, bool strict)
{
    Message::Ptr answer;
    return command(request, m_dialect.timeoutMs, strict, answer);
}

template <class Read>
int CommandSet::replies(int result, Read&& read)
{
    if (result != OK)
        return result;
    try {
        read();
    } catch (const std::out_of_range& e) {
        Log::error("%sERROR: Answer incomplete: %s", m_channel.prefix().c_str(),
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
        return Malformed;
    }
    return OK;
}

int CommandSet::dataCommand(const Message::Ptr& request, std::vector<uint8_t>& rx, int* sw)
{
    Message::Ptr answer;
    const int result = command(request, m_dialect.timeoutMs, false, answer);
    return replies(result, [&] {
        if (sw)
            *sw = answer->popInt(TagStatusWord);
        rx = answer->popVec(TagData);
    });
}

int CommandSet::tdx(int code, const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    Message::Ptr message = request(code);
    message->pushVec(TagData, tx);
    return dataCommand(message, rx);
}

int CommandSet::getInfo(Info& info)
{
    Message::Ptr answer;
    return getInfo(info, answer);
}

int CommandSet::getInfo(Info& info, Message::Ptr& answer)
{
    const int result = command(request(GetInfo), m_dialect.timeoutMs, true, answer);
    if (result != OK) {
        answer.reset();
        return result;
    }
    return replies(result, [&] {
        info.value3 = answer->popInt(3);
        info.value4 = answer->popInt(4);
        info.firmware = answer->popStr(5);
        info.manufacturer = answer->popStr(6);
        info.model = answer->popStr(7);
    });
}

int CommandSet::getStatus(Status& status)
{
    Message::Ptr answer;
    const int result = command(request(GetStatus), m_dialect.timeoutMs, true, answer);
    return replies(result, [&] {
        status.hardware = static_cast<HardwareStatus>(answer->popInt(8));
        status.flag = answer->popInt(9) != 0;
        status.byte = static_cast<uint8_t>(answer->popInt(10));
    });
}

int CommandSet::beep(int frequency, int onMs)
{
    Message::Ptr message = request(Beep);
    message->pushInt(14, 2, frequency);
    message->pushInt(15, 2, onMs);
    return command(message, true);
}

int CommandSet::setLEDs(uint8_t leds)
{
    Message::Ptr message = request(SetLEDs);
    message->pushInt(10, 1, leds);
    return command(message, true);
}

int CommandSet::reboot(int value)
{
    Message::Ptr message = request(Reboot);
    message->pushInt(TagDelay, 4, value);
    return command(message, true);
}

int CommandSet::ping(const std::vector<uint8_t>& bytes, int timeoutMs)
{
    Message::Ptr message = request(Ping);
    message->pushVec(TagData, bytes);
    Message::Ptr answer;
    return command(message, timeoutMs, false, answer);
}

int CommandSet::setTagTypes(unsigned)
{
    return NotSupported;
}

int CommandSet::enableRF()
{
    return command(request(EnableRF), true);
}

int CommandSet::searchTag(int timeoutMs, int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats)
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

int CommandSet::checkPresence()
{
    return command(request(CheckPresence), true);
}

int CommandSet::TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return tdx(Tdx3, tx, rx);
}

int CommandSet::TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return tdx(Tdx4, tx, rx);
}

int CommandSet::getSlotStatus(int slot, bool& present)
{
    Message::Ptr answer;
    const int result = command(slotRequest(GetSlotStatus, slot), m_dialect.timeoutMs, false, answer);
    return replies(result, [&] { present = answer->popInt(32) != 0; });
}

int CommandSet::powerOn(int slot, std::vector<uint8_t>& atr)
{
    Message::Ptr answer;
    const int result = command(slotRequest(PowerOn, slot), m_dialect.timeoutMs, false, answer);
    return replies(result, [&] { atr = answer->popVec(TagAtr); });
}

int CommandSet::powerOff(int slot)
{
    return command(slotRequest(PowerOff, slot), true);
}

int CommandSet::setCommSettings(int slot, const CommSettings& settings)
{
    Message::Ptr message = slotRequest(SetCommSettings, slot);
    message->pushInt(14, 1, settings.value);
    return command(message, false);
}

int CommandSet::transceive(int slot, const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    Message::Ptr message = slotRequest(SlotTransceive, slot);
    message->pushVec(TagData, tx);
    return dataCommand(message, rx);
}

int CommandSet::exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>& data, int& sw,
                             std::vector<uint8_t>& rx)
{
    Message::Ptr message = slotRequest(ExchangeTPDU, slot);
    pushHeader(*message, header);
    message->pushInt(29, 1, header.P3);
    message->pushVec(TagData, data);
    return dataCommand(message, rx, &sw);
}

int CommandSet::exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>& data, int& sw,
                             std::vector<uint8_t>& rx)
{
    Message::Ptr message = slotRequest(ExchangeAPDU, slot);
    pushHeader(*message, header);
    message->pushInt(30, 2, header.Lc);
    if (header.hasLe)
        message->pushInt(31, 2, header.Le);
    message->pushVec(TagData, data);
    return dataCommand(message, rx, &sw);
}

int CommandSet::tranferFile(const std::string& path, int timeoutSec, const Progress& progress)
{
    const FileSender::Events events = progressEvents(progress);
    if (m_sender)
        return m_sender->send(path, timeoutSec, events) ? 1 : 0;
    return m_channel.sendFile(path, timeoutSec, events) ? 1 : 0;
}

int CommandSet::transferAndReport(const std::string& path, int timeoutSec, int reportTimeoutMs,
                                  bool& rebootRequired, const Progress& progress)
{
    if (tranferFile(path, timeoutSec, progress) == 0)
        return TransferFailed;
    const Message::Ptr report = m_channel.receive(reportTimeoutMs);
    if (!report)
        return NoAnswer;
    if (!report->valid())
        return Malformed;
    const int result = resultOf(*report);
    // Where tags are required, a report without tag 17 says nothing of a reboot: the flag stays.
    if (result == OK && (!m_dialect.tagsRequired || report->has(TagRebootRequired)))
        rebootRequired = report->popInt(TagRebootRequired) != 0;
    return result;
}

}  // namespace T2151
