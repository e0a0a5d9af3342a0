// The published EV2 worked examples (NTAG 424 DNA application note): the clear-key
// AuthenticateEV2First replayed through the reader against a card that gives the published answers,
// with the published RndA in place of a random one, and the request and response MACs of the
// secure-messaging examples at their command counters. The note's ISO-wrapped APDUs
// (90 INS 00 00 Lc data 00 / data 91 SW2) are sent as the native frames they wrap.
#include <gtest/gtest.h>

#include "DESFireField.h"
#include "NFC/Protocols/DESFireEV2.h"
#include "TestSupport.h"
#include "emulators/CardCrypto.h"
#include "emulators/Hex.h"
#include "emulators/MifareSam.h"
#include "emulators/ScriptedCard.h"

using desfiretest::Bytes;
using desfiretest::cat;
using desfiretest::DESFireField;
using emulators::fromHex;
using NFC::DESFire;
using NFC::DESFireEV2;
namespace cc = emulators::cardcrypto;

namespace {

const nlohmann::json& note()
{
    static const nlohmann::json json = testsupport::loadVectors("nxp_an12196_ntag424_ev2.json");
    return json;
}

Bytes hex(const nlohmann::json& value)
{
    return fromHex(value.get<std::string>());
}

Bytes part(const Bytes& v, size_t from, size_t n)
{
    return Bytes(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n));
}

// 90 INS 00 00 Lc data [Le]: INS followed by the data.
Bytes nativeCommand(const Bytes& capdu)
{
    return cat({capdu.at(1)}, part(capdu, 5, capdu.at(4)));
}

// data 91 SW2: SW2 followed by the data.
Bytes nativeAnswer(const Bytes& rapdu)
{
    return cat({rapdu.back()}, part(rapdu, 0, rapdu.size() - 2));
}

uint32_t le24(const Bytes& v, size_t pos)
{
    return static_cast<uint32_t>(v.at(pos) | v.at(pos + 1) << 8 | v.at(pos + 2) << 16);
}

// The class with its random RndA replaced and its session open to inspection.
class ReplayEV2 : public DESFireEV2
{
public:
    using DESFireEV2::DESFireEV2;

    Bytes rndA;

    void resume(const Bytes& macKey, const Bytes& ti, uint16_t counter)
    {
        m_sessionKeyMac = macKey;
        m_ti = ti;
        m_cmdCtr = counter;
        m_authenticated = true;
    }
    const Bytes& macKey() const { return m_sessionKeyMac; }
    const Bytes& encKey() const { return m_sessionKeyEnc; }

protected:
    Bytes challenge(unsigned n) override { return rndA.empty() ? DESFireEV2::challenge(n) : rndA; }
};

class EV2Vectors : public DESFireField
{
protected:
    std::shared_ptr<emulators::ScriptedCard> scripted()
    {
        auto card = std::make_shared<emulators::ScriptedCard>(emulators::ScriptedCard::desfireIdentity());
        place(card);
        return card;
    }

    ReplayEV2 replay() { return ReplayEV2(link, desfire->uid(), desfire->ats()); }
};

TEST_F(EV2Vectors, ClearKeyAuthenticationReproducesThePublishedExchange)
{
    int checked = 0;
    for (const auto& a : note()["authentication"]) {
        if (!a.contains("capdu_part1") || !a.contains("rapdu_part2"))
            continue;  // the NonFirst example continues a session this class does not resume
        SCOPED_TRACE(a["name"].get<std::string>());
        std::shared_ptr<emulators::ScriptedCard> card;
        ASSERT_NO_FATAL_FAILURE(card = scripted());
        card->expect4(nativeCommand(hex(a["capdu_part1"])), nativeAnswer(hex(a["rapdu_part1"])));
        card->expect4(nativeCommand(hex(a["capdu_part2"])), nativeAnswer(hex(a["rapdu_part2"])));
        ReplayEV2 ev2 = replay();
        ev2.rndA = hex(a["rnda"]);

        ASSERT_EQ(ev2.authenticateEV2First(hex(a["key_no"])[0], hex(a["key"])), 0);
        EXPECT_TRUE(card->allUsed()) << card->report();
        EXPECT_TRUE(ev2.authenticatedEV2());
        EXPECT_EQ(ev2.transactionIdentifier(), hex(a["ti"]));
        EXPECT_EQ(ev2.commandCounter(), 0);
        EXPECT_EQ(ev2.macKey(), hex(a["ses_auth_mac_key"]));
        EXPECT_EQ(ev2.encKey(), hex(a["ses_auth_enc_key"]));
        ++checked;
    }
    EXPECT_EQ(checked, 2);
}

// A card whose RndA' is not our RndA rotated, or whose answers are cut short, leaves no session.
TEST_F(EV2Vectors, MismatchedOrShortAnswersLeaveNoSession)
{
    const auto& a = note()["authentication"][0];
    const Bytes key = hex(a["key"]);
    const Bytes rndB = hex(a["rndb"]);
    Bytes otherA = hex(a["rnda"]);
    otherA[15] ^= 0x01;
    Bytes iv(16, 0x00);
    const Bytes token = cc::cbcEncrypt(cc::Cipher::AES, key, iv, cat(otherA, cc::rotateLeft(rndB, 1)));
    std::shared_ptr<emulators::ScriptedCard> card;
    ASSERT_NO_FATAL_FAILURE(card = scripted());
    card->expect4(nativeCommand(hex(a["capdu_part1"])), nativeAnswer(hex(a["rapdu_part1"])));
    card->expect4(cat({0xAF}, token), nativeAnswer(hex(a["rapdu_part2"])));
    ReplayEV2 ev2 = replay();
    ev2.rndA = otherA;
    EXPECT_EQ(ev2.authenticateEV2First(0, key), 0xFFFA);
    EXPECT_TRUE(card->allUsed()) << card->report();
    EXPECT_FALSE(ev2.authenticatedEV2());
    EXPECT_TRUE(ev2.transactionIdentifier().empty());

    // Every cut of either answer is too short to use.
    const Bytes answers[] = {nativeAnswer(hex(a["rapdu_part1"])), nativeAnswer(hex(a["rapdu_part2"]))};
    for (size_t step = 0; step < 2; ++step)
        for (size_t keep = 0; keep < answers[step].size(); ++keep) {
            ASSERT_NO_FATAL_FAILURE(card = scripted());
            card->expect4(nativeCommand(hex(a["capdu_part1"])),
                          step == 0 ? part(answers[0], 0, keep) : answers[0]);
            card->expect4(nativeCommand(hex(a["capdu_part2"])), part(answers[1], 0, keep));
            ReplayEV2 cut = replay();
            cut.rndA = hex(a["rnda"]);
            EXPECT_EQ(cut.authenticateEV2First(0, key), 0xFFFE) << step << " " << keep;
            EXPECT_FALSE(cut.authenticatedEV2());
        }
    // A success status where the challenge belongs is not taken for one.
    ASSERT_NO_FATAL_FAILURE(card = scripted());
    card->expect4(nativeCommand(hex(a["capdu_part1"])), cat({0x00}, part(answers[0], 1, 16)));
    ReplayEV2 early = replay();
    EXPECT_EQ(early.authenticateEV2First(0, key), 0xFFFE);
    EXPECT_TRUE(card->allUsed()) << card->report();
    // A key that is not AES-128 sends nothing.
    ASSERT_NO_FATAL_FAILURE(card = scripted());
    EXPECT_EQ(early.authenticateEV2First(0, Bytes(24, 0x00)), 0xFFFF);
    EXPECT_TRUE(card->allUsed()) << card->report();
}

// Each example's request MAC, in the form of this class that covers the same fields, and its
// response MAC checked with the counter advanced past the command; a changed byte is refused.
TEST_F(EV2Vectors, SecureMessagingMacsAtTheirCounters)
{
    int requests = 0, responses = 0;
    for (const auto& m : note()["secure_messaging"]) {
        SCOPED_TRACE(m["name"].get<std::string>());
        const Bytes ti = hex(m["ti"]);
        const uint16_t counter = m["cmd_ctr"];
        const uint8_t cmd = hex(m["cmd"])[0];
        const Bytes header = m.contains("cmd_header") ? hex(m["cmd_header"]) : Bytes();
        ReplayEV2 ev2 = replay();
        ev2.resume(hex(m["ses_auth_mac_key"]), ti, counter);

        // What the MAC covers after the header: the cipher text sent, or nothing.
        Bytes sentMac, payload;
        if (m.contains("capdu")) {
            const Bytes body = part(nativeCommand(hex(m["capdu"])), 1, hex(m["capdu"])[4]);
            sentMac = part(body, body.size() - 8, 8);
            payload = part(body, header.size(), body.size() - header.size() - 8);
        }
        Bytes request;
        if (header.empty())
            request = ev2.generateRequestMAC(cmd);
        else if (header.size() == 1 && payload.empty())
            request = ev2.generateRequestMAC(cmd, header[0]);
        else if (header.size() == 7)
            request = ev2.generateRequestMAC(cmd, header[0], le24(header, 1), le24(header, 4), payload);
        if (!request.empty() && !sentMac.empty()) {
            EXPECT_EQ(request, m.contains("mact") ? hex(m["mact"]) : sentMac);
            EXPECT_EQ(request, sentMac);
            ++requests;
        }
        if (header.size() == 7 && !sentMac.empty()) {
            // The frame this class would send for the same fields ends in the same MAC.
            const Bytes frame =
                ev2.encodeRequest(DESFire::MACed, cmd, header[0], le24(header, 1), le24(header, 4), payload);
            EXPECT_EQ(frame, cat(cat(cat({cmd}, header), payload), sentMac));
        }

        Bytes answerMac;
        if (m.contains("response_mact"))
            answerMac = hex(m["response_mact"]);
        else if (m.contains("rapdu"))
            answerMac = nativeAnswer(hex(m["rapdu"]));
        if (answerMac.size() == 9)
            answerMac.erase(answerMac.begin());
        if (answerMac.empty())
            continue;
        const Bytes data = m.contains("response_data")         ? hex(m["response_data"])
                           : m.contains("response_ciphertext") ? hex(m["response_ciphertext"])
                                                               : Bytes();
        Bytes out = {0x55};
        ASSERT_EQ(ev2.decodeResponse(DESFire::MACed, cat(data, answerMac), out), 0);
        EXPECT_EQ(out, data);
        EXPECT_EQ(ev2.commandCounter(), counter + 1);

        Bytes tampered = cat(data, answerMac);
        tampered[tampered.size() / 2] ^= 0x80;
        ev2.resume(hex(m["ses_auth_mac_key"]), ti, counter);
        out = {0x55};
        EXPECT_EQ(ev2.decodeResponse(DESFire::MACed, tampered, out), 0xFFFB);
        EXPECT_EQ(out, Bytes{0x55});
        ++responses;
    }
    EXPECT_EQ(requests, 4);
    EXPECT_EQ(responses, 6);
}

// The emulated SAM's offline key, activated with the published diversification input, ciphers and
// MACs under the published diversified key.
TEST(EV2VectorsSam, OfflineKeyIsThePublishedDiversifiedKey)
{
    const nlohmann::json doc = testsupport::loadVectors("nxp_an10922_key_diversification.json");
    const auto& c = doc["cases"][0];
    ASSERT_EQ(c["key_type"], "AES128");
    const Bytes divInput = cat(cat(hex(c["uid"]), hex(c["aid"])), hex(c["system_identifier"]));
    const uint8_t version = c["master_key_version"];
    emulators::MifareSam sam;
    sam.powerOn();
    sam.setUnlocked(true);
    sam.setKeyEntry(7, emulators::MifareSam::KeyEntry::make(emulators::MifareSam::Aes128,
                                                            emulators::MifareSam::OfflineCrypto,
                                                            hex(c["master_key"]), version));
    auto send = [&](uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data) {
        emulators::SlotCard::Apdu apdu;
        apdu.cla = 0x80, apdu.ins = ins, apdu.p1 = p1, apdu.p2 = p2, apdu.data = data, apdu.hasLe = true;
        return sam.apdu(apdu).value_or(emulators::SlotCard::Response{{}, 0});
    };
    ASSERT_EQ(send(0x01, 0x01, 0x00, cat({7, version}, divInput)).sw, 0x9000);
    const Bytes key = hex(c["diversified_key"]);
    const Bytes block = fromHex("00112233445566778899AABBCCDDEEFF");
    Bytes iv(16, 0x00);
    const auto enciphered = send(0x0E, 0x00, 0x00, block);
    EXPECT_EQ(enciphered.data, cc::cbcEncrypt(cc::Cipher::AES, key, iv, block));
    const auto mac = send(0x7C, 0x00, 0x10, block);
    EXPECT_EQ(mac.data, cc::cmac(cc::Cipher::AES, key, block));
}

}  // namespace
