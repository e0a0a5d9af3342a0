#include "drivers/ElatecTWN/Elatec.h"

#include <limits>
#include <utility>

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"

namespace {

// Command codes, grouped as the reader groups them: 0x00xx system, 0x04xx beeper and LEDs,
// 0x05xx contactless search and RF, 0x10xx contact slots, 0x12xx ISO 14443.
enum Command : uint16_t
{
    SysReset = 0x0001,
    SysGetVersionString = 0x0004,
    SysGetUSBType = 0x0005,
    SysGetDeviceUID = 0x0008,
    Beep = 0x0407,
    LEDInit = 0x0410,
    LEDOff = 0x0412,
    LEDToggle = 0x0413,
    SearchTag = 0x0500,
    SetRFOff = 0x0501,
    SetTagTypes = 0x0502,
    IccPowerOn = 0x1001,
    IccPowerOff = 0x1002,
    IccSetCommSettings = 0x1003,
    IccTransceive = 0x1004,
    IccExchangeAPDU = 0x1005,
    IccExchangeTPDU = 0x1006,
    ISO14443AGetATS = 0x1200,
    ISO14443BGetATQB = 0x1201,
    ISO14443_4CheckPresence = 0x1202,
    ISO14443_4TDX = 0x1203,
    ISO14443AGetATQA = 0x1204,
    ISO14443AGetSAK = 0x1205,
    ISO14443_3TDX = 0x1207,
};

const uint8_t MaxAnswer = 0xFF;

uint8_t slotByte(int slot)
{
    return static_cast<uint8_t>(slot + 0x20);
}

}  // namespace

Elatec::Elatec(const std::string& device, int readTimeoutMs)
    : m_prs(new PRS(device, PRS::AUTO, nullptr, readTimeoutMs))
{
}

Elatec::Elatec(std::unique_ptr<PRS::Port> line, int readTimeoutMs)
    : m_prs(new PRS(std::move(line), PRS::AUTO, nullptr, readTimeoutMs))
{
}

Elatec::~Elatec() = default;

bool Elatec::call(uint16_t command)
{
    return m_prs->xfer(command, &m_params, &m_answer) == 0;
}

bool Elatec::call(uint16_t command, uint8_t param)
{
    m_params.assign(1, param);
    return call(command);
}

bool Elatec::takeAnswer(bool called, size_t minSize, size_t maxSize, size_t offset, std::vector<uint8_t>* out)
{
    if (!called || m_answer.size() < minSize || m_answer.size() > maxSize || m_answer[0] == 0)
        return false;
    if (out)
        out->assign(m_answer.begin() + offset, m_answer.end());
    return true;
}

bool Elatec::frameParams(const std::vector<uint8_t>* tx)
{
    const size_t size = tx ? tx->size() : 0;
    // The length goes out in one byte: a longer frame would be cut by the reader.
    if (size > 0xFF)
        return false;
    m_params.clear();
    NFC::ByteWriter writer(m_params);
    writer.u8(static_cast<uint8_t>(size));
    if (tx)
        writer.bytes(*tx);
    return true;
}

bool Elatec::reset()
{
    m_params.clear();
    return call(SysReset);
}

bool Elatec::getVersionString(std::string& out)
{
    if (!call(SysGetVersionString, MaxAnswer) || m_answer.empty())
        return false;
    // The first byte is the reader's character count; the text is what actually came.
    out.assign(m_answer.begin() + 1, m_answer.end());
    return true;
}

bool Elatec::getUSBType(USBType_t& out)
{
    m_params.clear();
    if (!call(SysGetUSBType) || m_answer.empty())
        return false;
    out = static_cast<USBType_t>(m_answer[0]);
    return true;
}

bool Elatec::getDeviceUID(std::vector<uint8_t>& out)
{
    m_params.clear();
    if (!call(SysGetDeviceUID))
        return false;
    out = m_answer;
    return true;
}

bool Elatec::beep(uint8_t volume, uint16_t frequency, uint16_t onTime, uint16_t offTime)
{
    m_params.clear();
    NFC::ByteWriter(m_params).u8(volume).u16le(frequency).u16le(onTime).u16le(offTime);
    return call(Beep);
}

bool Elatec::initLED(uint8_t mask)
{
    return call(LEDInit, mask);
}

bool Elatec::turnOffLED(uint8_t mask)
{
    return call(LEDOff, mask);
}

bool Elatec::toogleLED(uint8_t mask)
{
    return call(LEDToggle, mask);
}

bool Elatec::searchTag(std::vector<uint8_t>& uid, RFID::Card::Type& type)
{
    if (!call(SearchTag, MaxAnswer))
        return false;
    NFC::ByteReader answer(m_answer);
    const uint8_t found = answer.u8();
    const uint8_t tagType = answer.u8();
    const uint8_t uidBits = answer.u8();
    if (!answer.ok() || found == 0)
        return false;
    type = static_cast<RFID::Card::Type>(tagType);
    answer.skip(1);  // the byte count; the bit count is what decides
    std::vector<uint8_t> bytes = answer.bytes(uidBits / 8);
    if (!answer.ok())
        return false;
    uid.swap(bytes);
    return true;
}

bool Elatec::setRFOff()
{
    m_params.clear();
    return call(SetRFOff);
}

bool Elatec::setTagTypes(uint32_t lfTypes, uint32_t hfTypes)
{
    m_params.clear();
    NFC::ByteWriter(m_params).u32le(lfTypes).u32le(hfTypes);
    return call(SetTagTypes);
}

bool Elatec::ISO7816_IccPowerOn(int slot, std::vector<uint8_t>* atr, int& statusA, int& statusB)
{
    m_params.clear();
    NFC::ByteWriter(m_params).u8(slotByte(slot)).u8(MaxAnswer).u8(0x00);
    if (!call(IccPowerOn) || m_answer.size() < 4)
        return false;
    NFC::ByteReader answer(m_answer);
    if (answer.u8() == 0)
        return false;
    answer.skip(1);  // the ATR byte count; the ATR is what lies before the two trailing values
    std::vector<uint8_t> value = answer.bytes(answer.remaining() - 2);
    const uint8_t a = answer.u8();
    const uint8_t b = answer.u8();
    if (!answer.ok())
        return false;
    if (atr)
        atr->swap(value);
    statusA = a;
    statusB = b;
    return true;
}

bool Elatec::ISO7816_IccPowerOff(int slot, std::vector<uint8_t>* out)
{
    return takeAnswer(call(IccPowerOff, slotByte(slot)), 4, SIZE_MAX, 1, out);
}

bool Elatec::ISO7816_setCommSettings(int slot, std::vector<uint8_t>* settings)
{
    m_params.clear();
    NFC::ByteWriter writer(m_params);
    writer.u8(slotByte(slot));
    if (settings)
        writer.bytes(*settings);
    if (!call(IccSetCommSettings) || m_answer.empty())
        return false;
    return m_answer[0] != 0;
}

bool Elatec::ISO7816_transceive(int slot, std::vector<uint8_t>* tx, std::vector<uint8_t>* rx)
{
    if (rx)
        rx->clear();
    const size_t size = tx ? tx->size() : 0;
    if (size > std::numeric_limits<uint16_t>::max())
        return false;
    m_params.clear();
    NFC::ByteWriter writer(m_params);
    writer.u8(slotByte(slot)).u16le(static_cast<uint16_t>(size));
    if (tx)
        writer.bytes(*tx);
    writer.u8(MaxAnswer);
    if (!call(IccTransceive))
        return false;

    NFC::ByteReader answer(m_answer);
    const uint8_t ok = answer.u8();
    const uint16_t length = answer.u16le();
    if (!answer.ok() || ok == 0)
        return false;
    std::vector<uint8_t> data = answer.bytes(length);
    if (!answer.ok())
        return false;
    if (rx)
        rx->swap(data);
    return true;
}

bool Elatec::exchangePDU(uint16_t command, int slot, const std::vector<uint8_t>* header,
                         const std::vector<uint8_t>* data, uint16_t maxAnswer, std::vector<uint8_t>* resp,
                         int& sw)
{
    const size_t size = data ? data->size() : 0;
    if (size > std::numeric_limits<uint16_t>::max())
        return false;
    m_params.clear();
    NFC::ByteWriter writer(m_params);
    writer.u8(slotByte(slot));
    if (header)
        writer.bytes(*header);
    writer.u16le(static_cast<uint16_t>(size));
    if (data)
        writer.bytes(*data);
    writer.u16le(maxAnswer);
    if (!call(command) || m_answer.size() < 5)
        return false;
    NFC::ByteReader answer(m_answer);
    if (answer.u8() == 0)
        return false;
    answer.skip(2);  // the response length; the response is what lies before the status word
    std::vector<uint8_t> value = answer.bytes(answer.remaining() - 2);
    const uint16_t status = answer.u16le();
    if (!answer.ok())
        return false;
    if (resp)
        resp->swap(value);
    sw = status;
    return true;
}

bool Elatec::ISO7816_exchangeAPDU(int slot, const std::vector<uint8_t>* header,
                                  const std::vector<uint8_t>* data, std::vector<uint8_t>* resp, int& sw)
{
    return exchangePDU(IccExchangeAPDU, slot, header, data, 0x00FF, resp, sw);
}

bool Elatec::ISO7816_exchangeTPDU(int slot, const std::vector<uint8_t>* header,
                                  const std::vector<uint8_t>* data, std::vector<uint8_t>* resp, int& sw)
{
    return exchangePDU(IccExchangeTPDU, slot, header, data, 0x0080, resp, sw);
}

bool Elatec::readBooleanData(uint16_t command, std::vector<uint8_t>* out)
{
    return takeAnswer(call(command, MaxAnswer), 2, SIZE_MAX, 1, out);
}

bool Elatec::ISO14443A_getATS(std::vector<uint8_t>* out)
{
    return readBooleanData(ISO14443AGetATS, out);
}

bool Elatec::ISO14443B_getATQB(std::vector<uint8_t>* out)
{
    return readBooleanData(ISO14443BGetATQB, out);
}

bool Elatec::ISO14443_4_checkPresence()
{
    m_params.clear();
    if (!call(ISO14443_4CheckPresence) || m_answer.empty())
        return false;
    return m_answer[0] != 0;
}

bool Elatec::ISO14443_4_TDX(std::vector<uint8_t>* tx, std::vector<uint8_t>* rx)
{
    if (!frameParams(tx))
        return false;
    m_params.push_back(MaxAnswer);
    return takeAnswer(call(ISO14443_4TDX), 2, SIZE_MAX, 2, rx);
}

bool Elatec::ISO14443A_getATQA(std::vector<uint8_t>* out)
{
    m_params.clear();
    return takeAnswer(call(ISO14443AGetATQA), 3, 3, 1, out);
}

bool Elatec::ISO14443A_getSAK(std::vector<uint8_t>* out)
{
    m_params.clear();
    return takeAnswer(call(ISO14443AGetSAK), 2, 2, 1, out);
}

bool Elatec::ISO14443_3_TDX(const std::vector<uint8_t>* tx, std::vector<uint8_t>* rx)
{
    if (rx)
        rx->clear();
    if (!frameParams(tx))
        return false;
    NFC::ByteWriter(m_params).u8(MaxAnswer).u8(0x30).u8(0x00);
    return takeAnswer(call(ISO14443_3TDX), 2, SIZE_MAX, 2, rx);
}
