// The field the DESFire tests run in: the real Elatec driver and ISO 14443 link on one side of a
// pseudo-terminal, the emulated reader with an emulated DESFire EV1 card on the other, and the
// NFC::DESFire object made for the card the driver found.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "NFC/ISO14443.h"
#include "NFC/ISO7816.h"
#include "NFC/Protocols/DESFire.h"
#include "NFC/Protocols/MifareSAM.h"
#include "TestSupport.h"
#include "drivers/ElatecTWN/Driver.h"
#include "emulators/DesfireCard.h"
#include "emulators/ElatecReader.h"
#include "emulators/FieldCard.h"
#include "emulators/MifareSam.h"

namespace desfiretest {

using emulators::Bytes;

// One command the host sent to the SAM in slot 0, as the reader got it.
struct SamApdu
{
    uint8_t ins, p1;
    bool hasLe;
    Bytes data;
};

class DESFireField : public ::testing::Test
{
protected:
    void SetUp() override
    {
        reader = std::make_unique<emulators::ElatecReader>(emulators::ElatecReader::Mode::BinaryCrc);
        card = std::make_shared<emulators::DesfireCard>();
        reader->setCard(card);
        driver = std::make_shared<ElatecTWN::Driver>(testsupport::SlowLineReadTimeoutMs);
        std::string error;
        ASSERT_TRUE(testsupport::openAsTheServiceDoes(
            *reader, [&] { return driver->open(reader->devicePath(), 115200, &error); }))
            << error;
        link = std::make_shared<NFC::ISO14443>(driver);
        place(card);
    }

    // Puts a card model in the field and makes the tag object for what the driver found.
    void place(std::shared_ptr<emulators::FieldCard> model)
    {
        reader->setCard(model);
        int type = 0;
        Bytes uid, ats;
        ASSERT_TRUE(driver->searchTag(type, uid, ats, testsupport::PeerDeadlineMs));
        ASSERT_EQ(type, NFC::Tag::MifareDESFire);
        desfire = std::make_shared<NFC::DESFire>(link, uid, ats);
        reader->clearReceived();
    }

    // The ISO 14443-4 frames the host sent since the last clear, as the card got them.
    std::vector<Bytes> framesSent() const
    {
        std::vector<Bytes> out;
        for (const auto& r : reader->received())
            if (r.command == 0x1203 && !r.params.empty() && r.params.size() >= 1u + r.params[0])
                out.emplace_back(r.params.begin() + 1, r.params.begin() + 1 + r.params[0]);
        return out;
    }

    size_t cardFrames() const { return card->counters().frames; }

    // An AV3 SAM in slot 0 with an AES host key, and the client for it, unlocked with that key.
    // The other key entries are the test's to set.
    void insertSam(uint8_t hostEntry, const Bytes& hostKey)
    {
        using emulators::MifareSam;
        sam = std::make_shared<MifareSam>(MifareSam::Generation::AV3);
        sam->setKeyEntry(hostEntry, MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::Host, hostKey));
        reader->setSam(0, sam);
        auto samLink = std::make_shared<NFC::ISO7816>(driver, 0);
        Bytes atr;
        ASSERT_TRUE(samLink->powerOn(&atr));
        samClient = std::make_shared<NFC::MifareSAM>(samLink, atr);
        ASSERT_TRUE(samClient->setDefaultPPS());
        ASSERT_EQ(samClient->lockUnlock(hostKey, hostEntry, 0, false, false), 0);
    }

    // The SAM commands since the last clear.
    std::vector<SamApdu> samApdus() const
    {
        std::vector<SamApdu> out;
        for (const auto& r : reader->received()) {
            if (r.command != 0x1005 || r.params.size() < 14)
                continue;
            const Bytes& p = r.params;
            out.push_back({p[2], p[3], (p[9] & 1) != 0, Bytes(p.begin() + 12, p.end() - 2)});
        }
        return out;
    }

    std::unique_ptr<emulators::ElatecReader> reader;
    std::shared_ptr<emulators::DesfireCard> card;
    std::shared_ptr<ElatecTWN::Driver> driver;
    std::shared_ptr<NFC::ISO14443> link;
    std::shared_ptr<NFC::DESFire> desfire;
    // Set by insertSam.
    std::shared_ptr<emulators::MifareSam> sam;
    std::shared_ptr<NFC::MifareSAM> samClient;
};

inline Bytes cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline NFC::DESFire::KeySettings2 keys(uint8_t n)
{
    NFC::DESFire::KeySettings2 ks;
    ks.numberOfKeys = n;
    return ks;
}

inline Bytes pattern(size_t n, uint8_t seed)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + 7 * i);
    return out;
}

}  // namespace desfiretest
