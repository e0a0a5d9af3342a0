// The emulated MIFARE SAM is the independent side of the SAM tests, so it is held to published
// answers: CMAC and AN10922 diversification, and the DESFire EV1 traces of authentication, session
// MACs and ChangeKey cryptograms, replayed with the SAM in the reader's place.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "emulators/CardCrypto.h"
#include "emulators/Hex.h"
#include "emulators/MifareSam.h"

using emulators::Bytes;
using emulators::fromHex;
using emulators::MifareSam;
namespace cc = emulators::cardcrypto;

namespace {

using Apdu = emulators::SlotCard::Apdu;

Bytes hex(const nlohmann::json& value)
{
    return fromHex(value.get<std::string>());
}

// DES keys carry parity in bit 0 of each byte; the traces print session keys with it cleared.
Bytes withoutParity(Bytes key)
{
    for (uint8_t& b : key) b &= 0xFE;
    return key;
}

class SamEmulatorVectors : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sam.powerOn();
        sam.setUnlocked(true);
    }

    emulators::SlotCard::Response send(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data, bool hasLe)
    {
        Apdu apdu;
        apdu.cla = 0x80;
        apdu.ins = ins;
        apdu.p1 = p1;
        apdu.p2 = p2;
        apdu.data = data;
        apdu.hasLe = hasLe;
        const auto r = sam.apdu(apdu);
        EXPECT_TRUE(r.has_value());
        return r.value_or(emulators::SlotCard::Response{{}, 0});
    }

    // The SAM answers a card's challenge as the traced reader did, given the reader's RndA.
    void authenticate(const nlohmann::json& c, MifareSam::KeyType type)
    {
        Bytes key = hex(c["key"]);
        if (key.size() == 8)
            key.insert(key.end(), key.begin(), key.end());
        sam.setKeyEntry(5, MifareSam::KeyEntry::make(type, MifareSam::Picc, key));
        sam.forceRandom(hex(c["rnda"]));
        Bytes part1 = {5, 0};
        const Bytes encRndB = hex(c["rndb_enc"]);
        part1.insert(part1.end(), encRndB.begin(), encRndB.end());
        const auto first = send(0x0A, 0x00, 0x00, part1, true);
        ASSERT_EQ(first.sw, 0x90AF);
        if (c.contains("rndab_enc")) {
            EXPECT_EQ(first.data, hex(c["rndab_enc"]));
        }
        ASSERT_EQ(send(0x0A, 0x00, 0x00, hex(c["rnda_enc"]), false).sw, 0x9000);
    }

    MifareSam sam;
};

TEST(CardCryptoVectors, CmacAndKeyDiversification)
{
    const auto cmac = testsupport::loadVectors("rfc4493_aes_cmac.json");
    for (const auto& c : cmac["cases"])
        EXPECT_EQ(cc::cmac(cc::Cipher::AES, hex(c["key"]), hex(c["message"])), hex(c["mac"])) << c["name"];

    const auto div = testsupport::loadVectors("nxp_an10922_key_diversification.json");
    size_t checked = 0;
    for (const auto& c : div["cases"]) {
        SCOPED_TRACE(c["name"].get<std::string>());
        Bytes input = hex(c["uid"]);
        for (const char* part : {"aid", "system_identifier"}) {
            const Bytes more = hex(c[part]);
            input.insert(input.end(), more.begin(), more.end());
        }
        const bool aes = c["key_type"] == "AES128";
        const Bytes key =
            cc::diversify(aes ? cc::Cipher::AES : cc::Cipher::TDES, hex(c["master_key"]), input);
        // The published Triple-DES keys carry the master key's version in their parity bits.
        EXPECT_EQ(aes ? key : withoutParity(key),
                  aes ? hex(c["diversified_key"]) : withoutParity(hex(c["diversified_key"])));
        ++checked;
    }
    EXPECT_EQ(checked, 3u);
}

TEST_F(SamEmulatorVectors, CardAuthenticationsGiveTheTracedTokensAndSessionKeys)
{
    const auto vectors = testsupport::loadVectors("desfire_ev1_communication_examples.json");
    size_t checked = 0;
    for (const auto& c : vectors["authentication"]) {
        SCOPED_TRACE(c["name"].get<std::string>());
        const std::string type = c["key_type"];
        const bool aes = type == "AES";
        const MifareSam::KeyType keyType = aes                ? MifareSam::Aes128
                                           : type == "3K3DES" ? MifareSam::ThreeKeyTdes
                                                              : MifareSam::Iso10116;
        authenticate(c, keyType);
        const Bytes expected = hex(c["session_key"]);
        Bytes got = sam.cardSession().key;
        got.resize(expected.size());
        EXPECT_EQ(aes ? got : withoutParity(got), expected);
        ++checked;
    }
    EXPECT_EQ(checked, 5u);
}

TEST_F(SamEmulatorVectors, SessionMacsChainAsTheCardDoes)
{
    const auto vectors = testsupport::loadVectors("desfire_ev1_communication_examples.json");
    authenticate(vectors["authentication"][4], MifareSam::Iso10116);
    const auto& c = vectors["cmac"][0];
    const auto tx = send(0x7C, 0x00, 0x08, hex(c["tx_data"]), true);
    ASSERT_EQ(tx.sw, 0x9000);
    EXPECT_EQ(tx.data, hex(c["tx_cmac"]));

    // The card's MAC covers the data of every frame and the final status 00.
    Bytes covered;
    for (const auto& frame : c["rx_frames"]) {
        const Bytes f = hex(frame);
        covered.insert(covered.end(), f.begin() + 1, f.end());
    }
    covered.resize(covered.size() - 8);
    covered.push_back(0x00);
    const Bytes rxMac = hex(c["rx_cmac"]);
    covered.insert(covered.end(), rxMac.begin(), rxMac.end());
    EXPECT_EQ(send(0x5C, 0x00, 0x08, covered, false).sw, 0x9000);
    covered[3] ^= 0x01;
    EXPECT_EQ(send(0x5C, 0x00, 0x08, covered, false).sw, 0x901E);
}

TEST_F(SamEmulatorVectors, ChangeKeyCryptogramsMatchTheTrace)
{
    const auto vectors = testsupport::loadVectors("desfire_ev1_communication_examples.json");
    struct Case
    {
        size_t authentication;
        size_t changeKey;
        MifareSam::KeyType sessionType;
        MifareSam::KeyType newType;
    };
    for (const Case& k : {Case{1, 1, MifareSam::ThreeKeyTdes, MifareSam::ThreeKeyTdes},
                          Case{2, 2, MifareSam::Aes128, MifareSam::Aes128}}) {
        const auto& c = vectors["change_key"][k.changeKey];
        SCOPED_TRACE(c["name"].get<std::string>());
        authenticate(vectors["authentication"][k.authentication], k.sessionType);
        const uint8_t version =
            c.contains("new_key_version")
                ? static_cast<uint8_t>(std::stoi(c["new_key_version"].get<std::string>(), nullptr, 16))
                : 0;
        sam.setKeyEntry(6, MifareSam::KeyEntry::make(k.newType, MifareSam::Picc, hex(c["new_key"]), version));
        const auto r = send(0xC4, 0x00, 0x00, {5, 0, 6, version}, true);
        ASSERT_EQ(r.sw, 0x9000);
        EXPECT_EQ(r.data, hex(c["cryptogram_enc"]));
    }
}

TEST_F(SamEmulatorVectors, RefusesWhatItShouldNotDo)
{
    sam.setUnlocked(false);
    sam.setKeyEntry(5, MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::Picc, Bytes(16, 0)));
    Bytes part1 = {5, 0};
    part1.resize(18, 0x00);
    EXPECT_EQ(send(0x0A, 0x00, 0x00, part1, true).sw, 0x6985);  // locked
    sam.setUnlocked(true);
    part1.resize(10);
    EXPECT_EQ(send(0x0A, 0x00, 0x00, part1, true).sw, 0x6700);        // challenge too short
    EXPECT_EQ(send(0x7C, 0x00, 0x00, Bytes(4, 0), true).sw, 0x6985);  // no session
    EXPECT_EQ(send(0x7C, 0xAF, 0x00, Bytes(4, 0), false).sw, 0x90AF);
    EXPECT_EQ(send(0x60, 0x00, 0x00, {}, true).sw, 0x6883);  // a chain must be finished first
    Apdu wrongClass;
    wrongClass.cla = 0x00;
    wrongClass.ins = 0x60;
    EXPECT_EQ(sam.apdu(wrongClass)->sw, 0x6E00);
    sam.powerOff();
    EXPECT_FALSE(sam.apdu(wrongClass).has_value());
}

}  // namespace
