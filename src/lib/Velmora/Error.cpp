#include "Velmora/Error.h"

#include <map>

namespace RFID {

nlohmann::json Error::toJson() const
{
    nlohmann::json out = {{"code", static_cast<int>(m_code)}, {"text", m_text}};
    if (!m_samMetadata.is_null())
        out["samMetadata"] = m_samMetadata;
    return out;
}

std::string Error::codeToStr(int code)
{
    static const std::map<int, std::string> names = {
        {Success, "Success"},
        {EMVIOError, "EMV I/O error"},
        {UnsupportedCard, "Unsupported card"},
        {CardReadWriteError, "Card read/write error"},
        {EMVUnknownError, "EMV unknown error"},
    };
    const auto it = names.find(code);
    return it != names.end() ? it->second : "Error " + std::to_string(code);
}

Error::Code Error::fromEMV(int kernelCode)
{
    if (kernelCode == 0)
        return Success;
    if (kernelCode == 209)
        return EMVIOError;
    if (kernelCode == 999)
        return EMVUnknownError;
    return static_cast<Code>(kernelCode <= 199 ? EMVTransportBase + kernelCode : EMVKernelBase + kernelCode);
}

}  // namespace RFID
