// NFC::DESFireEV2 end to end: the real Elatec driver over a pseudo-terminal, the emulated reader with
// the emulated DESFire card (EV2 authentication and MAC-mode messaging computed on OpenSSL) and the
// emulated MIFARE SAM holding the card's key as an offline master key diversified with the UID.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "DESFireField.h"
#include "NFC/ISO7816.h"
#include "NFC/Protocols/DESFireEV2.h"
#include "NFC/Protocols/MifareSAM.h"
#include "emulators/CardCrypto.h"
#include "emulators/Hex.h"
#include "emulators/MifareSam.h"

using desfiretest::Bytes;
using desfiretest::cat;
using desfiretest::DESFireField;
using desfiretest::keys;
using desfiretest::pattern;
using emulators::DesfireCard;
using emulators::fromHex;
using emulators::MifareSam;
using NFC::DESFire;
using NFC::DESFireEV2;
namespace cc = emulators::cardcrypto;

namespace {

constexpr uint32_t Aid = 0x2A4B6C;
constexpr uint16_t KeyZeroOnly = 0x0000;

const Bytes HostKey = fromHex("00112233445566778899AABBCCDDEEFF");
const Bytes OfflineMaster = fromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F");

enum : uint8_t
{
    HostEntry = 0,
    OfflineEntry = 20,
    DataFile = 1,
    BackupFile = 2,
    RecordFile = 3,
    PlainFile = 4,
    PlainValue = 5,
    MacedValue = 6,
};

enum class Form
{
    Clear,
    Sam,
};

// The class with its counter open to a test that must make the card see a wrong MAC.
class CountedEV2 : public DESFireEV2
{
public:
    using DESFireEV2::DESFireEV2;
    void skipCounter() { ++m_cmdCtr; }
};

class DESFireEV2Test : public DESFireField
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(DESFireField::SetUp());
        ASSERT_NO_FATAL_FAILURE(insertSam(HostEntry, HostKey));
        sam->setKeyEntry(OfflineEntry, MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::OfflineCrypto,
                                                                 OfflineMaster));

        // The application's key 0 is the SAM's offline key diversified with this card's UID.
        cardKey = cc::diversifyAes128(OfflineMaster, card->identity().uid);
        ASSERT_EQ(desfire->createApplication(Aid, DESFire::KeySettings1::unpack(0x0F), keys(2)), 0);
        ASSERT_EQ(desfire->selectApplication(Aid), 0);
        card->setKey(Aid, 0, cardKey);
        ASSERT_EQ(desfire->createDataFile(DataFile, DESFire::MACed, KeyZeroOnly, 128), 0);
        ASSERT_EQ(desfire->createBackupFile(BackupFile, DESFire::MACed, KeyZeroOnly, 64), 0);
        ASSERT_EQ(desfire->createLinearRecordFile(RecordFile, DESFire::MACed, KeyZeroOnly, 24, 3), 0);
        ASSERT_EQ(desfire->createDataFile(PlainFile, DESFire::Plain, 0xEEEE, 16), 0);
        ASSERT_EQ(
            desfire->createValueFile(PlainValue, DESFire::Plain, KeyZeroOnly, 0, 1000, 10, false, false), 0);
        ASSERT_EQ(
            desfire->createValueFile(MacedValue, DESFire::MACed, KeyZeroOnly, 0, 1000, 100, true, false), 0);
        ev2 = std::make_shared<CountedEV2>(link, desfire->uid(), desfire->ats());
        reader->clearReceived();
    }

    DESFire::Error authenticate(Form form)
    {
        return form == Form::Clear ? ev2->authenticateEV2First(0, cardKey)
                                   : ev2->authenticateEV2First(0, OfflineEntry, samClient);
    }

    // Both sides at the same count.
    void expectCounter(uint16_t value)
    {
        EXPECT_EQ(ev2->commandCounter(), value);
        EXPECT_EQ(card->commandCounter(), value);
    }

    std::shared_ptr<CountedEV2> ev2;
    Bytes cardKey;
};

// Read, a write in two frames, a record, clearing and the commit in one session, each MAC-checked by
// the card and checked here against the card's answer MAC, the counter advancing with each command.
TEST_F(DESFireEV2Test, MacModeSessionInBothForms)
{
    for (Form form : {Form::Clear, Form::Sam}) {
        SCOPED_TRACE(form == Form::Clear ? "clear key" : "SAM offline key");
        ASSERT_EQ(authenticate(form), 0);
        EXPECT_EQ(card->scheme(), DesfireCard::Scheme::Ev2);
        EXPECT_EQ(ev2->transactionIdentifier(), card->transactionIdentifier());
        expectCounter(0);

        Bytes out = {0x99};
        ASSERT_EQ(ev2->readData(DataFile, 110, 16, out, true), 0);
        EXPECT_EQ(out, Bytes(16, 0x00));
        expectCounter(1);

        // 8 header bytes, 61 data bytes and the MAC: 60 bytes, then AF and the last 17; with 44 data
        // bytes the 60 encoded bytes fit one frame.
        const Bytes data = pattern(61, form == Form::Clear ? 0x10 : 0x20);
        reader->clearReceived();
        ASSERT_EQ(ev2->writeData(DataFile, 3, data, false, false, {}), 0);
        ASSERT_EQ(ev2->writeData(DataFile, 64, pattern(44, 1), false, false, {}), 0);
        std::vector<size_t> sizes;
        for (const Bytes& frame : framesSent()) sizes.push_back(frame.size());
        EXPECT_EQ(sizes, (std::vector<size_t>{60, 18, 60}));
        const Bytes stored = card->fileData(Aid, DataFile);
        EXPECT_EQ(Bytes(stored.begin() + 3, stored.begin() + 64), data);
        expectCounter(3);

        const Bytes record = pattern(24, form == Form::Clear ? 0x31 : 0x41);
        ASSERT_EQ(ev2->writeRecord(RecordFile, 0, record, false, false), 0);
        ASSERT_EQ(ev2->commitTransaction(), 0);
        out.clear();
        ASSERT_EQ(ev2->readRecords(RecordFile, 0, 1, 24, out, false), 0);
        EXPECT_EQ(out, record);
        ASSERT_EQ(ev2->clearRecordFile(RecordFile), 0);
        ASSERT_EQ(ev2->commitTransaction(), 0);
        EXPECT_TRUE(card->records(Aid, RecordFile).empty());
        expectCounter(8);

        // Nothing pending: the card's 0x0C carries no MAC and moves neither counter.
        EXPECT_EQ(ev2->commitTransaction(), 0x0C);
        // An aborted backup write leaves the file as it was.
        ASSERT_EQ(ev2->writeData(BackupFile, 0, pattern(64, 0x77), false, false, {}), 0);
        ASSERT_EQ(ev2->abortTransaction(), 0);
        EXPECT_EQ(card->fileData(Aid, BackupFile), Bytes(64, 0x00));
        out.clear();
        ASSERT_EQ(ev2->readData(DataFile, 3, 61, out, false), 0);
        EXPECT_EQ(out, data);
        expectCounter(11);
    }
}

// The SAM form sends the card's UID as the diversification input of the offline key, and the SAM
// MACs the two session vectors under that key.
TEST_F(DESFireEV2Test, SamFormDiversifiesWithTheUidAndDerivesThroughTheSam)
{
    ASSERT_EQ(authenticate(Form::Sam), 0);
    const std::vector<desfiretest::SamApdu> commands = samApdus();
    std::vector<uint8_t> ins;
    for (const auto& c : commands) ins.push_back(c.ins);
    ASSERT_EQ(ins, (std::vector<uint8_t>{0x01, 0x0D, 0x0E, 0x0D, 0x7C, 0x7C}));
    EXPECT_EQ(commands[0].data, cat({OfflineEntry, 0x00}, card->identity().uid));
    EXPECT_EQ(commands[2].data.size(), 32u);  // RndA and RndB' with no padding block

    // The other master key in the SAM derives another card key, which the card refuses.
    sam->setKeyEntry(OfflineEntry, MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::OfflineCrypto,
                                                             pattern(16, 0x01)));
    EXPECT_EQ(authenticate(Form::Sam), 0xAE);
}

// Commands the class inherits count in the session as the card counts them, and the value commands
// on a MACed file carry and check MACs: the MAC-mode read after them still agrees with the card.
TEST_F(DESFireEV2Test, InheritedCommandsCountAndValueCommandsAreMaced)
{
    ASSERT_EQ(authenticate(Form::Clear), 0);
    DESFire::FileSettings settings;
    ASSERT_EQ(ev2->getFileSettings(DataFile, settings), 0);
    uint32_t value = 0;
    ASSERT_EQ(ev2->getValue(PlainValue, value, false), 0);
    EXPECT_EQ(value, 10u);
    ASSERT_EQ(ev2->credit(PlainValue, 5, false, false, false, {}), 0);
    expectCounter(3);

    ASSERT_EQ(ev2->getValue(MacedValue, value, true), 0);
    EXPECT_EQ(value, 100u);
    ASSERT_EQ(ev2->debit(MacedValue, 30, false, true, false, {}), 0);
    ASSERT_EQ(ev2->commitTransaction(), 0);
    ASSERT_EQ(ev2->limitedCredit(MacedValue, 20), 0);
    ASSERT_EQ(ev2->credit(MacedValue, 5, false, true, false, {}), 0);
    ASSERT_EQ(ev2->commitTransaction(), 0);
    card->flipNextAnswer();
    EXPECT_EQ(ev2->getValue(MacedValue, value, true), 0xFFFB);
    EXPECT_EQ(value, 100u);
    ASSERT_EQ(ev2->getValue(MacedValue, value, true), 0);
    EXPECT_EQ(value, 95u);
    Bytes out;
    ASSERT_EQ(ev2->readData(DataFile, 0, 4, out, false), 0);
    expectCounter(12);
}

TEST_F(DESFireEV2Test, FramesBeforeAuthenticationCarryNoMac)
{
    reader->clearReceived();
    EXPECT_EQ(ev2->commitTransaction(), 0x0C);
    Bytes out;
    EXPECT_EQ(ev2->readData(PlainFile, 2, 5, out, false), 0);
    EXPECT_EQ(out, Bytes(5, 0x00));
    EXPECT_EQ(ev2->writeData(PlainFile, 0, pattern(16, 3), true, true, {}), 0);
    const std::vector<Bytes> frames = framesSent();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], Bytes{0xC7});
    EXPECT_EQ(frames[1], fromHex("BD 04 02 00 00 05 00 00"));
    EXPECT_EQ(frames[2], cat(fromHex("3D 04 00 00 00 10 00 00"), pattern(16, 3)));
    EXPECT_FALSE(ev2->authenticatedEV2());
    // The counter counts what reached an answer all the same.
    EXPECT_EQ(ev2->commandCounter(), 2);
}

// An answer MAC that does not match is refused without handing out the data; the counters still
// agree, so the session goes on. A request the card finds wrong is refused by the card.
TEST_F(DESFireEV2Test, MacMismatchesEitherWay)
{
    ASSERT_EQ(authenticate(Form::Clear), 0);
    ASSERT_EQ(ev2->writeData(DataFile, 0, pattern(80, 1), false, false, {}), 0);

    card->flipNextAnswer();
    Bytes out = {0x42};
    EXPECT_EQ(ev2->readData(DataFile, 0, 80, out, false), 0xFFFB);
    EXPECT_EQ(out, Bytes{0x42});
    expectCounter(2);
    // Read in more than one frame: the MAC at the end of the last covers the data of all.
    ASSERT_EQ(ev2->readData(DataFile, 0, 80, out, false), 0);
    EXPECT_EQ(out, pattern(80, 1));
    ASSERT_EQ(ev2->writeData(BackupFile, 0, {7}, false, false, {}), 0);
    card->flipNextAnswer();
    EXPECT_EQ(ev2->commitTransaction(), 0xFFFB);
    expectCounter(5);

    ev2->skipCounter();
    EXPECT_EQ(ev2->readData(DataFile, 0, 4, out, false), 0x1E);
    EXPECT_EQ(card->scheme(), DesfireCard::Scheme::None);
}

// Answers without room for their MAC, and exchanges the reader gets no answer to.
TEST_F(DESFireEV2Test, ShortAndMissingAnswers)
{
    ASSERT_EQ(authenticate(Form::Clear), 0);
    for (size_t keep = 1; keep <= 8; ++keep) {
        card->cutNextAnswer(keep);
        Bytes out = {0x42};
        EXPECT_EQ(ev2->readData(DataFile, 0, 4, out, false), 0xFFFE) << keep;
        EXPECT_EQ(out, Bytes{0x42});
        card->cutNextAnswer(keep);
        EXPECT_EQ(ev2->writeData(DataFile, 0, {1, 2}, false, false, {}), 0xFFFE) << keep;
    }
    // A lone status is no answer to a MACed command.
    card->cutNextAnswer(1);
    EXPECT_EQ(ev2->clearRecordFile(RecordFile), 0xFFFE);
    card->muteNext();
    EXPECT_EQ(ev2->abortTransaction(), 0xFFFD);
    card->muteNext(1);
    EXPECT_EQ(ev2->writeData(DataFile, 0, pattern(70, 1), false, false, {}), 0xFFFD);
    card->muteNext(1);
    EXPECT_EQ(ev2->authenticateEV2First(0, cardKey), 0xFFFD);
    // The card's challenge and its last answer, each one byte short.
    card->cutNextAnswer(1 + 15);
    EXPECT_EQ(ev2->authenticateEV2First(0, cardKey), 0xFFFE);
    card->cutNextAnswer(1 + 31, 1);
    EXPECT_EQ(ev2->authenticateEV2First(0, cardKey), 0xFFFE);
}

// A failed authentication keeps the session it found; a SAM that fails while the session keys are
// derived fails the authentication with its code kept, and nothing more goes to the card.
TEST_F(DESFireEV2Test, FailedAuthenticationKeepsThePreviousSession)
{
    ASSERT_EQ(authenticate(Form::Clear), 0);
    const Bytes ti = ev2->transactionIdentifier();
    Bytes out;
    ASSERT_EQ(ev2->readData(DataFile, 0, 4, out, false), 0);

    for (uint8_t refused : {0x7C, 0x01, 0x0D, 0x0E}) {
        SCOPED_TRACE(refused);
        sam->refuseNext(refused, 0x6982);
        const size_t before = cardFrames();
        EXPECT_EQ(authenticate(Form::Sam), 0xFFFC);
        EXPECT_EQ(ev2->errorstr(0xFFFC), NFC::MifareSAM::errorToStr(0x6982));
        EXPECT_LE(cardFrames() - before, 2u);
        EXPECT_TRUE(ev2->authenticatedEV2());
        EXPECT_EQ(ev2->transactionIdentifier(), ti);
        EXPECT_EQ(ev2->commandCounter(), 1);
    }
    // The second SAM MAC, the encryption key, may fail as well: the MAC key just derived is not taken.
    sam->refuseNext(0x7C, 0x6985, 1);
    EXPECT_EQ(authenticate(Form::Sam), 0xFFFC);
    EXPECT_EQ(ev2->errorstr(0xFFFC), NFC::MifareSAM::errorToStr(0x6985));
    EXPECT_EQ(ev2->transactionIdentifier(), ti);

    EXPECT_EQ(ev2->authenticateEV2First(0, 0, nullptr), 0xFFFF);
    EXPECT_EQ(authenticate(Form::Clear), 0);
    EXPECT_NE(ev2->transactionIdentifier(), ti);
    expectCounter(0);
}

TEST_F(DESFireEV2Test, TwoThousandAuthenticationsWithRandomChallenges)
{
    using Fault = emulators::ElatecReader::Fault;
    // An answer the line lost is not a wrong one: the card's, or the SAM's (no answer to its APDU).
    const auto lost = [this](DESFire::Error code) {
        return code == DESFire::Timeout ||
               (code == DESFire::SamFailure &&
                ev2->errorstr(code) == NFC::MifareSAM::errorToStr(NFC::MifareSAM::TransmitFailed));
    };

    // A clear run loses its first card answer, and the SAM run after it gets its own first answer
    // only 700 ms behind the late one: no run may take the card's answer for the SAM's.
    reader->inject({Fault::Overtaken, 0, 0x1203});
    reader->inject({Fault::Delay, 700, 0x1203});
    EXPECT_EQ(authenticate(Form::Clear), DESFire::Timeout);
    const DESFire::Error afterLoss = authenticate(Form::Sam);
    EXPECT_TRUE(afterLoss == 0 || lost(afterLoss))
        << std::hex << afterLoss << " " << ev2->errorstr(afterLoss);
    ASSERT_EQ(authenticate(Form::Sam), 0);

    reader->setRecording(false);
    // A wrong cryptogram is a failure whatever the machine does. A lost answer is the line's, not
    // the challenge's: a reader held up for over a second by a loaded machine may lose one, which
    // costs its own run and at most the next (the line is in step within two commands), never a
    // wrong answer after it; more than that is no longer the machine.
    int failures = 0, losses = 0;
    std::string which;  // "run:code" of each failure, to tell a lost frame from a wrong cryptogram
    for (int i = 0; i < 2000; ++i)
        if (const DESFire::Error code = authenticate(i % 2 == 0 ? Form::Sam : Form::Clear); code != 0) {
            ++(lost(code) ? losses : failures);
            which += " " + std::to_string(i) + ":" + std::to_string(code);
        }
    EXPECT_EQ(failures, 0) << which;
    EXPECT_LE(losses, 2) << which;
    if (losses != 0)
        std::printf("lost answers (run:code):%s\n", which.c_str());
    Bytes out;
    EXPECT_EQ(ev2->readData(DataFile, 0, 8, out, false), 0);
}

}  // namespace
