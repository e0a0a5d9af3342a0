#include "NFC/SAM.h"

#include <utility>

namespace NFC {

SAM::SAM(std::shared_ptr<ISO7816> link, const std::vector<uint8_t>& atr, Type type)
    : m_iso7816(std::move(link)), m_type(type), m_atr(atr)
{
}

std::shared_ptr<SAM> SAM::make(std::shared_ptr<ISO7816> link, const std::vector<uint8_t>& atr, Type type)
{
    return std::make_shared<SAM>(std::move(link), atr, type);
}

int SAM::slot() const
{
    return m_iso7816->slot();
}

SAM::Type SAM::type() const
{
    return m_type;
}

const std::vector<uint8_t>& SAM::atr() const
{
    return m_atr;
}

bool SAM::check()
{
    return true;
}

bool SAM::setDefaultPPS()
{
    return true;
}

bool SAM::setPPS(Protocol protocol, const uint8_t* pps1)
{
    std::vector<uint8_t> request;
    request.reserve(4);
    request.push_back(0xFF);
    request.push_back(static_cast<uint8_t>(protocol | (pps1 ? 0x10 : 0x00)));
    if (pps1)
        request.push_back(*pps1);
    uint8_t pck = 0;
    for (uint8_t b : request) pck ^= b;
    request.push_back(pck);

    std::vector<uint8_t> answer;
    if (!m_iso7816->transceive(request, answer))
        return false;
    return answer == request;
}

}  // namespace NFC
