#include "support/FuzzDriver.h"

namespace fuzzing {

bool FuzzDriver::open(const std::string&, int, std::string*)
{
    m_open = true;
    return true;
}

bool FuzzDriver::close()
{
    m_open = false;
    return true;
}

NFC::Driver::Info FuzzDriver::info() const
{
    Info info;
    info.type = Local;
    info.model = "fuzz";
    info.manufacturer = "fuzz";
    info.firmware = "fuzz";
    return info;
}

bool FuzzDriver::flag()
{
    uint8_t flags = 0;
    return m_in.u8(flags) && (flags & 1) != 0;
}

bool FuzzDriver::data(std::vector<uint8_t>& out)
{
    if (!flag())
        return false;
    out = m_in.block();
    return true;
}

bool FuzzDriver::pdu(std::vector<uint8_t>* response, int& sw)
{
    if (!flag())
        return false;
    std::vector<uint8_t> answer = m_in.block();
    if (response)
        *response = std::move(answer);
    sw = m_in.u16be();
    return true;
}

bool FuzzDriver::emv(std::vector<std::string>& fields, int& error)
{
    if (!flag())
        return false;
    error = static_cast<int16_t>(m_in.u16be());
    const uint8_t count = m_in.u8Or(0);
    fields.clear();
    for (uint8_t i = 0; i < count; ++i) {
        const std::vector<uint8_t> field = m_in.block();
        fields.emplace_back(field.begin(), field.end());
    }
    return true;
}

bool FuzzDriver::searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int)
{
    if (!flag())
        return false;
    type = m_in.u16be();
    uid = m_in.block();
    ats = m_in.block();
    return true;
}

bool FuzzDriver::ISO14443_TDX3(const std::vector<uint8_t>&, std::vector<uint8_t>& rx)
{
    return data(rx);
}

bool FuzzDriver::ISO14443_TDX4(const std::vector<uint8_t>&, std::vector<uint8_t>& rx)
{
    return data(rx);
}

bool FuzzDriver::ISO14443_getATQA(uint16_t& atqa)
{
    if (!flag())
        return false;
    atqa = m_in.u16be();
    return true;
}

bool FuzzDriver::ISO14443_getSAK(uint8_t& sak)
{
    if (!flag())
        return false;
    sak = m_in.u8Or(0);
    return true;
}

int FuzzDriver::ISO7816_slotState(int)
{
    return m_in.u8Or(0);
}

bool FuzzDriver::ISO7816_powerOn(int, std::vector<uint8_t>* atr)
{
    std::vector<uint8_t> answer;
    if (!data(answer))
        return false;
    if (atr)
        *atr = std::move(answer);
    return true;
}

bool FuzzDriver::ISO7816_transceive(int, std::vector<uint8_t>&, std::vector<uint8_t>& rx)
{
    return data(rx);
}

bool FuzzDriver::ISO7816_exchangeTPDU(int, const TPDUHeader&, const std::vector<uint8_t>*,
                                      std::vector<uint8_t>* response, int& sw)
{
    return pdu(response, sw);
}

bool FuzzDriver::ISO7816_exchangeAPDU(int, const APDUHeader&, const std::vector<uint8_t>*,
                                      std::vector<uint8_t>* response, int& sw)
{
    return pdu(response, sw);
}

}  // namespace fuzzing
