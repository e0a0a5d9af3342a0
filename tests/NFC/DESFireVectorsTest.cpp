// The published DESFire EV1 communication examples: the emulated card must give the traced answers
// to the traced commands (ISO authentication, the CMAC of GetVersion in a DES session), and
// NFC::DESFire must build the traced session keys and ChangeKey cryptograms.
#include <gtest/gtest.h>

#include "DESFireField.h"
#include "TestSupport.h"
#include "emulators/CardCrypto.h"
#include "emulators/Hex.h"
#include "emulators/ScriptedCard.h"

using desfiretest::Bytes;
using desfiretest::cat;
using desfiretest::DESFireField;
using emulators::DesfireCard;
using emulators::fromHex;
using NFC::DESFire;
namespace cc = emulators::cardcrypto;

namespace {

const nlohmann::json& examples()
{
    static const nlohmann::json json = testsupport::loadVectors("desfire_ev1_communication_examples.json");
    return json;
}

Bytes hex(const nlohmann::json& value)
{
    return fromHex(value.get<std::string>());
}

// The traced session keys have each byte's parity bit cleared; DES does not use it.
Bytes withoutParity(Bytes key)
{
    for (uint8_t& b : key) b &= 0xFE;
    return key;
}

struct KeyedDESFire : DESFire
{
    using DESFire::DESFire;
    void setSessionKey(const Bytes& key) { m_sessionKey = key; }
};

// The traced ISO authentications with a DES or 2K3DES key: the card's challenge and its answer to
// the traced token, with the traced RndB forced on the card.
TEST(DESFireVectors, EmulatedCardAnswersTheTracedIsoAuthentications)
{
    int checked = 0;
    for (const auto& c : examples()["authentication"]) {
        const Bytes key = hex(c["key"]);
        if (c["command"].is_string() && c["command"] != "1A")
            continue;
        if (key.size() != 8 && key.size() != 16)
            continue;  // 3K3DES: not a key this card holds
        SCOPED_TRACE(c["name"].get<std::string>());
        DesfireCard card;
        card.setKey(DesfireCard::PiccAid, 0, key);
        const Bytes fullKey = key.size() == 8 ? cat(key, key) : key;
        const Bytes encRndB = hex(c["rndb_enc"]);
        Bytes iv(8, 0x00);
        const Bytes rndB =
            c.contains("rndb") ? hex(c["rndb"]) : cc::cbcDecrypt(cc::Cipher::TDES, fullKey, iv, encRndB);
        card.forceRandom(rndB);
        ASSERT_EQ(card.exchange4({0x1A, 0x00}), cat({0xAF}, encRndB));

        const Bytes rndA = hex(c["rnda"]);
        iv = encRndB;
        const Bytes token = c.contains("rndab_enc") ? hex(c["rndab_enc"])
                                                    : cc::cbcEncrypt(cc::Cipher::TDES, fullKey, iv,
                                                                     cat(rndA, cc::rotateLeft(rndB, 1)));
        ASSERT_EQ(card.exchange4(cat({0xAF}, token)), cat({0x00}, hex(c["rnda_enc"])));
        EXPECT_EQ(card.authenticatedKey(), 0);
        EXPECT_EQ(withoutParity(DESFire::generateSessionKey(fullKey, rndA, rndB)),
                  withoutParity(key.size() == 8 ? cat(hex(c["session_key"]), hex(c["session_key"]))
                                                : hex(c["session_key"])));
        ++checked;
    }
    EXPECT_EQ(checked, 2);
}

// GetVersion in the DES session of the 8-byte key example: the command's CMAC moves the IV, and the
// last frame carries the CMAC over all data and the status.
TEST(DESFireVectors, EmulatedCardCmacsGetVersionAsTraced)
{
    const nlohmann::json* des = nullptr;
    for (const auto& c : examples()["authentication"])
        if (hex(c["key"]).size() == 8)
            des = &c;
    ASSERT_NE(des, nullptr);
    const auto& trace = examples()["cmac"][0];
    const Bytes key(16, 0x00);
    const Bytes encRndB = hex((*des)["rndb_enc"]);
    Bytes iv(8, 0x00);
    const Bytes rndB = cc::cbcDecrypt(cc::Cipher::TDES, key, iv, encRndB);

    std::vector<Bytes> frames;
    for (const auto& f : trace["rx_frames"]) frames.push_back(hex(f));
    DesfireCard card;
    card.setVersion(Bytes(frames[0].begin() + 1, frames[0].end()),
                    Bytes(frames[1].begin() + 1, frames[1].end()),
                    Bytes(frames[2].begin() + 1, frames[2].end() - 8));
    card.forceRandom(rndB);
    ASSERT_EQ(card.exchange4({0x1A, 0x00}), cat({0xAF}, encRndB));
    iv = encRndB;
    const Bytes token =
        cc::cbcEncrypt(cc::Cipher::TDES, key, iv, cat(hex((*des)["rnda"]), cc::rotateLeft(rndB, 1)));
    ASSERT_EQ(card.exchange4(cat({0xAF}, token)), cat({0x00}, hex((*des)["rnda_enc"])));

    EXPECT_EQ(card.exchange4(hex(trace["tx_data"])), frames[0]);
    EXPECT_EQ(card.exchange4({0xAF}), frames[1]);
    EXPECT_EQ(card.exchange4({0xAF}), frames[2]);
    EXPECT_EQ(Bytes(frames[2].end() - 8, frames[2].end()), hex(trace["rx_cmac"]));
}

class DESFireVectorsField : public DESFireField
{
};

// The traced ChangeKey commands with Triple-DES session keys, sent through the reader: the key itself
// for the authenticated key, new XOR current with the new key's CRC for another.
TEST_F(DESFireVectorsField, ChangeKeyCryptogramsMatchTheTraces)
{
    int checked = 0;
    for (const auto& c : examples()["change_key"]) {
        if (c["new_key_type"] == "AES")
            continue;  // AES keys carry a version byte this encoding does not send
        SCOPED_TRACE(c["name"].get<std::string>());
        const uint8_t keyNo = hex(c["key_no"])[0];
        Bytes session = hex(c["session_key"]);
        if (session.size() == 8)
            session = cat(session, session);
        auto scripted = std::make_shared<emulators::ScriptedCard>(emulators::ScriptedCard::desfireIdentity());
        scripted->expect4(cat({0xC4, keyNo}, hex(c["cryptogram_enc"])), {0x00});
        ASSERT_NO_FATAL_FAILURE(place(scripted));
        KeyedDESFire keyed(link, scripted->identity().uid, scripted->identity().ats);
        keyed.setSessionKey(session);
        const Bytes oldKey = c.contains("current_key") ? hex(c["current_key"]) : Bytes();
        EXPECT_EQ(keyed.changeKey(keyNo, hex(c["new_key"]), oldKey), 0);
        EXPECT_TRUE(scripted->allUsed()) << scripted->report();
        ++checked;
    }
    EXPECT_EQ(checked, 3);
}

// The traced 2K3DES key authenticates the class against the emulated card end to end.
TEST_F(DESFireVectorsField, TracedKeyAuthenticatesAgainstTheEmulatedCard)
{
    const Bytes key = hex(examples()["authentication"][0]["key"]);
    card->setKey(DesfireCard::PiccAid, 0, key);
    EXPECT_EQ(desfire->authenticate(0, Bytes(16, 0x00)), 0xAE);
    ASSERT_EQ(desfire->authenticate(0, key), 0);
    EXPECT_EQ(card->authenticatedKey(), 0);
}

}  // namespace
