// NFC::DESFire with its SAMs, end to end: the emulated MIFARE SAM in slot 0 authenticates the
// emulated card with UID-diversified keys and does the card session's MACs and ciphering; the
// scripted LG SAM in slot 1 answers an ISO authentication keyed from the card's file 02. The card's
// half of the LG exchange is computed here with the emulators' own OpenSSL code.
#include <gtest/gtest.h>

#include "DESFireField.h"
#include "NFC/ISO7816.h"
#include "NFC/Protocols/LGsam.h"
#include "NFC/Protocols/MifareSAM.h"
#include "emulators/CardCrypto.h"
#include "emulators/Hex.h"
#include "emulators/LGSamResponder.h"
#include "emulators/MifareSam.h"

using desfiretest::Bytes;
using desfiretest::cat;
using desfiretest::DESFireField;
using desfiretest::keys;
using desfiretest::pattern;
using desfiretest::SamApdu;
using emulators::DesfireCard;
using emulators::fromHex;
using emulators::MifareSam;
using NFC::DESFire;
namespace cc = emulators::cardcrypto;

namespace {

constexpr uint32_t Aid = 0xA9C002;
constexpr uint16_t KeyZeroOnly = 0x0000;

const Bytes HostKey = fromHex("00112233445566778899AABBCCDDEEFF");
const Bytes PiccMaster = fromHex("00102031405060708090A0B0B0A09080");
const Bytes AppMaster = fromHex("A0B1C2D3E4F5061728394A5B6C7D8E9F");
const Bytes NewKey = fromHex("0123456789ABCDEFFEDCBA9876543210");

enum : uint8_t
{
    HostEntry = 0,
    PiccEntry = 10,
    AppEntry = 11,
    ZeroEntry = 12,
    NewEntry = 13,
};

class DESFireSamTest : public DESFireField
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(DESFireField::SetUp());
        ASSERT_NO_FATAL_FAILURE(insertSam(HostEntry, HostKey));
        sam->setKeyEntry(PiccEntry,
                         MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Picc, PiccMaster));
        sam->setKeyEntry(AppEntry,
                         MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Picc, AppMaster));
        sam->setKeyEntry(ZeroEntry,
                         MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Picc, Bytes(16, 0)));
        sam->setKeyEntry(NewEntry,
                         MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Picc, NewKey));
        desfire->assignMifareSAM(samClient);
        // The card holds its keys diversified from 0x88 and its UID, as the SAM derives them.
        cascadeUid = cat({0x88}, card->identity().uid);
        card->setKey(DesfireCard::PiccAid, 0, cc::diversify(cc::Cipher::TDES, PiccMaster, cascadeUid));
        reader->clearReceived();
    }

    // The application with its master key on the card and one file of each kind under key 0.
    void enterApplication()
    {
        ASSERT_EQ(desfire->authenticate(0, PiccEntry, 0x01, true, 0), 0);
        ASSERT_EQ(desfire->createApplication(Aid, DESFire::KeySettings1::unpack(0x0F), keys(2)), 0);
        ASSERT_EQ(desfire->selectApplication(Aid), 0);
        card->setKey(Aid, 0, cc::diversify(cc::Cipher::TDES, AppMaster, cascadeUid));
        ASSERT_EQ(desfire->authenticate(0, AppEntry, 0x01, true, 0), 0);
        ASSERT_EQ(desfire->createDataFile(1, DESFire::Enciphered, KeyZeroOnly, 128), 0);
        ASSERT_EQ(desfire->createBackupFile(2, DESFire::MACed, KeyZeroOnly, 32), 0);
        ASSERT_EQ(desfire->createValueFile(3, DESFire::Enciphered, KeyZeroOnly, 0, 100000, 500, true, false),
                  0);
        ASSERT_EQ(desfire->createCyclicRecordFile(4, DESFire::Enciphered, KeyZeroOnly, 20, 4), 0);
    }

    Bytes cascadeUid;
};

TEST_F(DESFireSamTest, DiversifiedSamAuthenticationCarriesTheCascadedUid)
{
    ASSERT_EQ(desfire->authenticate(0, PiccEntry, 0x01, true, 0), 0);
    EXPECT_EQ(card->scheme(), DesfireCard::Scheme::Native);
    EXPECT_EQ(card->authenticatedKey(), 0);
    const std::vector<SamApdu> apdus = samApdus();
    ASSERT_EQ(apdus.size(), 2u);
    EXPECT_EQ(apdus[0].ins, 0x0A);
    EXPECT_EQ(apdus[0].p1, 0x01);
    EXPECT_EQ(Bytes(apdus[0].data.end() - 8, apdus[0].data.end()), cascadeUid);
    EXPECT_EQ(apdus[1].ins, 0x0A);
    EXPECT_FALSE(apdus[1].hasLe);

    // Without the cascade bit the SAM derives another key, and the card says so.
    EXPECT_EQ(desfire->authenticate(0, PiccEntry, 0x01, false, 0), 0xAE);
}

TEST_F(DESFireSamTest, EncipheredAndMacedFilesThroughTheSamSession)
{
    ASSERT_NO_FATAL_FAILURE(enterApplication());

    // 100 bytes enciphered and MACed go out in several frames and come back enciphered.
    const Bytes data = pattern(100, 0x31);
    const size_t before = cardFrames();
    ASSERT_EQ(desfire->writeData(1, 8, data, true, true, {}), 0);
    EXPECT_EQ(cardFrames() - before, 2u);
    const Bytes stored = card->fileData(Aid, 1);
    EXPECT_EQ(Bytes(stored.begin() + 8, stored.begin() + 108), data);
    Bytes out = {0x77};
    ASSERT_EQ(desfire->readData(1, 8, 100, out, true), 0);
    EXPECT_EQ(out, cat({0x77}, data));

    // MACed backup file: the card checks the MAC and answers with one the SAM checks.
    ASSERT_EQ(desfire->writeData(2, 0, pattern(32, 0x05), false, true, {}), 0);
    EXPECT_EQ(card->fileData(Aid, 2), Bytes(32, 0x00));
    ASSERT_EQ(desfire->commitTransaction(), 0);
    EXPECT_EQ(card->fileData(Aid, 2), pattern(32, 0x05));

    uint32_t value = 0;
    ASSERT_EQ(desfire->credit(3, 250, true, true, false, {}), 0);
    ASSERT_EQ(desfire->debit(3, 50, true, true, false, {}), 0);
    ASSERT_EQ(desfire->getValue(3, value, true), 0);
    EXPECT_EQ(value, 500u);
    ASSERT_EQ(desfire->commitTransaction(), 0);
    ASSERT_EQ(desfire->getValue(3, value, true), 0);
    EXPECT_EQ(value, 700u);
    // The debit just committed may be given back once as a limited credit.
    ASSERT_EQ(desfire->limitedCredit(3, 50), 0);
    ASSERT_EQ(desfire->commitTransaction(), 0);
    EXPECT_EQ(card->value(Aid, 3), 750);

    const Bytes first = pattern(20, 0x61);
    const Bytes second = pattern(20, 0x91);
    ASSERT_EQ(desfire->writeRecord(4, 0, first, true, true), 0);
    ASSERT_EQ(desfire->commitTransaction(), 0);
    ASSERT_EQ(desfire->writeRecord(4, 0, second, true, false), 0);
    ASSERT_EQ(desfire->commitTransaction(), 0);
    out.clear();
    ASSERT_EQ(desfire->readRecords(4, 0, 2, 40, out, true), 0);
    EXPECT_EQ(out, cat(first, second));

    EXPECT_EQ(desfire->commitTransaction(), 0x0C);

    // Key settings travel enciphered by the SAM.
    DESFire::KeySettings1 ks1 = DESFire::KeySettings1::unpack(0x0B);
    ASSERT_EQ(desfire->changeKeySettings(ks1), 0);
    DESFire::KeySettings2 ks2;
    ASSERT_EQ(desfire->getKeySettings(ks1, ks2), 0);
    EXPECT_EQ(ks1.pack(), 0x0B);
    EXPECT_EQ(ks2.numberOfKeys, 2);
}

TEST_F(DESFireSamTest, SamFailuresStopBeforeTheCardAndAreKept)
{
    ASSERT_NO_FATAL_FAILURE(enterApplication());
    // A MAC the card does not accept: its refusal comes back and nothing is written.
    EXPECT_EQ(desfire->writeData(2, 0, Bytes(4, 1), false, true, fromHex("00000000")), 0x1E);
    EXPECT_EQ(card->fileData(Aid, 2), Bytes(32, 0x00));

    // Without a card session the SAM refuses to encipher; nothing reaches the card.
    ASSERT_EQ(samClient->killAuthentication(), 0);
    const size_t before = cardFrames();
    EXPECT_EQ(desfire->writeData(1, 0, Bytes(16, 1), true, false, {}), 0xFFFC);
    EXPECT_EQ(cardFrames(), before);
    EXPECT_EQ(desfire->errorstr(0xFFFC), NFC::MifareSAM::errorToStr(0x6985));
}

TEST_F(DESFireSamTest, ChangeKeyPiccSendsTheSamsCryptogram)
{
    ASSERT_NO_FATAL_FAILURE(enterApplication());
    ASSERT_EQ(desfire->changeKeyPICC(0x01, 1, false, ZeroEntry, 0, NewEntry, 0), 0);
    EXPECT_EQ(card->key(Aid, 1), NewKey);
    DESFire plain(link, card->identity().uid, card->identity().ats);
    EXPECT_EQ(plain.changeKeyPICC(0x01, 1, false, ZeroEntry, 0, NewEntry, 0), 0xFFFC);
}

// Once the SAM has answered the card's challenge, a card that fails for any reason still has the
// SAM's session closed with eight zero bytes.
TEST_F(DESFireSamTest, CardFailureAfterTheSamsFirstStepClosesTheSamSession)
{
    auto closedWithZeros = [&] {
        const std::vector<SamApdu> apdus = samApdus();
        return apdus.size() == 2 && apdus[1].ins == 0x0A && !apdus[1].hasLe && apdus[1].data == Bytes(8, 0);
    };
    card->setKey(DesfireCard::PiccAid, 0, PiccMaster);  // not the diversified key
    EXPECT_EQ(desfire->authenticate(0, PiccEntry, 0x01, true, 0), 0xAE);
    EXPECT_TRUE(closedWithZeros());

    card->setKey(DesfireCard::PiccAid, 0, cc::diversify(cc::Cipher::TDES, PiccMaster, cascadeUid));
    for (size_t keep = 0; keep < 9; ++keep) {
        reader->clearReceived();
        card->cutNextAnswer(keep, 1);
        EXPECT_EQ(desfire->authenticate(0, PiccEntry, 0x01, true, 0), 0xFFFE) << keep;
        EXPECT_TRUE(closedWithZeros()) << keep;
    }
    reader->clearReceived();
    card->muteNext(1);
    EXPECT_EQ(desfire->authenticate(0, PiccEntry, 0x01, true, 0), 0xFFFD);
    EXPECT_TRUE(closedWithZeros());

    // A short challenge never reaches the SAM.
    for (size_t keep = 0; keep < 9; ++keep) {
        reader->clearReceived();
        card->cutNextAnswer(keep);
        EXPECT_EQ(desfire->authenticate(0, PiccEntry, 0x01, true, 0), 0xFFFE) << keep;
        EXPECT_TRUE(samApdus().empty()) << keep;
    }
    ASSERT_EQ(desfire->authenticate(0, PiccEntry, 0x01, true, 0), 0);
}

TEST_F(DESFireSamTest, LgSamIsKeyedFromFileTwoAndAnswersTheIsoChallenge)
{
    auto lgSam = std::make_shared<emulators::LGSamResponder>();
    reader->setSam(1, lgSam);
    auto lgLink = std::make_shared<NFC::ISO7816>(driver, 1);
    Bytes atr;
    ASSERT_TRUE(lgLink->powerOn(&atr));
    auto lg = std::make_shared<NFC::LGsam>(lgLink, atr);

    // File 02 in the application: byte 6 the key set version, 7 the centre, 9-16 the diversification.
    ASSERT_EQ(desfire->createApplication(Aid, DESFire::KeySettings1::unpack(0x0F), keys(2)), 0);
    ASSERT_EQ(desfire->selectApplication(Aid), 0);
    ASSERT_EQ(desfire->createDataFile(2, DESFire::Plain, 0xEEEE, 48), 0);
    Bytes file(48, 0x00);
    file[6] = 0x35;
    file[7] = 0x07;
    const Bytes divInput = fromHex("1122334455667788");
    std::copy(divInput.begin(), divInput.end(), file.begin() + 9);
    ASSERT_EQ(desfire->writeData(2, 0, file, false, false, {}), 0);

    const Bytes cardKey = pattern(16, 0xC3);
    card->setKey(Aid, 1, cardKey);
    const Bytes rndB = fromHex("BCD8299747332DAF");
    const Bytes rndA = fromHex("530E3D90F7A201C4");
    card->forceRandom(rndB);
    Bytes iv(8, 0x00);
    const Bytes encRndB = cc::cbcEncrypt(cc::Cipher::TDES, cardKey, iv, rndB);
    const Bytes token = cc::cbcEncrypt(cc::Cipher::TDES, cardKey, iv, cat(rndA, cc::rotateLeft(rndB, 1)));
    const Bytes encRndA = cc::cbcEncrypt(cc::Cipher::TDES, cardKey, iv, cc::rotateLeft(rndA, 1));
    lgSam->expectFetch(cat(cat(fromHex("80 0A 05 00 12 07 35"), divInput), encRndB), token);
    lgSam->expect(cat(fromHex("80 0A 00 00 08"), encRndA), {}, 0x9000);

    DESFire viaLg(link, card->identity().uid, card->identity().ats);
    viaLg.assignLGsam(lg);
    // A file answer too short to hold the fields never reaches the SAM.
    for (size_t keep = 0; keep < 18; ++keep) {
        card->cutNextAnswer(keep);
        EXPECT_EQ(viaLg.authenticate(1, 5, 0, false, 0), 0xFFFE) << keep;
    }
    EXPECT_TRUE(lgSam->exchanges().empty());
    ASSERT_EQ(viaLg.authenticate(1, 5, 0, false, 0), 0);
    EXPECT_TRUE(lgSam->allUsed()) << lgSam->report();
    EXPECT_EQ(card->authenticatedKey(), 1);
    EXPECT_EQ(card->scheme(), DesfireCard::Scheme::Iso);
}

}  // namespace
