// NFC::MifareSAM end to end: the real class, ISO 7816 link and Elatec driver on one side of a
// pseudo-terminal, the emulated reader with the emulated MIFARE SAM in slot 0 on the other. The card
// side of each card session is computed here with the emulators' own OpenSSL code.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>

#include "TestSupport.h"
#include "NFC/ISO7816.h"
#include "NFC/Protocols/MifareSAM.h"
#include "drivers/ElatecTWN/Driver.h"
#include "emulators/CardCrypto.h"
#include "emulators/ElatecReader.h"
#include "emulators/Hex.h"
#include "emulators/MifareSam.h"

using emulators::Bytes;
using emulators::ElatecReader;
using emulators::fromHex;
using emulators::MifareSam;
namespace cc = emulators::cardcrypto;

namespace {

const Bytes HostKey128 = fromHex("00112233445566778899AABBCCDDEEFF");
const Bytes HostKey192 = fromHex("0F1E2D3C4B5A69788796A5B4C3D2E1F00102030405060708");
const Bytes Av1DesKey = fromHex("1122334455667788 1122334455667788");
const Bytes PiccKey = fromHex("00102031405060708090A0B0B0A09080");
const Bytes PiccAesKey = fromHex("A0A1A2A3A4A5A6A7A8A9AAABACADAEAF");
const Bytes OfflineKey = fromHex("2B7E151628AED2A6ABF7158809CF4F3C");
const Bytes Uid = fromHex("04782E21801D80");

enum : uint8_t
{
    HostEntry128 = 0,
    HostEntry192 = 1,
    Av1DesEntry = 2,
    Av1AesEntry = 3,
    PiccEntry = 10,
    PiccNewEntry = 11,
    PiccAesEntry = 12,
    OfflineEntry = 20,
};

// Forwards to the emulated SAM and, once armed, cuts the data of one answer to a given length
// (the status word stays), recording the length of every answer it passes on.
class CuttingSam : public emulators::SlotCard
{
public:
    explicit CuttingSam(std::shared_ptr<MifareSam> sam) : m_sam(std::move(sam)) {}

    void arm(size_t index, size_t length)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_count = 0;
        m_index = index;
        m_length = length;
        m_sizes.clear();
    }
    void disarm() { arm(SIZE_MAX, 0); }
    std::vector<size_t> sizes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sizes;
    }

    std::optional<Bytes> powerOn() override { return m_sam->powerOn(); }
    void powerOff() override { m_sam->powerOff(); }
    std::optional<Bytes> transceive(const Bytes& raw) override { return m_sam->transceive(raw); }
    void setCommSettings(const Bytes& settings) override { m_sam->setCommSettings(settings); }
    std::optional<Response> tpdu(const Bytes& header, const Bytes& data) override
    {
        return m_sam->tpdu(header, data);
    }
    std::optional<Response> apdu(const Apdu& command) override
    {
        std::optional<Response> r = m_sam->apdu(command);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (r) {
            m_sizes.push_back(r->data.size());
            if (m_count == m_index && m_length < r->data.size())
                r->data.resize(m_length);
        }
        ++m_count;
        return r;
    }

private:
    std::shared_ptr<MifareSam> m_sam;
    mutable std::mutex m_mutex;
    size_t m_count = 0;
    size_t m_index = SIZE_MAX;
    size_t m_length = 0;
    std::vector<size_t> m_sizes;
};

// One APDU as the driver put it on the line.
struct SentApdu
{
    uint8_t cla, ins, p1, p2;
    uint16_t lc;
    bool hasLe;
    Bytes data;
};

// A DESFire card's half of the native authentication and of its session, for a 2K3DES key.
struct NativeCard
{
    Bytes key;
    Bytes rndB;
    Bytes rndA;

    Bytes challenge()
    {
        rndB = cc::random(8);
        Bytes iv(8, 0x00);
        return cc::cbcEncrypt(cc::Cipher::TDES, key, iv, rndB);
    }
    // The reader's token was made in send mode; the card undoes it with encryption.
    Bytes answer(const Bytes& token)
    {
        if (token.size() != 16)
            return {};
        Bytes iv(8, 0x00);
        const Bytes c1(token.begin(), token.begin() + 8);
        const Bytes c2(token.begin() + 8, token.end());
        rndA = cc::cbcEncrypt(cc::Cipher::TDES, key, iv, c1);
        iv.assign(8, 0x00);
        Bytes rotated = cc::cbcEncrypt(cc::Cipher::TDES, key, iv, c2);
        for (size_t i = 0; i < 8; ++i) rotated[i] ^= c1[i];
        if (rotated != cc::rotateLeft(rndB, 1))
            return {};
        iv.assign(8, 0x00);
        return cc::cbcEncrypt(cc::Cipher::TDES, key, iv, cc::rotateLeft(rndA, 1));
    }
    Bytes sessionKey() const
    {
        Bytes k(rndA.begin(), rndA.begin() + 4);
        k.insert(k.end(), rndB.begin(), rndB.begin() + 4);
        k.insert(k.end(), rndA.begin() + 4, rndA.end());
        k.insert(k.end(), rndB.begin() + 4, rndB.end());
        return k;
    }
    // What the card sends when it enciphers: data, CRC16, zeros, CBC from a zero IV.
    Bytes encipher(const Bytes& plain) const
    {
        Bytes body = withCrc(plain);
        Bytes iv(8, 0x00);
        return cc::cbcEncrypt(cc::Cipher::TDES, sessionKey(), iv, body);
    }
    // What the card expects from the reader: the same body in send mode.
    Bytes expectedFromReader(const Bytes& plain) const
    {
        return cc::sendModeEncipher(sessionKey(), withCrc(plain));
    }
    static Bytes withCrc(const Bytes& plain)
    {
        Bytes body = plain;
        const uint16_t crc = cc::crcA(plain);
        body.push_back(static_cast<uint8_t>(crc));
        body.push_back(static_cast<uint8_t>(crc >> 8));
        while (body.size() % 8 != 0) body.push_back(0x00);
        return body;
    }
};

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

class MifareSAMTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        reader = std::make_unique<ElatecReader>(ElatecReader::Mode::BinaryCrc);
        sam = std::make_shared<MifareSam>(MifareSam::Generation::AV3);
        cutter = std::make_shared<CuttingSam>(sam);
        sam->setKeyEntry(HostEntry128,
                         MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::Host, HostKey128));
        sam->setKeyEntry(HostEntry192,
                         MifareSam::KeyEntry::make(MifareSam::Aes192, MifareSam::Host, HostKey192, 3));
        sam->setKeyEntry(Av1DesEntry,
                         MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Host, Av1DesKey));
        sam->setKeyEntry(Av1AesEntry,
                         MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::Host, HostKey128));
        MifareSam::KeyEntry picc =
            MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Picc, PiccKey, 1);
        picc.refNoKUC = 2;
        sam->setKeyEntry(PiccEntry, picc);
        sam->setKeyEntry(PiccNewEntry, MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Picc,
                                                                 pattern(16, 0x31), 2));
        sam->setKeyEntry(PiccAesEntry,
                         MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::Picc, PiccAesKey));
        sam->setKeyEntry(OfflineEntry,
                         MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::OfflineCrypto, OfflineKey));
        reader->setSam(0, cutter);

        driver = std::make_shared<ElatecTWN::Driver>(testsupport::SlowLineReadTimeoutMs);
        std::string error;
        ASSERT_TRUE(testsupport::openAsTheServiceDoes(
            *reader, [&] { return driver->open(reader->devicePath(), 115200, &error); }))
            << error;
        link = std::make_shared<NFC::ISO7816>(driver, 0);
        Bytes atr;
        ASSERT_TRUE(link->powerOn(&atr));
        ASSERT_EQ(atr, NFC::MifareSAM::ExpectedATR_AV3);
        client = std::make_shared<NFC::MifareSAM>(link, atr);
        ASSERT_TRUE(client->setDefaultPPS());
        reader->clearReceived();
    }

    void unlock() { ASSERT_EQ(client->lockUnlock(HostKey128, HostEntry128, 0, false, false), 0); }

    // Native card authentication with the emulated card; returns the card.
    NativeCard authenticateCard()
    {
        NativeCard card{PiccKey, {}, {}};
        Bytes out;
        EXPECT_EQ(client->authenticatePICCPart1(PiccEntry, 0x00, card.challenge(), Uid, out, 1), 0);
        EXPECT_EQ(client->authenticatePICCPart2(card.answer(out)), 0);
        return card;
    }

    std::vector<SentApdu> sent() const
    {
        std::vector<SentApdu> out;
        for (const auto& r : reader->received()) {
            if (r.command != 0x1005 || r.params.size() < 14)
                continue;
            const Bytes& p = r.params;
            SentApdu a{p[1], p[2], p[3], p[4], static_cast<uint16_t>(p[5] | p[6] << 8), (p[9] & 1) != 0, {}};
            a.data.assign(p.begin() + 12, p.end() - 2);
            out.push_back(a);
        }
        return out;
    }

    std::unique_ptr<ElatecReader> reader;
    std::shared_ptr<MifareSam> sam;
    std::shared_ptr<CuttingSam> cutter;
    std::shared_ptr<ElatecTWN::Driver> driver;
    std::shared_ptr<NFC::ISO7816> link;
    std::shared_ptr<NFC::MifareSAM> client;
};

TEST_F(MifareSAMTest, LockUnlockHoldsUpOverManyRandomChallengesWithBothHostKeyLengths)
{
    struct Host
    {
        const Bytes& key;
        uint8_t entry;
        uint8_t version;
    };
    for (const Host& host : {Host{HostKey128, HostEntry128, 0}, Host{HostKey192, HostEntry192, 3}}) {
        for (int i = 0; i < 500; ++i) {
            // Every few rounds the SAM's challenges end the way padding does.
            if (i % 5 == 0) {
                Bytes rnd12 = cc::random(12);
                Bytes rnd16 = cc::random(16);
                rnd12.back() = 0x80;
                rnd16[14] = 0x80;
                rnd16[15] = i % 10 == 0 ? 0x00 : 0x80;
                sam->forceRandom(rnd12);
                sam->forceRandom(rnd16);
            }
            ASSERT_EQ(client->lockUnlock(host.key, host.entry, host.version, false, false), 0)
                << "round " << i;
            ASSERT_TRUE(client->unlocked());
            ASSERT_TRUE(sam->unlocked());
        }
        ASSERT_EQ(client->lockUnlock(host.key, host.entry, host.version, false, true), 0);
        EXPECT_FALSE(client->unlocked());
        EXPECT_FALSE(sam->unlocked());
    }

    Bytes wrong = HostKey128;
    wrong[5] ^= 0x01;
    EXPECT_EQ(client->lockUnlock(wrong, HostEntry128, 0, false, false), 0x901E);
    EXPECT_FALSE(client->unlocked());
    EXPECT_FALSE(sam->unlocked());
    EXPECT_EQ(client->lockUnlock(HostKey192, HostEntry128, 0, false, false), 0x901E);
    EXPECT_FALSE(sam->unlocked());
    EXPECT_EQ(client->lockUnlock(HostKey128, HostEntry128, 9, false, false), 0x6A82);
}

TEST_F(MifareSAMTest, HostAuthenticationFormsAndTheirFraming)
{
    EXPECT_EQ(client->authenticateHost(HostKey192, HostEntry192, 3), 0);
    EXPECT_TRUE(client->unlocked());
    EXPECT_EQ(client->killAuthentication(), 0);
    EXPECT_TRUE(client->unlocked());

    reader->clearReceived();
    ASSERT_EQ(client->lockUnlock(HostKey128, HostEntry128, 0, true, true), 0);
    EXPECT_TRUE(client->unlocked());
    std::vector<SentApdu> apdus = sent();
    ASSERT_EQ(apdus.size(), 3u);
    EXPECT_EQ(apdus[0].ins, 0x10);
    EXPECT_EQ(apdus[0].p1, 0x03);
    EXPECT_EQ(apdus[0].data, fromHex("00 00 00 00 00"));
    EXPECT_EQ(apdus[1].data.size(), 20u);
    EXPECT_EQ(apdus[2].data.size(), 32u);
    for (const SentApdu& a : apdus) EXPECT_TRUE(a.hasLe);

    // Keys the SAM cannot hold are refused before anything is sent.
    reader->clearReceived();
    Bytes session = {0xEE};
    EXPECT_NE(client->lockUnlock(Bytes(8, 0x11), HostEntry128, 0, false, false), 0);
    EXPECT_NE(client->authenticateHost(Bytes(32, 0x11), HostEntry128, 0), 0);
    EXPECT_NE(client->authenticateHostAV1mode(Bytes(15, 0x11), Av1DesEntry, 0, session), 0);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(session, Bytes{0xEE});
    EXPECT_FALSE(client->unlocked());

    // The SAM's first-pass challenge is exactly 12 bytes: with one more there is no second pass.
    Bytes longer = fromHex("01 0D 00");
    longer.insert(longer.end(), 13, 0x5A);
    longer.insert(longer.end(), {0xAF, 0x90});  // 0x90AF, low byte first
    reader->inject({ElatecReader::Fault::Replace, 0, 0x1005, longer});
    EXPECT_EQ(client->authenticateHost(HostKey128, HostEntry128, 0), 0xFF02);
    EXPECT_EQ(sent().size(), 1u);

    // The AV1 two-pass form, with a single-DES and an AES key, leaves the SAM's session key here.
    const std::vector<std::pair<Bytes, uint8_t>> av1Keys = {{Av1DesKey, Av1DesEntry},
                                                            {HostKey128, Av1AesEntry}};
    for (const auto& [key, entry] : av1Keys) {
        Bytes sessionKey;
        ASSERT_EQ(client->authenticateHostAV1mode(key, entry, 0, sessionKey), 0);
        EXPECT_TRUE(client->unlocked());
        EXPECT_EQ(sessionKey, sam->av1SessionKey());
    }
}

TEST_F(MifareSAMTest, KeyEntriesRoundTripInBothForms)
{
    unlock();
    NFC::MifareSAM::KeyEntry entry;
    ASSERT_EQ(client->getKeyEntry(PiccEntry, entry), 0);
    EXPECT_EQ(entry.keyType(), "TDEA DESFire4");
    EXPECT_EQ(entry.keyClass(), "PICC");
    EXPECT_EQ(entry.verA, 1);
    EXPECT_EQ(entry.refNoKUC, 2);

    entry.keyA = pattern(16, 0x10);
    entry.keyB = pattern(16, 0x20);
    entry.keyC = pattern(16, 0x30);
    entry.dfAID = 0x010203;
    entry.SET = 0x2120;  // AES128 and flag bits
    entry.extSET = 0x04;
    entry.verA = 7;
    reader->clearReceived();
    ASSERT_EQ(client->changeKeyEntry(PiccEntry, entry), 0);
    const std::vector<SentApdu> apdus = sent();
    ASSERT_EQ(apdus.size(), 1u);
    EXPECT_EQ(apdus[0].lc, 61);
    EXPECT_EQ(Bytes(apdus[0].data.begin() + 48, apdus[0].data.begin() + 51), fromHex("01 02 03"));
    EXPECT_EQ(Bytes(apdus[0].data.begin() + 55, apdus[0].data.begin() + 57), fromHex("21 20"));
    EXPECT_EQ(sam->keyEntry(PiccEntry).set, 0x2120);
    EXPECT_EQ(sam->keyEntry(PiccEntry).keyB, entry.keyB);

    NFC::MifareSAM::KeyEntry back;
    ASSERT_EQ(client->getKeyEntry(PiccEntry, back), 0);
    EXPECT_EQ(back.SET, 0x2120);
    EXPECT_EQ(back.dfAID, 0x010203u);
    EXPECT_EQ(back.extSET, 0x04);
    EXPECT_EQ(back.verA, 7);
    EXPECT_EQ(back.keyType(), "AES128");
    EXPECT_EQ(back.keyClass(), "OfflineCrypto");

    // An AV1 SAM leaves the extended settings out.
    sam->setAv1Answers(true);
    back.extSET = 0x55;
    ASSERT_EQ(client->getKeyEntry(PiccEntry, back), 0);
    EXPECT_EQ(back.extSET, 0);

    // The enciphered AV1 form passes the SAM's CRC_A check under the AV1 session key.
    Bytes sessionKey;
    ASSERT_EQ(client->authenticateHostAV1mode(Av1DesKey, Av1DesEntry, 0, sessionKey), 0);
    entry.keyA = pattern(16, 0x44);
    entry.SET = 0x0120;
    ASSERT_EQ(client->changeKeyEntryAV1Mode(PiccNewEntry, entry, sessionKey), 0);
    EXPECT_EQ(sam->keyEntry(PiccNewEntry).keyA, entry.keyA);
    EXPECT_EQ(sam->keyEntry(PiccNewEntry).set, 0x0120);
    Bytes otherKey = sessionKey;
    otherKey[0] ^= 0x40;
    EXPECT_EQ(client->changeKeyEntryAV1Mode(PiccNewEntry, entry, otherKey), 0x6984);

    // Entries that do not fill the fixed body never reach the SAM.
    reader->clearReceived();
    NFC::MifareSAM::KeyEntry shortKeys = entry;
    shortKeys.keyC.resize(8);
    EXPECT_EQ(client->changeKeyEntry(PiccEntry, shortKeys), 0x6700);
    EXPECT_EQ(client->changeKeyEntryAV1Mode(PiccEntry, shortKeys, sessionKey), 0x6700);
    EXPECT_EQ(client->changeKeyEntryAV1Mode(PiccEntry, entry, Bytes(5, 0x01)), 0x6700);
    EXPECT_TRUE(sent().empty());
}

TEST_F(MifareSAMTest, VersionRandomCountersAndChannel)
{
    NFC::MifareSAM::Version version;
    ASSERT_EQ(client->getVersion(version), 0);
    EXPECT_EQ(version.hwVendor, 0x04);
    EXPECT_EQ(version.swProtocol, 0x01);
    EXPECT_EQ(version.uid, fromHex("04 5A 2B 3C 4D 5E 6F"));
    EXPECT_EQ(version.batch, fromHex("00 11 22 33 44"));
    EXPECT_EQ(version.mode, 0xA3);
    EXPECT_TRUE(client->check());

    Bytes v31 = pattern(31, 1);
    sam->setVersion(Bytes(v31.begin(), v31.end() - 1));
    EXPECT_FALSE(client->check());

    reader->clearReceived();
    sam->forceRandom(fromHex("F2 34 56 78"));
    int value = 0;
    ASSERT_EQ(client->getRandom(value), 0);
    EXPECT_EQ(static_cast<uint32_t>(value), 0xF2345678u);
    std::vector<SentApdu> apdus = sent();
    ASSERT_EQ(apdus.size(), 2u);
    for (const SentApdu& a : apdus) EXPECT_EQ(a.ins, 0x84);

    unlock();
    sam->setCounter(2, {1000, 0x05, 0x01, 0});
    authenticateCard();
    authenticateCard();
    NFC::MifareSAM::KUCEntry counter;
    ASSERT_EQ(client->getKUCEntry(2, counter), 0);
    EXPECT_EQ(counter.limit, 1000u);
    EXPECT_EQ(counter.keyNoCKUC, 0x05);
    EXPECT_EQ(counter.curVal, 2u);
    counter.limit = 2;
    counter.keyNoCKUC = 0x77;
    ASSERT_EQ(client->changeKUCEntry(2, counter), 0);
    EXPECT_EQ(sam->counter(2).limit, 2u);
    EXPECT_EQ(sam->counter(2).keyNo, 0x05);  // only the limit is programmed
    Bytes out;
    NativeCard card{PiccKey, {}, {}};
    EXPECT_EQ(client->authenticatePICCPart1(PiccEntry, 0x00, card.challenge(), {}, out, 1), 0x6986);

    client->setLogicalChannel(2);
    reader->clearReceived();
    (void)client->getVersion(version);
    (void)client->killAuthentication();
    apdus = sent();
    ASSERT_EQ(apdus.size(), 2u);
    for (const SentApdu& a : apdus) EXPECT_EQ(a.cla, 0x82);
    EXPECT_EQ(NFC::MifareSAM::errorToStr(0x6986), "Command not allowed in current conditions.");
    EXPECT_EQ(NFC::MifareSAM::errorToStr(0x1234), "Unknown error code.");
}

TEST_F(MifareSAMTest, CardSessionThroughTheSamMatchesTheCard)
{
    unlock();
    const NativeCard card = authenticateCard();
    const MifareSam::CardSession session = sam->cardSession();
    ASSERT_TRUE(session.active);
    EXPECT_EQ(session.key, card.sessionKey());

    const Bytes plain = pattern(247, 3);
    Bytes cipher = {0xAA};
    ASSERT_EQ(client->encipherData(plain, cipher, 0), 0);
    Bytes expected = {0xAA};
    const Bytes computed = card.expectedFromReader(plain);
    expected.insert(expected.end(), computed.begin(), computed.end());
    EXPECT_EQ(cipher, expected);

    const Bytes secret = pattern(250, 9);
    Bytes deciphered;
    ASSERT_EQ(client->decipherData(card.encipher(secret), deciphered, 250), 0);
    EXPECT_EQ(deciphered, secret);

    const Bytes data = pattern(256, 5);
    Bytes mac;
    ASSERT_EQ(client->generateMAC(data, mac, 0), 0);
    const Bytes cardMac = cc::cbcMac(card.sessionKey(), data);
    EXPECT_EQ(mac, Bytes(cardMac.begin(), cardMac.begin() + 4));
    Bytes signedData = data;
    signedData.insert(signedData.end(), mac.begin(), mac.end());
    EXPECT_EQ(client->verifyMAC(signedData, 0), 0);
    signedData[100] ^= 0x01;
    EXPECT_EQ(client->verifyMAC(signedData, 0), 0x901E);

    // ChangeKey of another key: new XOR current under both CRCs, in send mode.
    Bytes cryptogram;
    ASSERT_EQ(client->changeKeyPICC(0x01, 3, false, PiccEntry, 1, PiccNewEntry, 2, {}, cryptogram), 0);
    const Bytes newKey = pattern(16, 0x31);
    Bytes body(16);
    for (size_t i = 0; i < 16; ++i) body[i] = static_cast<uint8_t>(newKey[i] ^ PiccKey[i]);
    const uint16_t crcX = cc::crcA(body);
    const uint16_t crcN = cc::crcA(newKey);
    body.insert(body.end(), {static_cast<uint8_t>(crcX), static_cast<uint8_t>(crcX >> 8),
                             static_cast<uint8_t>(crcN), static_cast<uint8_t>(crcN >> 8), 0, 0, 0, 0});
    EXPECT_EQ(cryptogram, cc::sendModeEncipher(card.sessionKey(), body));

    // With bit 0 of the mode the SAM answers with the key diversified from the UID.
    NativeCard diversified{cc::diversify(cc::Cipher::TDES, PiccKey, Uid), {}, {}};
    Bytes token;
    ASSERT_EQ(client->authenticatePICCPart1(PiccEntry, 0x01, diversified.challenge(), Uid, token, 1), 0);
    EXPECT_EQ(client->authenticatePICCPart2(diversified.answer(token)), 0);

    // A card answer that does not prove the key ends the session attempt.
    NativeCard impostor{pattern(16, 0x77), {}, {}};
    Bytes out;
    ASSERT_EQ(client->authenticatePICCPart1(PiccEntry, 0x00, impostor.challenge(), {}, out, 1), 0);
    EXPECT_EQ(client->authenticatePICCPart2(Bytes(8, 0x00)), 0x901E);
}

TEST_F(MifareSAMTest, AesCardKeyDiversifiedFromTheUid)
{
    unlock();
    const Bytes cardKey = cc::diversifyAes128(PiccAesKey, Uid);
    const Bytes rndB = cc::random(16);
    Bytes iv(16, 0x00);
    const Bytes encRndB = cc::cbcEncrypt(cc::Cipher::AES, cardKey, iv, rndB);
    Bytes out;
    ASSERT_EQ(client->authenticatePICCPart1(PiccAesEntry, 0x01, encRndB, Uid, out, 0), 0);
    ASSERT_EQ(out.size(), 32u);
    const Bytes token = cc::cbcDecrypt(cc::Cipher::AES, cardKey, iv, out);
    ASSERT_EQ(Bytes(token.begin() + 16, token.end()), cc::rotateLeft(rndB, 1));
    const Bytes rndA(token.begin(), token.begin() + 16);
    const Bytes encRndA = cc::cbcEncrypt(cc::Cipher::AES, cardKey, iv, cc::rotateLeft(rndA, 1));
    ASSERT_EQ(client->authenticatePICCPart2(encRndA), 0);
    Bytes sessionKey(rndA.begin(), rndA.begin() + 4);
    sessionKey.insert(sessionKey.end(), rndB.begin(), rndB.begin() + 4);
    sessionKey.insert(sessionKey.end(), rndA.begin() + 12, rndA.end());
    sessionKey.insert(sessionKey.end(), rndB.begin() + 12, rndB.end());
    EXPECT_EQ(sam->cardSession().key, sessionKey);

    // EV1 MACs chain their IV from one command to the next.
    Bytes mac1, mac2;
    ASSERT_EQ(client->generateMAC(fromHex("6C 01"), mac1, 0), 0);
    ASSERT_EQ(client->generateMAC(fromHex("6C 01"), mac2, 0), 0);
    const Bytes full1 = cc::cmac(cc::Cipher::AES, sessionKey, fromHex("6C 01"), Bytes(16, 0x00));
    EXPECT_EQ(mac1, Bytes(full1.begin(), full1.begin() + 8));
    const Bytes full2 = cc::cmac(cc::Cipher::AES, sessionKey, fromHex("6C 01"), full1);
    EXPECT_EQ(mac2, Bytes(full2.begin(), full2.begin() + 8));
}

TEST_F(MifareSAMTest, OfflineKeyCiphersWithoutPaddingAlignedData)
{
    unlock();
    ASSERT_EQ(client->activateOfflineKey(OfflineEntry, 0, Uid), 0);
    const Bytes key = cc::diversifyAes128(OfflineKey, Uid);

    Bytes challenge = cc::random(16);
    challenge[14] = 0x80;
    challenge[15] = 0x00;
    Bytes cipher;
    ASSERT_EQ(client->encipherOfflineData(challenge, cipher), 0);
    Bytes iv(16, 0x00);
    EXPECT_EQ(cipher, cc::cbcEncrypt(cc::Cipher::AES, key, iv, challenge));
    Bytes plain;
    ASSERT_EQ(client->decipherOfflineData(cipher, plain), 0);
    EXPECT_EQ(plain, challenge);

    Bytes padded;
    ASSERT_EQ(client->encipherOfflineData(pattern(17, 1), padded), 0);
    EXPECT_EQ(padded.size(), 32u);

    const Bytes loaded = pattern(16, 0x60);
    ASSERT_EQ(client->loadInitVector(loaded), 0);
    Bytes chained;
    ASSERT_EQ(client->encipherOfflineData(challenge, chained), 0);
    iv = loaded;
    EXPECT_EQ(chained, cc::cbcEncrypt(cc::Cipher::AES, key, iv, challenge));

    const Bytes sv = pattern(32, 0x5A);
    Bytes mac;
    ASSERT_EQ(client->generateMAC(sv, mac, 16), 0);
    EXPECT_EQ(mac, cc::cmac(cc::Cipher::AES, key, sv));
}

TEST_F(MifareSAMTest, ChainedCommandsAreFramedAtTheirLimits)
{
    unlock();
    authenticateCard();
    auto framesOf = [&](const std::function<void()>& run) {
        reader->clearReceived();
        run();
        return sent();
    };
    Bytes out;
    std::vector<SentApdu> f = framesOf([&] { ASSERT_EQ(client->encipherData(pattern(246, 1), out, 0), 0); });
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].p1, 0x00);
    f = framesOf([&] { ASSERT_EQ(client->encipherData(pattern(247, 1), out, 0x13), 0); });
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].p1, 0xAF);
    EXPECT_EQ(f[0].data.size(), 246u);
    EXPECT_EQ(f[1].p1, 0x00);
    EXPECT_EQ(f[1].data.size(), 1u);
    EXPECT_EQ(f[0].p2, 0x03);
    EXPECT_EQ(f[1].p2, 0x03);
    EXPECT_TRUE(f[0].hasLe && f[1].hasLe);

    f = framesOf([&] { ASSERT_EQ(client->generateMAC(pattern(255, 1), out, 0x28), 0); });
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].p2, 0x08);
    EXPECT_TRUE(f[0].hasLe);
    f = framesOf([&] { ASSERT_EQ(client->generateMAC(pattern(256, 1), out, 4), 0); });
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].p1, 0xAF);
    EXPECT_EQ(f[0].data.size(), 255u);
    EXPECT_FALSE(f[0].hasLe);
    EXPECT_EQ(f[1].p1, 0x00);
    EXPECT_EQ(f[1].p2, 0x04);

    // The plain length goes first; a ciphertext the SAM cannot take is still framed the same way.
    f = framesOf([&] { EXPECT_NE(client->decipherData(pattern(250, 1), out, 0x010203), 0); });
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(Bytes(f[0].data.begin(), f[0].data.begin() + 3), fromHex("03 02 01"));
    EXPECT_EQ(f[0].data.size(), 251u);
    EXPECT_EQ(f[0].p1, 0xAF);
    EXPECT_EQ(f[1].data.size(), 2u);
    EXPECT_EQ(f[1].p1, 0x00);

    f = framesOf([&] { (void)client->authenticatePICCPart1(PiccEntry, 0x00, Bytes(8, 1), Uid, out, 1); });
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].data.size(), 10u);
    f = framesOf([&] { (void)client->changeKeyPICC(0x02, 0x13, true, 1, 2, 3, 4, Uid, out); });
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].p1, 0x02);
    EXPECT_EQ(f[0].p2, 0x13);
    EXPECT_EQ(f[0].data.size(), 4u + Uid.size());

    // Nothing longer than a short APDU goes out.
    f = framesOf([&] { EXPECT_EQ(client->loadInitVector(Bytes(300, 0)), 0x6700); });
    EXPECT_TRUE(f.empty());
}

// Every SAM answer of each operation, cut to every shorter length: always an error code, and the
// caller's outputs as they were.
TEST_F(MifareSAMTest, TruncatedAnswersAreErrorsThatLeaveOutputsAlone)
{
    const Bytes sentinel = {0x5E, 0x5E};
    struct Operation
    {
        const char* name;
        std::function<void()> prepare;
        // Runs the operation; returns its code and whether its outputs are as they were.
        std::function<std::pair<int, bool>()> run;
        // An answer length that is a valid shorter form (the AV1 key entry), or none.
        std::function<bool(size_t exchange, size_t length)> acceptable;
    };
    auto none = [](size_t, size_t) { return false; };
    auto session = [&] {
        unlock();
        authenticateCard();
    };
    auto unlocked = [&] { unlock(); };
    auto nothing = [] {};
    const Bytes secret = pattern(250, 2);
    Bytes secretCipher;

    std::vector<Operation> operations = {
        {"getVersion", nothing,
         [&] {
             NFC::MifareSAM::Version v;
             v.mode = 0x5E;
             const int rc = client->getVersion(v);
             return std::make_pair(rc, v.mode == 0x5E && v.uid.empty());
         },
         none},
        {"getKeyEntry", nothing,
         [&] {
             NFC::MifareSAM::KeyEntry e;
             e.verA = 0x5E;
             e.extSET = 0x5E;
             const int rc = client->getKeyEntry(PiccEntry, e);
             return std::make_pair(rc, e.verA == 0x5E && e.extSET == 0x5E);
         },
         [](size_t, size_t length) { return length == 12; }},
        {"getKUCEntry", nothing,
         [&] {
             NFC::MifareSAM::KUCEntry e;
             e.limit = 0x5E;
             const int rc = client->getKUCEntry(1, e);
             return std::make_pair(rc, e.limit == 0x5Eu);
         },
         none},
        {"getRandom", nothing,
         [&] {
             int value = 0x5E;
             const int rc = client->getRandom(value);
             return std::make_pair(rc, value == 0x5E);
         },
         [](size_t exchange, size_t) { return exchange == 1; }},  // the second answer is not used
        {"lockUnlock", nothing,
         [&] {
             const int rc = client->lockUnlock(HostKey192, HostEntry192, 3, false, false);
             return std::make_pair(rc, !client->unlocked());
         },
         none},
        {"authenticateHost", nothing,
         [&] {
             const int rc = client->authenticateHost(HostKey128, HostEntry128, 0);
             return std::make_pair(rc, !client->unlocked());
         },
         none},
        {"authenticateHostAV1mode DES", nothing,
         [&] {
             Bytes key = sentinel;
             const int rc = client->authenticateHostAV1mode(Av1DesKey, Av1DesEntry, 0, key);
             return std::make_pair(rc, key == sentinel && !client->unlocked());
         },
         none},
        {"authenticateHostAV1mode AES", nothing,
         [&] {
             Bytes key = sentinel;
             const int rc = client->authenticateHostAV1mode(HostKey128, Av1AesEntry, 0, key);
             return std::make_pair(rc, key == sentinel && !client->unlocked());
         },
         none},
        {"authenticatePICCPart1", unlocked,
         [&] {
             NativeCard card{PiccKey, {}, {}};
             Bytes out = sentinel;
             const int rc = client->authenticatePICCPart1(PiccEntry, 0x00, card.challenge(), {}, out, 1);
             return std::make_pair(rc, out == sentinel);
         },
         none},
        {"generateMAC", session,
         [&] {
             Bytes mac = sentinel;
             const int rc = client->generateMAC(pattern(256, 1), mac, 0);
             return std::make_pair(rc, mac == sentinel);
         },
         none},
        {"encipherData", session,
         [&] {
             Bytes cipher = sentinel;
             const int rc = client->encipherData(pattern(247, 1), cipher, 0);
             return std::make_pair(rc, cipher == sentinel);
         },
         none},
        {"decipherData", session,
         [&] {
             Bytes plain = sentinel;
             const int rc = client->decipherData(secretCipher, plain, 250);
             return std::make_pair(rc, plain == sentinel);
         },
         none},
        {"encipherOfflineData",
         [&] {
             unlock();
             ASSERT_EQ(client->activateOfflineKey(OfflineEntry, 0, Uid), 0);
         },
         [&] {
             Bytes cipher = sentinel;
             const int rc = client->encipherOfflineData(pattern(32, 1), cipher);
             return std::make_pair(rc, cipher == sentinel);
         },
         none},
        {"decipherOfflineData",
         [&] {
             unlock();
             ASSERT_EQ(client->activateOfflineKey(OfflineEntry, 0, {}), 0);
         },
         [&] {
             Bytes plain = sentinel;
             const int rc = client->decipherOfflineData(pattern(32, 1), plain);
             return std::make_pair(rc, plain == sentinel);
         },
         none},
        {"changeKeyPICC", session,
         [&] {
             Bytes out = sentinel;
             const int rc = client->changeKeyPICC(0x00, 0, false, PiccEntry, 1, PiccNewEntry, 2, {}, out);
             return std::make_pair(rc, out == sentinel);
         },
         none},
    };

    // The card of the decipher case must hold the session the SAM holds, so its cipher is made after
    // each preparation from the SAM's own session key.
    auto prepare = [&](Operation& op) {
        op.prepare();
        if (std::string(op.name) == "decipherData") {
            Bytes body = NativeCard::withCrc(secret);
            Bytes iv(8, 0x00);
            secretCipher = cc::cbcEncrypt(cc::Cipher::TDES, sam->cardSession().key, iv, body);
        }
    };

    size_t cuts = 0;
    for (Operation& op : operations) {
        cutter->disarm();
        prepare(op);
        cutter->arm(SIZE_MAX, 0);
        const auto [okCode, okUntouched] = op.run();
        ASSERT_EQ(okCode, 0) << op.name;
        (void)okUntouched;
        const std::vector<size_t> sizes = cutter->sizes();
        ASSERT_FALSE(sizes.empty()) << op.name;
        for (size_t exchange = 0; exchange < sizes.size(); ++exchange) {
            for (size_t length = 0; length < sizes[exchange]; ++length) {
                if (op.acceptable(exchange, length))
                    continue;
                cutter->disarm();
                prepare(op);
                cutter->arm(exchange, length);
                const auto [code, untouched] = op.run();
                EXPECT_NE(code, 0) << op.name << " answer " << exchange << " cut to " << length;
                EXPECT_TRUE(untouched) << op.name << " answer " << exchange << " cut to " << length;
                ++cuts;
            }
        }
    }
    EXPECT_GT(cuts, 700u);
}

}  // namespace
