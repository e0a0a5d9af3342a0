// The layout of contactless bank cards: the reader's own payment kernel talks to the card, so
// this reader only asks the driver for the token of the tap just made and hands the fare
// system's trip data back to complete the transaction. Built per detected bank card by the
// factory; the manager's worker alone calls it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Velmora/CardReader.h"

namespace NFC {
class EMV;
}

namespace EMV {

class CardReader : public RFID::CardReader
{
public:
    CardReader(std::shared_ptr<NFC::Tag> tag, std::shared_ptr<NFC::SAM> sam);
    ~CardReader() override;

    // The SAM is kept in the base and never used.
    static std::shared_ptr<CardReader> make(std::shared_ptr<NFC::Tag> tag, std::shared_ptr<NFC::SAM> sam);

    // The same as read(0, 0).
    std::shared_ptr<RFID::Card> create(bool flag) override;
    // The tap's token; after a driver error the card comes back with what was filled and the error
    // set. The counts are not used.
    std::shared_ptr<RFID::Card> read(unsigned usageLogs, unsigned topupLogs) override;
    // Sends "tripData" (when it holds "tk") and takes the kernel's answer into the card.
    std::shared_ptr<RFID::Card> write(const VariantMap& data) override;

private:
    std::shared_ptr<NFC::EMV> m_emv;
};

}  // namespace EMV
