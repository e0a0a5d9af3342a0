// The Ultralight base readers end to end: NFC::Reader and the Elatec driver over a pseudo-terminal
// to the emulated reader, with the Ultralight EV1 and Ultralight C card models in its field and a
// MIFARE SAM model in slot 0. The card and SAM models compute their side on OpenSSL, so an
// authentication that passes proves both sides agree.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "StderrCapture.h"
#include "UltralightField.h"
#include "Velmora/UltralightCCardReader.h"
#include "Velmora/UltralightEV1CardReader.h"
#include "core/Log.h"
#include "emulators/ByteOps.h"
#include "emulators/CardCrypto.h"
#include "emulators/Hex.h"
#include "emulators/ScriptedCard.h"
#include "emulators/UltralightC.h"
#include "emulators/UltralightEV1.h"

using emulators::Bytes;
using emulators::operator+;
using emulators::fromHex;
using emulators::MifareSam;
using emulators::UltralightC;
using emulators::UltralightCard;
using emulators::UltralightEV1;
using EV1 = RFID::UltralightEV1CardReader;
using ULC = RFID::UltralightCCardReader;
using BareEV1 = testsupport::BareReader<EV1>;
using BareC = testsupport::BareReader<ULC>;

namespace {

// Distinct bytes for pages first .. first + count - 1.
Bytes pattern(int first, int count)
{
    Bytes out;
    for (int i = 0; i < count * 4; ++i) out.push_back(static_cast<uint8_t>(0x40 + first * 4 + i));
    return out;
}

class UltralightReaders : public ::testing::Test
{
protected:
    std::vector<int> pagesWrittenSince(size_t from) const
    {
        return field.pagesWritten(field.framesSince(from));
    }

    testsupport::UltralightField field;
};

TEST_F(UltralightReaders, EV1ReadsInOneFrameAndWritesOnlyChangedPagesFittedToTheRange)
{
    auto card = std::make_shared<UltralightEV1>();
    for (int p = 4; p < 16; ++p) card->setPage(p, pattern(p, 1));
    BareEV1 reader(field.place(card));

    Bytes image = fromHex("FF");  // replaced, not appended to
    ASSERT_TRUE(reader.fastReadPages(4, 12, image));
    EXPECT_EQ(field.framesSince(0), (std::vector<Bytes>{fromHex("3A 04 0F")}));
    EXPECT_EQ(image, pattern(4, 12));

    // clang-format off
    const struct
    {
        const char* name;
        int first, count;
        Bytes data;
        std::vector<int> written;
        Bytes after;  // the range and the page past it
    } steps[] = {
        {"unchanged image", 4, 12, pattern(4, 12), {}, field.memory(4, 13)},
        {"one page changed", 4, 2, pattern(4, 1) + fromHex("DE AD BE EF"), {5},
         pattern(4, 1) + fromHex("DE AD BE EF") + pattern(6, 1)},
        {"short data filled with zeros", 8, 2, fromHex("AA BB CC DD EE"), {8, 9},
         fromHex("AA BB CC DD EE 00 00 00") + pattern(10, 1)},
        {"long data cut", 10, 1, fromHex("11 22 33 44 55 66 77 88"), {10}, fromHex("11 22 33 44") + pattern(11, 1)},
        {"what was written is known", 8, 3, fromHex("AA BB CC DD EE 00 00 00 11 22 33 44"), {},
         fromHex("AA BB CC DD EE 00 00 00 11 22 33 44") + pattern(11, 1)},
    };
    // clang-format on
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        const size_t before = card->commands().size();
        ASSERT_TRUE(reader.writePages(s.first, s.count, s.data)) << reader.error().text();
        EXPECT_EQ(pagesWrittenSince(before), s.written);
        EXPECT_EQ(field.framesSince(before).size(), s.written.size());
        EXPECT_EQ(field.memory(s.first, s.count + 1), s.after);
    }
}

TEST_F(UltralightReaders, EV1ConfigurationPagesAndPasswordChecks)
{
    const EV1::Configuration custom{0x04, 0x04, 0x01, 0x05, 0x12345678, 0xABCD};  // MOD .. PACK
    const struct
    {
        const char* name;
        EV1::Configuration config;
        Bytes pages;  // 37 to 40 as the card holds them
    } configs[] = {
        {"chip defaults", EV1::Configuration(),
         fromHex("00 00 00 FF  00 05 00 00  FF FF FF FF  FF FF 00 00")},
        // Protection from page 4 on: the card takes it only when AUTH0 goes last.
        {"protected", custom, fromHex("04 00 00 04  01 05 00 00  12 34 56 78  AB CD 00 00")},
    };
    std::shared_ptr<UltralightEV1> card;
    for (const auto& c : configs) {
        SCOPED_TRACE(c.name);
        card = std::make_shared<UltralightEV1>();
        BareEV1 writer(field.place(card));
        ASSERT_TRUE(writer.writeConfig(c.config)) << writer.error().text();
        EXPECT_EQ(pagesWrittenSince(0), (std::vector<int>{38, 39, 40, 37}));
        EXPECT_EQ(field.memory(37, 4), c.pages);

        BareEV1 reader(field.reselect());
        const size_t before = card->commands().size();
        EV1::Configuration read;
        read.PWD = 0x01;
        ASSERT_TRUE(reader.readConfig(read)) << reader.error().text();
        EXPECT_EQ(field.framesSince(before), (std::vector<Bytes>{fromHex("30 25")}));
        // The card never shows PWD and PACK.
        EXPECT_EQ(
            (std::vector<unsigned>{read.MOD, read.AUTH0, read.ACCESS, read.VCTID, read.PWD, read.PACK}),
            (std::vector<unsigned>{c.config.MOD, c.config.AUTH0, c.config.ACCESS, c.config.VCTID, 0, 0}));
    }

    const struct
    {
        uint32_t password;
        uint16_t pack;
        std::string error;  // empty: verified
    } checks[] = {
        {0x12345678, 0xABCD, ""},
        {0x12345678, 0x1234, "verifyPassword: Password ACK mismatch (exp=1234, recv=abcd)"},
        {0x12345679, 0xABCD, "verifyPassword: Password mismatch : (1) InvalidArgument"},
    };
    Log::open("tapgate-test", true, false);
    testsupport::StderrCapture capture;
    for (const auto& c : checks) {
        SCOPED_TRACE(c.error);
        BareEV1 reader(field.reselect());
        EXPECT_EQ(reader.verifyPassword(c.password, c.pack), c.error.empty());
        EXPECT_EQ(reader.error().text(), c.error);
        EXPECT_EQ(reader.error().code(),
                  c.error.empty() ? RFID::Error::Success : RFID::Error::CardReadWriteError);
        EXPECT_EQ(card->authenticated(), c.error.empty() || c.pack != custom.PACK);
    }
    // Text from a card or a client is logged as it is, never taken for a format.
    BareEV1 reader(field.reselect());
    reader.setError("write", "100% %s%n");
    EXPECT_EQ(reader.error().text(), "write: 100% %s%n");
    const std::string log = capture.text();
    Log::open("tapgate-test", false, false);
    for (const char* line :
         {"[Bare] Password verified\n",
          "[Bare] ERROR: Operation 'verifyPassword' failed: Password ACK mismatch (exp=1234, recv=abcd)\n",
          "[Bare] ERROR: Operation 'write' failed: 100% %s%n\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

// A chip reads its PWD and PACK as zeros; a scripted card shows them, and with them their order.
TEST_F(UltralightReaders, EV1ConfigurationReadTakesPasswordAndPackMostSignificantByteFirst)
{
    auto withCrc = [](Bytes b) {
        const uint16_t crc = emulators::cardcrypto::crcA(b);
        return b + Bytes{static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)};
    };
    auto scripted = std::make_shared<emulators::ScriptedCard>(UltralightEV1().identity());
    scripted->expect3(withCrc(fromHex("30 25")),
                      withCrc(fromHex("00 00 00 04  80 05 00 00  12 34 56 78  AB CD 00 00")));
    field.emulator.setCard(scripted);
    BareEV1 reader(field.nfc->searchTag(1000));
    EV1::Configuration config;
    ASSERT_TRUE(reader.readConfig(config)) << reader.error().text();
    EXPECT_EQ(config.PWD, 0x12345678u);
    EXPECT_EQ(config.PACK, 0xABCD);
    EXPECT_TRUE(scripted->allUsed()) << scripted->report();
}

TEST_F(UltralightReaders, EV1OtpBitsAddUpAndFailuresNameTheOperation)
{
    auto card = std::make_shared<UltralightEV1>();
    BareEV1 reader(field.place(card));
    ASSERT_TRUE(reader.writeOTP(fromHex("0F 00 00 01")));
    ASSERT_TRUE(reader.writeOTP(fromHex("F0 00 00 00")));
    Bytes otp;
    ASSERT_TRUE(reader.readOTP(otp));
    EXPECT_EQ(otp, fromHex("FF 00 00 01"));
    EXPECT_EQ(card->page(3), otp);
    // Once page 3 is known, the cache holds what the card makes of a write: the OR of old and new.
    ASSERT_TRUE(reader.writeOTP(fromHex("00 00 00 10")));
    const size_t before = card->commands().size();
    ASSERT_TRUE(reader.writePages(3, 1, fromHex("FF 00 00 11")));
    EXPECT_EQ(card->commands().size(), before);

    using Fault = UltralightCard::Fault;
    Bytes out;
    EV1::Configuration config;
    // clang-format off
    const struct
    {
        const char* name;
        Fault fault;  // injected first unless its command is 0
        std::function<bool(BareEV1&)> operation;
        std::string error;
    } failures[] = {
        {"short OTP", {Fault::Nak, 0, 0}, [](BareEV1& r) { return r.writeOTP(fromHex("01 02 03")); },
         "writeOTP: Incorrect buffer length : 3 bytes"},
        {"mute card", {Fault::Mute, 0, 0x3A}, [&](BareEV1& r) { return r.fastReadPages(4, 4, out); },
         "fastRead: ERROR: Timeout"},
        {"write refused", {Fault::Nak, UltralightCard::NakWriteError, 0xA2},
         [](BareEV1& r) { return r.writePages(4, 1, fromHex("01 02 03 04")); },
         "writePages: [0004] : ERROR EEPROMWriteError"},
        {"config refused", {Fault::Nak, 0, 0x30}, [&](BareEV1& r) { return r.readConfig(config); },
         "readConfig: Error reading page (37): 1"},
    };
    // clang-format on
    for (const auto& f : failures) {
        SCOPED_TRACE(f.name);
        BareEV1 fresh(field.reselect());
        if (f.fault.command != 0)
            card->inject(f.fault);
        const size_t sent = card->commands().size();
        EXPECT_FALSE(f.operation(fresh));
        EXPECT_EQ(fresh.error().text(), f.error);
        if (f.fault.command == 0) {
            EXPECT_EQ(card->commands().size(), sent);
        }
    }

    // A write whose answer is lost may still have taken effect: the page is unknown then, and
    // writing what the cache held before goes to the card again instead of being skipped.
    BareEV1 writer(field.reselect());
    ASSERT_TRUE(writer.writePages(4, 1, fromHex("0A 0B 0C 0D")));
    card->inject({Fault::Mute, 0, 0xA2});
    EXPECT_FALSE(writer.writePages(4, 1, fromHex("01 02 03 04")));
    card->setPage(4, fromHex("01 02 03 04"));
    field.reselect();  // the card woken again; the reader and its cache go on
    ASSERT_TRUE(writer.writePages(4, 1, fromHex("0A 0B 0C 0D")));
    EXPECT_EQ(card->page(4), fromHex("0A 0B 0C 0D"));
}

TEST_F(UltralightReaders, CAuthenticatesWithItsKeyOrThroughTheSam)
{
    const Bytes key = fromHex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
    const Bytes other = fromHex("0F 1E 2D 3C 4B 5A 69 78 87 96 A5 B4 C3 D2 E1 F0");
    const Bytes uid = fromHex("04 3A 91 0C 22 5D 81");  // the card model's
    const Bytes diversified = emulators::cardcrypto::diversify(emulators::cardcrypto::Cipher::TDES, key, uid);
    const uint8_t entry = 0x20;
    const struct
    {
        const char* name;
        Bytes cardKey;
        bool throughSam;
        Bytes key;  // given to the reader, or held in the SAM's entry
        Bytes divInput;
        size_t samCommands;
        std::string error;
    } cases[] = {
        {"factory key", ULC::DefaultKey, false, ULC::DefaultKey, {}, 0, ""},
        {"wrong key", key, false, other, {}, 0, "authenticate: InvalidArgument"},
        {"SAM entry", key, true, key, {}, 2, ""},
        {"SAM entry diversified by the UID", diversified, true, key, uid, 2, ""},
        {"SAM entry of another key", key, true, other, {}, 1, "authenticate: InvalidArgument"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto card = std::make_shared<UltralightC>();
        card->setKey(c.cardKey);
        std::shared_ptr<NFC::SAM> sam;
        if (c.throughSam) {
            auto model = std::make_shared<MifareSam>();
            model->setKeyEntry(entry, MifareSam::KeyEntry::make(MifareSam::Iso10116, MifareSam::Picc, c.key));
            sam = field.insertSam(model);
        }
        BareC reader(field.place(card), sam);
        const Bytes memory = card->memory();

        const bool ok =
            c.throughSam ? reader.authenticate(sam, entry, 0, c.divInput) : reader.authenticate(c.key);
        EXPECT_EQ(ok, c.error.empty());
        EXPECT_EQ(reader.error().text(), c.error);
        EXPECT_EQ(card->authenticated(), ok);
        EXPECT_EQ(field.cardFrames(), 2u);
        if (c.throughSam) {
            EXPECT_EQ(field.samCommands(0x0A), c.samCommands);
        }
        EXPECT_EQ(card->memory(), memory);
    }
}

TEST_F(UltralightReaders, CKeyWrittenByOneReaderOpensTheCardForTheNext)
{
    const Bytes key = fromHex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
    auto card = std::make_shared<UltralightC>();
    BareC first(field.place(card));
    ASSERT_TRUE(first.authenticate(ULC::DefaultKey)) << first.error().text();
    const size_t sent = field.cardFrames();
    for (size_t size : {15, 17}) {
        EXPECT_FALSE(first.writeAuthKey(Bytes(size, 0x00)));
        EXPECT_EQ(first.error().text(), "writeAuthKey: Incorrect key size");
    }
    EXPECT_EQ(field.cardFrames(), sent);
    ASSERT_TRUE(first.writeAuthKey(key)) << first.error().text();
    EXPECT_EQ(field.memory(44, 4), fromHex("77 66 55 44  33 22 11 00  FF EE DD CC  BB AA 99 88"));

    BareC stale(field.reselect());
    EXPECT_FALSE(stale.authenticate(ULC::DefaultKey));
    BareC next(field.reselect());
    EXPECT_TRUE(next.authenticate(key)) << next.error().text();
}

TEST_F(UltralightReaders, CReadsFourPagesAFrameAndWritesOnlyWhatChanged)
{
    auto card = std::make_shared<UltralightC>();
    for (int p = 4; p < 16; ++p) card->setPage(p, pattern(p, 1));
    BareC reader(field.place(card));

    Bytes image;
    ASSERT_TRUE(reader.normalReadPages(4, 12, image)) << reader.error().text();
    EXPECT_EQ(field.framesSince(0),
              (std::vector<Bytes>{fromHex("30 04"), fromHex("30 08"), fromHex("30 0C")}));
    EXPECT_EQ(image, pattern(4, 12));

    size_t sent = field.cardFrames();
    ASSERT_TRUE(reader.writePages(4, 12, image));
    EXPECT_EQ(field.cardFrames(), sent);
    EXPECT_FALSE(reader.writePages(4, 2, fromHex("01 02 03 04 05 06 07")));
    EXPECT_EQ(reader.error().text(), "writePages: Incorrect buffer length : 7 bytes");
    EXPECT_EQ(field.cardFrames(), sent);
    ASSERT_TRUE(reader.writePages(5, 2, pattern(5, 1) + fromHex("01 02 03 04")));
    EXPECT_EQ(pagesWrittenSince(sent), (std::vector<int>{6}));

    sent = field.cardFrames();
    ASSERT_TRUE(reader.writeConfig({0x10, 0x01})) << reader.error().text();
    EXPECT_EQ(pagesWrittenSince(sent), (std::vector<int>{43, 42}));
    EXPECT_EQ(field.memory(42, 2), fromHex("10 00 00 00  01 00 00 00"));
    const Bytes page2 = card->page(2);
    ASSERT_TRUE(reader.writeLockBytes01(0x07, 0x00));
    EXPECT_EQ(card->page(2), Bytes({page2[0], page2[1], 0x07, 0x00}));
}

}  // namespace
