// The field the ZodezuLUC and ZodezuLUCv2 tests and benchmark run in: the Ultralight field with an
// Ultralight C model under its factory key and two MIFARE SAM models sharing the base card key
// 0x60: slot 0 holds it as version 0x11 for card authentication (diversified by the UID on the
// SAM) and the MAC key 0x61; slot 1 holds it as version 0 for the offline key derivation. Also the
// ticket maps a client writes. No test framework here, so a benchmark can use it too.
#pragma once

#include <memory>
#include <string>

#include "UltralightField.h"
#include "Velmora/CardReaderFactory.h"
#include "core/VariantMap.h"
#include "emulators/Hex.h"
#include "emulators/UltralightC.h"

namespace testsupport {

// A ticket for the layout: numbers that differ with v (the information record with info), the
// v2 keys when v2.
inline VariantMap zodezuTicket(int v, bool v2, int info = 1)
{
    VariantMap m;
    const char* keys[] = {"blockStatusShortNumber",
                          "info/cardExpirationTimestamp",
                          "info/contractId",
                          "info/contractCategory",
                          "info/cardType",
                          "info/cardVersion",
                          "info/issuerId",
                          "info/terminalId",
                          "info/terminalTypeShortNumber",
                          "info/merchantShorthNumber",
                          "info/ptoReference"};
    unsigned n = 0;
    for (const char* key : keys) m[key] = Variant(static_cast<unsigned>(info * 10 + ++n));
    m["info/cardElectronicId"] = "0A1B2C3D4E5F6" + std::to_string(info % 10);
    if (v2)
        m["info/riderType"] = Variant(static_cast<unsigned>(info + 2));
    const char* copy[] = {"counters/transactionCounterShort",
                          "counters/alicShort",
                          "counters/contractValue",
                          "usageLog/transactionDate",
                          "usageLog/fareItemCategoryShortNumber",
                          "usageLog/fareItemTypeShortNumber",
                          "usageLog/activityTypeShortNumber",
                          "usageLog/boardingActivityShortNumber",
                          "usageLog/boardingStopMachineId",
                          "usageLog/routeMachineId",
                          "usageLog/terminalId",
                          "usageLog/transactionIdShort",
                          "usageLog/merchantShortNumber",
                          "usageLog/terminalTypeShortNumber",
                          "usageLog/ptoReference"};
    for (const char* key : copy) m[key] = Variant(static_cast<unsigned>(v * 20 + ++n));
    m[v2 ? "contract/contractExpirationOrStoredValue" : "contract/contractExpirationDateTime"] =
        Variant(1700000000u + static_cast<unsigned>(v));
    return m;
}

// What a test tells the two generations by.
struct ZodezuLayout
{
    const char* name;
    bool v2;
    emulators::Bytes selectorB;  // page 13 naming copy B
    uint8_t lockMark;            // lock byte 0 after a creation with SAMs
};
inline const ZodezuLayout ZodezuLayouts[] = {{"ZodezuLUC", false, {0, 0, 0, 1}, 0x00},
                                             {"ZodezuLUCv2", true, {1, 0, 0, 0}, 0x07}};

// Every key of want reads back as written, and nothing more.
inline bool sameTicket(const VariantMap& got, const VariantMap& want)
{
    for (const std::string& key : want.keys())
        if (!got.exists(key) || got[key].toString() != want[key].toString())
            return false;
    return got.size() == want.size();
}

class ZodezuField : public UltralightField
{
public:
    enum Sams
    {
        None,
        Both,
        Slot0Only,
        Slot1Only,
        Slot0Twice,  // two SAMs, none of them in slot 1
    };

    ZodezuField()
    {
        using emulators::MifareSam;
        tvmModel->setKeyEntry(0x60,
                              MifareSam::KeyEntry::make(MifareSam::Iso10116, MifareSam::Picc, baseKey, 0x11));
        tvmModel->setKeyEntry(
            0x61, MifareSam::KeyEntry::make(MifareSam::Iso10116, MifareSam::OfflineCrypto, macKey));
        accreditationModel->setKeyEntry(
            0x60, MifareSam::KeyEntry::make(MifareSam::Iso10116, MifareSam::OfflineCrypto, baseKey));
        tvm = insertSam(tvmModel, 0);
        accreditation = insertSam(accreditationModel, 1);
        place(ulc);
    }

    RFID::SamList samList(Sams which) const
    {
        switch (which) {
            case Both:
                return {tvm, accreditation};
            case Slot0Only:
                return {tvm};
            case Slot1Only:
                return {accreditation};
            case Slot0Twice:
                return {tvm, tvm};
            default:
                return {};
        }
    }

    // A reader of the layout on a fresh search, as the manager builds one.
    std::shared_ptr<RFID::CardReader> reader(const std::string& layout, Sams which = Both)
    {
        return RFID::CardReaderFactory::createFromTemplateName(layout, reselect(), samList(which));
    }

    // A blank card in the field with a ticket created on it; false when create failed.
    bool issue(const ZodezuLayout& layout, Sams which = Both)
    {
        place(ulc = std::make_shared<emulators::UltralightC>());
        return reader(layout.name, which)->create(false) != nullptr;
    }

    void restore(const emulators::Bytes& memory)
    {
        for (int p = 0; p < emulators::UltralightC::Pages; ++p)
            ulc->setPage(p, emulators::Bytes(memory.begin() + p * 4, memory.begin() + p * 4 + 4));
    }

    emulators::Bytes baseKey = emulators::fromHex("00112233445566778899AABBCCDDEEFF");
    emulators::Bytes macKey = emulators::fromHex("0F1E2D3C4B5A69788796A5B4C3D2E1F0");
    std::shared_ptr<emulators::MifareSam> tvmModel = std::make_shared<emulators::MifareSam>();
    std::shared_ptr<emulators::MifareSam> accreditationModel = std::make_shared<emulators::MifareSam>();
    std::shared_ptr<NFC::SAM> tvm, accreditation;
    std::shared_ptr<emulators::UltralightC> ulc = std::make_shared<emulators::UltralightC>();
};

}  // namespace testsupport
