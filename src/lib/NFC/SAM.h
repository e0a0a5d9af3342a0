// A powered SAM in one contact slot: its link, type, ATR and logical channel, and the PPS
// exchange that the SAM classes run before setting the slot's parameters. Lives in a
// std::shared_ptr; used on the reader's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "NFC/ISO7816.h"

namespace NFC {

class SAM
{
public:
    enum Type : uint32_t
    {
        Plain = 0,
        MifareAV = 1,
        LG = 4
    };
    enum Protocol
    {
        T0 = 0,
        T1 = 1
    };

    SAM(std::shared_ptr<ISO7816> link, const std::vector<uint8_t>& atr, Type type);
    virtual ~SAM() = default;

    static std::shared_ptr<SAM> make(std::shared_ptr<ISO7816> link, const std::vector<uint8_t>& atr,
                                     Type type);

    virtual int slot() const;
    virtual Type type() const;
    virtual const std::vector<uint8_t>& atr() const;
    // Whether the SAM still answers; a plain SAM has nothing to ask.
    virtual bool check();
    // A plain SAM keeps the reader's default settings.
    virtual bool setDefaultPPS();
    // ISO 7816-3 PPS: true only when the SAM confirms the request byte for byte.
    virtual bool setPPS(Protocol protocol, const uint8_t* pps1);

    uint8_t logicalChannel() const { return m_logicalChannel; }
    void setLogicalChannel(uint8_t channel) { m_logicalChannel = channel & 3; }
    std::shared_ptr<ISO7816> iso7816() const { return m_iso7816; }

protected:
    std::shared_ptr<ISO7816> m_iso7816;
    Type m_type;
    std::vector<uint8_t> m_atr;
    uint8_t m_logicalChannel = 0;
};

}  // namespace NFC
