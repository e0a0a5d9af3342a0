// NFC::DESFire end to end without a SAM: framing, status, plain applications, files, data, values
// and records, local 2K3DES authentication and key changes, and what happens to short answers,
// against the emulated DESFire EV1 card behind the emulated Elatec reader.
#include <gtest/gtest.h>

#include "DESFireField.h"
#include "NFC/Protocols/LGsam.h"
#include "NFC/Protocols/MifareSAM.h"
#include "NFC/Reader.h"
#include "emulators/Hex.h"
#include "emulators/ScriptedCard.h"

using desfiretest::Bytes;
using desfiretest::cat;
using desfiretest::DESFireField;
using desfiretest::keys;
using desfiretest::pattern;
using emulators::DesfireCard;
using emulators::fromHex;
using NFC::DESFire;

namespace {

constexpr uint32_t Aid = 0x123456;
constexpr uint16_t FreeAccess = 0xEEEE;

// Reaches the session key that a local authentication leaves.
struct SessionProbe : DESFire
{
    using DESFire::DESFire;
    const Bytes& sessionKey() const { return m_sessionKey; }
};

class DESFireTest : public DESFireField
{
protected:
    // An application with one file of each kind, all free to use.
    void buildApplication(bool create = true)
    {
        if (create) {
            ASSERT_EQ(desfire->createApplication(Aid, DESFire::KeySettings1::unpack(0x0F), keys(2)), 0);
        }
        ASSERT_EQ(desfire->selectApplication(Aid), 0);
        ASSERT_EQ(desfire->createDataFile(1, DESFire::Plain, FreeAccess, 300), 0);
        ASSERT_EQ(desfire->createBackupFile(2, DESFire::Plain, FreeAccess, 64), 0);
        ASSERT_EQ(desfire->createValueFile(3, DESFire::Plain, FreeAccess, 0, 10000, 100, true, true), 0);
        ASSERT_EQ(desfire->createLinearRecordFile(4, DESFire::Plain, FreeAccess, 16, 5), 0);
        ASSERT_EQ(desfire->createCyclicRecordFile(5, DESFire::Plain, FreeAccess, 16, 3), 0);
    }
};

TEST(DESFireStatus, CheckResponseAppliesTheLengthAfterTheStatus)
{
    struct Case
    {
        Bytes answer;
        unsigned minSize;
        DESFire::Error expected;
    };
    const Case cases[] = {
        {{}, 0, 0xFFFE},
        {{0x00}, 0, 0x00},
        {{0x00}, 5, 0xFFFE},        // a lone success carries none of the data
        {{0xAF}, 9, 0xFFFE},        // nor does a lone additional-frame byte
        {{0xF0}, 5, 0xF0},          // a refusal needs no data
        {{0x00, 0x11}, 5, 0xFFFE},  // one byte short of three
        {{0x00, 0x11, 0x22, 0x33, 0x44}, 5, 0x00},
        {{0xAE, 0x01}, 0, 0xAE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DESFire::checkResponse(c.answer, c.minSize), c.expected)
            << emulators::toHex(c.answer) << " min " << c.minSize;
}

TEST(DESFireStatus, TextsComeFromOneTableAndSamFailuresFromTheAttachedSam)
{
    DESFire card(nullptr, {}, {});
    EXPECT_EQ(card.errorstr(0x00), "None");
    EXPECT_EQ(card.errorstr(0x0C), "No changes done to backup files");
    EXPECT_EQ(card.errorstr(0xFFFD), "Timeout waiting for transponder response");
    EXPECT_EQ(card.errorstr(0x42), "Unknown error");
    EXPECT_EQ(card.errorstr(0x12345), "Unknown error");

    card.assignMifareSAM(std::make_shared<NFC::MifareSAM>(nullptr, NFC::MifareSAM::ExpectedATR_AV3));
    card.setSamError(0x6982);
    EXPECT_EQ(card.errorstr(0xFFFC), NFC::MifareSAM::errorToStr(0x6982));
    card.assignLGsam(std::make_shared<NFC::LGsam>(nullptr, NFC::LGsam::ExpectedATR));
    EXPECT_EQ(card.errorstr(0xFFFC), NFC::LGsam::errorToStr(0));
    EXPECT_EQ(card.type(), NFC::Tag::MifareDESFire);
}

TEST(DESFireStatus, ReaderMakesDESFireTagsForTheDESFireType)
{
    NFC::Reader nfc;
    const std::shared_ptr<NFC::Tag> tag = nfc.makeTag(NFC::Tag::MifareDESFire, fromHex("04527A1A6F2C80"), {});
    ASSERT_NE(std::dynamic_pointer_cast<DESFire>(tag), nullptr);
    EXPECT_EQ(tag->type(), NFC::Tag::MifareDESFire);
    EXPECT_EQ(tag->uid(), fromHex("04527A1A6F2C80"));
}

TEST_F(DESFireTest, ApplicationsAndFilesAreCreatedListedAndDescribed)
{
    std::vector<uint32_t> aids = {0x777777};
    ASSERT_EQ(desfire->getApplicationIDs(aids), 0);
    EXPECT_EQ(aids, (std::vector<uint32_t>{0x777777}));  // appended to, never cleared

    // Only the key count's nibble goes to the card.
    ASSERT_EQ(desfire->createApplication(Aid, DESFire::KeySettings1::unpack(0x0F), keys(0x82)), 0);
    EXPECT_EQ(framesSent().back(), fromHex("CA 56 34 12 0F 02"));
    EXPECT_EQ(desfire->createApplication(Aid, DESFire::KeySettings1::unpack(0x0F), keys(1)), 0xDE);
    ASSERT_EQ(desfire->createApplication(0x060504, DESFire::KeySettings1::unpack(0x0F), keys(1)), 0);
    ASSERT_EQ(desfire->getApplicationIDs(aids), 0);
    EXPECT_EQ(aids, (std::vector<uint32_t>{0x777777, 0x060504, 0x123456}));

    EXPECT_EQ(desfire->selectApplication(0xA9C002), 0xA0);
    EXPECT_EQ(framesSent().back(), fromHex("5A 02 C0 A9"));

    ASSERT_NO_FATAL_FAILURE(buildApplication(false));
    EXPECT_EQ(desfire->createDataFile(1, DESFire::Plain, FreeAccess, 10), 0xDE);
    Bytes ids = {0x99};
    ASSERT_EQ(desfire->getFileIDs(ids), 0);
    EXPECT_EQ(ids, fromHex("01 02 03 04 05"));

    DESFire::FileSettings fs;
    ASSERT_EQ(desfire->getFileSettings(1, fs), 0);
    EXPECT_EQ(fs.fileType, 0u);
    EXPECT_EQ(fs.accessRights, FreeAccess);
    EXPECT_EQ(fs.p1, 300u);
    ASSERT_EQ(desfire->getFileSettings(3, fs), 0);
    EXPECT_EQ(fs.fileType, 2u);
    EXPECT_EQ(fs.p1, 0u);
    EXPECT_EQ(fs.p2, 10000u);
    EXPECT_EQ(fs.p3, 0u);
    EXPECT_TRUE(fs.limitedCreditEnabled);
    ASSERT_EQ(desfire->getFileSettings(5, fs), 0);
    EXPECT_EQ(fs.fileType, 4u);
    EXPECT_EQ(fs.p1, 16u);
    EXPECT_EQ(fs.p2, 3u);
    EXPECT_EQ(fs.p3, 0u);

    ASSERT_EQ(desfire->setFileSettings(1, DESFire::MACed, 0xE0EE), 0);
    ASSERT_EQ(desfire->getFileSettings(1, fs), 0);
    EXPECT_EQ(fs.communication, DESFire::MACed);
    EXPECT_EQ(fs.accessRights, 0xE0EE);

    DESFire::KeySettings1 ks1;
    DESFire::KeySettings2 ks2;
    ASSERT_EQ(desfire->getKeySettings(ks1, ks2), 0);
    EXPECT_EQ(ks1.pack(), 0x0F);
    EXPECT_EQ(ks2.numberOfKeys, 2);

    ASSERT_EQ(desfire->deleteFile(1), 0);
    EXPECT_EQ(desfire->getFileSettings(1, fs), 0xF0);
    EXPECT_EQ(desfire->deleteFile(1), 0xF0);
}

TEST_F(DESFireTest, PlainDataValuesAndRecordsFollowTheTransaction)
{
    ASSERT_NO_FATAL_FAILURE(buildApplication());

    const Bytes data = pattern(100, 0x10);
    ASSERT_EQ(desfire->writeData(1, 10, data, false, false, {}), 0);
    const Bytes stored = card->fileData(Aid, 1);
    EXPECT_EQ(Bytes(stored.begin() + 10, stored.begin() + 110), data);
    Bytes out = {0xEE};
    ASSERT_EQ(desfire->readData(1, 10, 100, out, false), 0);
    EXPECT_EQ(out, cat(Bytes{0xEE}, data));
    EXPECT_EQ(desfire->readData(1, 290, 20, out, false), 0xBE);

    // Backup files change on commit only, and abort throws the change away.
    ASSERT_EQ(desfire->writeData(2, 0, pattern(20, 0x40), false, false, {}), 0);
    out.clear();
    ASSERT_EQ(desfire->readData(2, 0, 20, out, false), 0);
    EXPECT_EQ(out, Bytes(20, 0x00));
    ASSERT_EQ(desfire->commitTransaction(), 0);
    out.clear();
    ASSERT_EQ(desfire->readData(2, 0, 20, out, false), 0);
    EXPECT_EQ(out, pattern(20, 0x40));
    ASSERT_EQ(desfire->writeData(2, 0, pattern(20, 0x99), false, false, {}), 0);
    ASSERT_EQ(desfire->abortTransaction(), 0);
    const Bytes backup = card->fileData(Aid, 2);
    EXPECT_EQ(Bytes(backup.begin(), backup.begin() + 20), pattern(20, 0x40));

    uint32_t value = 0;
    ASSERT_EQ(desfire->credit(3, 50, false, false, false, {}), 0);
    EXPECT_EQ(framesSent().back(), fromHex("0C 03 32 00 00 00"));
    ASSERT_EQ(desfire->getValue(3, value, false), 0);
    EXPECT_EQ(value, 100u);
    ASSERT_EQ(desfire->commitTransaction(), 0);
    ASSERT_EQ(desfire->debit(3, 30, false, false, false, {}), 0);
    ASSERT_EQ(desfire->commitTransaction(), 0);
    ASSERT_EQ(desfire->getValue(3, value, false), 0);
    EXPECT_EQ(value, 120u);
    EXPECT_EQ(desfire->debit(3, 121, false, false, false, {}), 0xBE);

    // A cyclic file of three holds the two newest records; the newest are skipped by offset.
    for (uint8_t i = 1; i <= 3; ++i) {
        ASSERT_EQ(desfire->writeRecord(5, 0, Bytes(16, i), false, false), 0);
        ASSERT_EQ(desfire->commitTransaction(), 0);
    }
    out.clear();
    ASSERT_EQ(desfire->readRecords(5, 0, 0, 32, out, false), 0);
    EXPECT_EQ(out, cat(Bytes(16, 2), Bytes(16, 3)));
    out.clear();
    ASSERT_EQ(desfire->readRecords(5, 1, 1, 16, out, false), 0);
    EXPECT_EQ(out, Bytes(16, 2));
    ASSERT_EQ(desfire->clearRecordFile(5), 0);
    ASSERT_EQ(desfire->commitTransaction(), 0);
    EXPECT_TRUE(card->records(Aid, 5).empty());

    EXPECT_EQ(desfire->commitTransaction(), 0x0C);
}

TEST_F(DESFireTest, WritesGoInFramesOfSixtyBytesAndReadsFollowTheCardsFrames)
{
    ASSERT_NO_FATAL_FAILURE(buildApplication());
    struct Case
    {
        size_t length;
        std::vector<size_t> frames;
    };
    // An 8-byte header leaves 52 data bytes in the first frame, then AF and up to 59.
    const Case cases[] = {{52, {60}}, {53, {60, 2}}, {100, {60, 49}}, {111, {60, 60}}, {112, {60, 60, 2}}};
    for (const Case& c : cases) {
        reader->clearReceived();
        const Bytes data = pattern(c.length, static_cast<uint8_t>(c.length));
        ASSERT_EQ(desfire->writeData(1, 0, data, false, false, {}), 0) << c.length;
        const std::vector<Bytes> frames = framesSent();
        ASSERT_EQ(frames.size(), c.frames.size()) << c.length;
        Bytes joined(frames[0].begin() + 8, frames[0].end());
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].size(), c.frames[i]) << c.length << " frame " << i;
            if (i > 0) {
                EXPECT_EQ(frames[i][0], 0xAF);
                joined.insert(joined.end(), frames[i].begin() + 1, frames[i].end());
            }
        }
        EXPECT_EQ(joined, data);
    }

    // 200 bytes come back in four frames of the card's choosing and are joined.
    const size_t before = cardFrames();
    Bytes out;
    ASSERT_EQ(desfire->readData(1, 0, 200, out, false), 0);
    EXPECT_EQ(cardFrames() - before, 4u);
    const Bytes stored = card->fileData(Aid, 1);
    EXPECT_EQ(out, Bytes(stored.begin(), stored.begin() + 200));
}

TEST_F(DESFireTest, ReadThatBreaksOffKeepsTheFramesAlreadyReceived)
{
    auto scripted = std::make_shared<emulators::ScriptedCard>(emulators::ScriptedCard::desfireIdentity());
    scripted->expect4(fromHex("BD 01 00 00 00 00 00 00"), fromHex("AF 01 02 03"));
    scripted->expect4(fromHex("AF"), fromHex("9D"));
    scripted->expect4(fromHex("6A"), fromHex("AF 01 02 03"));
    scripted->expect4(fromHex("AF"), fromHex("00 04 05"));
    ASSERT_NO_FATAL_FAILURE(place(scripted));
    Bytes out;
    EXPECT_EQ(desfire->readData(1, 0, 0, out, false), 0x9D);
    EXPECT_EQ(out, fromHex("01 02 03"));
    // A frame that is not whole AIDs is malformed; the AIDs before it are kept.
    std::vector<uint32_t> aids;
    EXPECT_EQ(desfire->getApplicationIDs(aids), 0xFFFE);
    EXPECT_EQ(aids, (std::vector<uint32_t>{0x030201}));
    EXPECT_TRUE(scripted->allUsed()) << scripted->report();
}

TEST_F(DESFireTest, PlainSuccessInsteadOfAChallengeIsNoAuthentication)
{
    auto scripted = std::make_shared<emulators::ScriptedCard>(emulators::ScriptedCard::desfireIdentity());
    scripted->expect4(fromHex("1A 00"), fromHex("00"));
    ASSERT_NO_FATAL_FAILURE(place(scripted));
    EXPECT_EQ(desfire->authenticate(0, Bytes(16, 0x00)), 0xFFFE);
    EXPECT_TRUE(scripted->allUsed()) << scripted->report();
}

TEST_F(DESFireTest, AesHalvesHandTheCardsCryptogramsOver)
{
    auto scripted = std::make_shared<emulators::ScriptedCard>(emulators::ScriptedCard::desfireIdentity());
    const Bytes encRndB = pattern(16, 0x0B);
    const Bytes encRndA = pattern(16, 0xA0);
    scripted->expect4(fromHex("AA 00"), cat(Bytes{0xAF}, Bytes(encRndB.begin(), encRndB.end() - 1)));
    scripted->expect4(fromHex("AA 00"), cat(Bytes{0xAF}, encRndB));
    scripted->expect4(cat(Bytes{0xAF}, pattern(32, 0x33)), cat(Bytes{0x00}, encRndA));
    ASSERT_NO_FATAL_FAILURE(place(scripted));
    Bytes out = {0x01};
    EXPECT_EQ(desfire->authenticateAESPart1(0, out), 0xFFFE);
    EXPECT_EQ(out, Bytes{0x01});
    ASSERT_EQ(desfire->authenticateAESPart1(0, out), 0xAF);
    EXPECT_EQ(out, encRndB);
    ASSERT_EQ(desfire->authenticateAESPart2(pattern(32, 0x33), out), 0);
    EXPECT_EQ(out, encRndA);
    EXPECT_TRUE(scripted->allUsed()) << scripted->report();
}

TEST_F(DESFireTest, SecureMessagingWithoutSamSendsNothing)
{
    ASSERT_NO_FATAL_FAILURE(buildApplication());
    const size_t before = cardFrames();
    Bytes out = {0x55};
    uint32_t value = 7;
    DESFire::KeySettings1 ks1 = DESFire::KeySettings1::unpack(0x0F);
    EXPECT_EQ(desfire->readData(1, 0, 16, out, true), 0xFFFF);
    EXPECT_EQ(desfire->readRecords(5, 0, 0, 16, out, true), 0xFFFF);
    EXPECT_EQ(desfire->getValue(3, value, true), 0xFFFF);
    EXPECT_EQ(desfire->writeData(1, 0, Bytes(8, 1), true, false, {}), 0xFFFF);
    EXPECT_EQ(desfire->writeData(1, 0, Bytes(8, 1), false, true, fromHex("01020304")), 0xFFFF);
    EXPECT_EQ(desfire->writeRecord(5, 0, Bytes(8, 1), true, true), 0xFFFF);
    EXPECT_EQ(desfire->credit(3, 1, false, true, false, {}), 0xFFFF);
    EXPECT_EQ(desfire->debit(3, 1, true, false, false, {}), 0xFFFF);
    EXPECT_EQ(desfire->limitedCredit(3, 1), 0xFFFF);
    EXPECT_EQ(desfire->changeKeySettings(ks1), 0xFFFF);
    EXPECT_EQ(desfire->changeKey(0, Bytes(16, 1), {}), 0xFFFF);
    Bytes div, cnt, amount, native;
    EXPECT_EQ(desfire->authForReload(0, 1, 2, div, 8, cnt, amount, native, out), 0xFFFF);
    uint32_t a = 0, b = 0, c = 0, d = 0, e = 0;
    EXPECT_EQ(desfire->getSAMbalance(a, b, c, d, e), 0xFFFF);
    EXPECT_EQ(cardFrames(), before);
    EXPECT_EQ(out, Bytes{0x55});
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(card->fileData(Aid, 1), Bytes(300, 0x00));
}

TEST_F(DESFireTest, LocalAuthenticationChangesItsOwnKeyAndAuthenticatesWithTheNewOne)
{
    const Bytes newKey = fromHex("00102031405060708090A0B0B0A09080");
    auto probe = std::make_shared<SessionProbe>(link, card->identity().uid, card->identity().ats);
    // With no SAM, slot 2 authenticates key 0 with the blank card's key whatever key number it gets.
    ASSERT_EQ(probe->authenticate(5, 1, 0, false, 0), 0);
    EXPECT_EQ(card->authenticatedKey(), 0);
    EXPECT_EQ(card->scheme(), DesfireCard::Scheme::Iso);
    EXPECT_EQ(probe->sessionKey().size(), 16u);

    ASSERT_EQ(probe->changeKey(0, newKey, {}), 0);
    EXPECT_EQ(card->key(DesfireCard::PiccAid, 0), newKey);
    EXPECT_EQ(card->authenticatedKey(), -1);

    EXPECT_EQ(probe->authenticate(0, Bytes(16, 0x00)), 0xAE);
    EXPECT_TRUE(probe->sessionKey().empty());
    ASSERT_EQ(probe->authenticate(0, newKey), 0);
    EXPECT_EQ(card->authenticatedKey(), 0);
    EXPECT_EQ(probe->sessionKey().size(), 16u);
}

TEST_F(DESFireTest, ChangingAnotherKeyCarriesTheNewKeysCrc)
{
    ASSERT_EQ(desfire->createApplication(Aid, DESFire::KeySettings1::unpack(0x0F), keys(3)), 0);
    ASSERT_EQ(desfire->selectApplication(Aid), 0);
    const Bytes oldKey = pattern(16, 0x21);
    const Bytes newKey = pattern(16, 0x63);
    card->setKey(Aid, 2, oldKey);
    ASSERT_EQ(desfire->authenticate(0, Bytes(16, 0x00)), 0);
    ASSERT_EQ(desfire->changeKey(2, newKey, oldKey), 0);
    EXPECT_EQ(card->key(Aid, 2), newKey);
    // The master key's session stays open for more changes.
    EXPECT_EQ(card->authenticatedKey(), 0);
    ASSERT_EQ(desfire->authenticate(2, newKey), 0);
}

TEST_F(DESFireTest, VersionComesFromThreeFramesAndPrintsItsSummary)
{
    card->setVersion(fromHex("04 01 01 01 00 18 05"), fromHex("04 01 01 01 04 19 05"),
                     fromHex("04 52 7A 1A 6F 2C 80 BA 45 19 E3 20 49 13"));
    const DESFire::Version v = DESFire::version(link);
    EXPECT_EQ(v.hwVendorID, 4);
    EXPECT_EQ(v.hwStorageSize, 0x18);
    EXPECT_EQ(v.swMajorVersion, 1);
    EXPECT_EQ(v.swStorageSize, 0x19);
    EXPECT_EQ(v.uid, fromHex("04527A1A6F2C80"));
    EXPECT_EQ(v.batchNo, fromHex("BA4519E320"));
    EXPECT_EQ(v.productionWeek, 0x49);
    EXPECT_EQ(v.productionYear, 0x13);
    const std::string text = v.toString();
    EXPECT_EQ(text.substr(0, text.find('\n')), "--- DESFire EV1 (4K) -------------------------");
    EXPECT_NE(text.find("UID          : 04527A1A6F2C80\n"), std::string::npos);
    EXPECT_NE(text.find("Hardware     : v1.0 (1/1)\n"), std::string::npos);
    EXPECT_NE(text.find("Storage size : 4096 byte(s)\n"), std::string::npos);
    EXPECT_NE(text.find("Production   : 2013 (wk 49)\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.rfind('\n') + 1), std::string(46, '-'));

    // The storage code's lowest bit does not count.
    DESFire::Version odd = v;
    odd.hwStorageSize = 0x19;
    EXPECT_NE(odd.toString().find("Storage size : 4096 byte(s)"), std::string::npos);
}

TEST_F(DESFireTest, NoAnswerIsATimeoutAndTheCardStaysUsable)
{
    card->muteNext();
    EXPECT_EQ(desfire->selectApplication(Aid), 0xFFFD);
    ASSERT_NO_FATAL_FAILURE(buildApplication());
    card->muteNext();
    EXPECT_EQ(desfire->writeData(1, 0, Bytes(10, 1), false, false, {}), 0xFFFD);
    Bytes out;
    EXPECT_EQ(desfire->readData(1, 0, 10, out, false), 0);
}

// Every answer that carries fields is cut at every length short of whole: the result is 0xFFFE (or
// the card's own refusal) and nothing the caller gave is touched.
TEST_F(DESFireTest, TruncatedAnswersAreRejectedAndLeaveOutputsUntouched)
{
    ASSERT_NO_FATAL_FAILURE(buildApplication());

    const std::pair<uint8_t, size_t> settingSizes[] = {{1, 8}, {2, 8}, {3, 18}, {4, 14}, {5, 14}};
    for (const auto& [fileNo, full] : settingSizes) {
        for (size_t keep = 0; keep < full; ++keep) {
            DESFire::FileSettings fs;
            fs.fileType = 77;
            fs.p1 = 77;
            card->cutNextAnswer(keep);
            EXPECT_EQ(desfire->getFileSettings(fileNo, fs), 0xFFFE) << int(fileNo) << " kept " << keep;
            EXPECT_EQ(fs.fileType, 77u);
            EXPECT_EQ(fs.p1, 77u);
        }
    }
    for (size_t keep = 0; keep < 3; ++keep) {
        DESFire::KeySettings1 ks1 = DESFire::KeySettings1::unpack(0x5A);
        DESFire::KeySettings2 ks2 = keys(9);
        card->cutNextAnswer(keep);
        EXPECT_EQ(desfire->getKeySettings(ks1, ks2), 0xFFFE) << keep;
        EXPECT_EQ(ks1.pack(), 0x5A);
        EXPECT_EQ(ks2.numberOfKeys, 9);
    }
    for (size_t keep = 0; keep < 5; ++keep) {
        uint32_t value = 4242;
        card->cutNextAnswer(keep);
        EXPECT_EQ(desfire->getValue(3, value, false), 0xFFFE) << keep;
        EXPECT_EQ(value, 4242u);
    }

    // GetVersion: a short last frame leaves the identity empty, a short first frame the whole record.
    for (size_t keep = 0; keep < 15; ++keep) {
        card->cutNextAnswer(keep, 2);
        const DESFire::Version v = DESFire::version(link);
        EXPECT_EQ(v.swVendorID, 4) << keep;
        EXPECT_TRUE(v.uid.empty()) << keep;
        EXPECT_TRUE(v.batchNo.empty()) << keep;
        EXPECT_EQ(v.productionYear, 0) << keep;
    }
    for (size_t keep = 0; keep < 8; ++keep) {
        card->cutNextAnswer(keep);
        const DESFire::Version v = DESFire::version(link);
        EXPECT_EQ(v.hwVendorID, 0) << keep;
        EXPECT_EQ(v.swVendorID, 0) << keep;
    }

    // Both answers of the local authentication; no session key is left behind.
    for (size_t answer = 0; answer < 2; ++answer) {
        for (size_t keep = 0; keep < 9; ++keep) {
            auto probe = std::make_shared<SessionProbe>(link, card->identity().uid, card->identity().ats);
            card->cutNextAnswer(keep, answer);
            EXPECT_EQ(probe->authenticate(0, Bytes(16, 0x00)), 0xFFFE) << answer << " kept " << keep;
            EXPECT_TRUE(probe->sessionKey().empty());
        }
    }
}

}  // namespace
