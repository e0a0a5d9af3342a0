// The LG transit SAM end to end: NFC::LGsam over the real ISO 7816 link and Elatec driver, the
// emulated reader at the far end of a pseudo-terminal, and a scripted T=0 SAM in its slot.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "TestSupport.h"
#include "NFC/ISO7816.h"
#include "NFC/Protocols/LGsam.h"
#include "NFC/Protocols/MifareSAM.h"
#include "drivers/ElatecTWN/Driver.h"
#include "emulators/ElatecReader.h"
#include "emulators/Hex.h"
#include "emulators/LGSamResponder.h"

using emulators::Bytes;
using emulators::ElatecReader;
using emulators::fromHex;
using emulators::LGSamResponder;
using NFC::LGsam;

namespace {

// n bytes counting up from first.
Bytes counting(size_t n, uint8_t first = 0)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(first + i);
    return out;
}

Bytes slice(const Bytes& bytes, size_t at, size_t n)
{
    return Bytes(bytes.begin() + at, bytes.begin() + at + n);
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The value of four bytes at `at`, most significant first.
uint32_t be(const Bytes& bytes, size_t at)
{
    return uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 | uint32_t(bytes[at + 2]) << 8 |
           bytes[at + 3];
}

const Bytes Aid = fromHex("D4 10 65 09 90 00 10");
const Bytes AidTlv = fromHex("4F 07 D4 10 65 09 90 00 10 00 00 00");

class LGsamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        reader = std::make_unique<ElatecReader>(ElatecReader::Mode::BinaryCrc);
        sam = std::make_shared<LGSamResponder>();
        reader->setSam(0, sam);
        driver = std::make_shared<ElatecTWN::Driver>(testsupport::SlowLineReadTimeoutMs);
        std::string error;
        ASSERT_TRUE(testsupport::openAsTheServiceDoes(
            *reader, [&] { return driver->open(reader->devicePath(), 115200, &error); }))
            << error;
        link = std::make_shared<NFC::ISO7816>(driver, 0);
        ASSERT_TRUE(link->powerOn(&atr));
        lg = std::make_shared<LGsam>(link, atr);
        reader->clearReceived();
    }

    void TearDown() override { EXPECT_TRUE(sam->clean()) << sam->report(); }

    // The steps of a selectFile that succeeds with the given SELECT answer.
    void scriptSelect(const Bytes& info)
    {
        sam->expect(fromHex("00 CA 02 01 0C"), AidTlv);
        sam->expectFetch(join({fromHex("00 A4 04 00 07"), Aid}), info);
    }

    bool nothingSent() const { return reader->received().empty(); }

    std::unique_ptr<ElatecReader> reader;
    std::shared_ptr<LGSamResponder> sam;
    std::shared_ptr<ElatecTWN::Driver> driver;
    std::shared_ptr<NFC::ISO7816> link;
    std::shared_ptr<LGsam> lg;
    Bytes atr;
};

TEST_F(LGsamTest, LgAtrSlotIsPoweredAsT0SamAndCheckedThroughHostSerial)
{
    EXPECT_EQ(atr, LGsam::ExpectedATR);
    EXPECT_EQ(lg->type(), NFC::SAM::LG);
    ASSERT_TRUE(lg->setDefaultPPS());
    ASSERT_EQ(sam->ppsRequests().size(), 1u);
    EXPECT_EQ(sam->ppsRequests()[0], fromHex("FF 10 18 F7"));
    // T=0, option 5, Fi/Di 0x18, waiting integer 10; this firmware takes one more byte.
    ASSERT_EQ(sam->commSettings().size(), 1u);
    EXPECT_EQ(sam->commSettings()[0], fromHex("00 05 00 00 00 00 18 00 00 0A 00 00 00 00"));

    sam->expect(fromHex("00 CA 01 02 04"), fromHex("12 34 56 78"));
    EXPECT_TRUE(lg->check());
    // A serial number one byte short is not an answering SAM.
    sam->expect(fromHex("00 CA 01 02 04"), fromHex("12 34 56"));
    EXPECT_FALSE(lg->check());
    Bytes serial;
    sam->expect(fromHex("00 CA 01 02 04"), {}, 0x6A82);
    EXPECT_EQ(lg->getHostSN(serial), 0x6A82);
    EXPECT_EQ(LGsam::errorToStr(0x6A82), "File not found.");
    EXPECT_TRUE(sam->allUsed()) << sam->report();
}

TEST_F(LGsamTest, SelectFileRetriesOnWrongLeAndFillsSamInfo)
{
    EXPECT_FALSE(lg->unlocked());
    const Bytes info = counting(81);
    sam->expect(fromHex("00 CA 02 01 0C"), {}, 0x6C0C);
    scriptSelect(info);
    LGsam::SAMinfo out;
    ASSERT_EQ(lg->selectFile(out), 0) << sam->report();
    EXPECT_TRUE(sam->allUsed()) << sam->report();
    EXPECT_TRUE(lg->unlocked());

    EXPECT_EQ(out.aid, Aid);
    EXPECT_EQ(Bytes(out.status.begin(), out.status.end()), slice(info, 4, 4));
    EXPECT_EQ(Bytes(out.samId.begin(), out.samId.end()), slice(info, 8, 8));
    const size_t words[13] = {16, 20, 25, 29, 33, 37, 41, 45, 49, 53, 57, 72, 76};
    for (size_t i = 0; i < 13; ++i)
        EXPECT_EQ(Bytes(out.words[i].begin(), out.words[i].end()), slice(info, words[i], 4)) << "word " << i;
    EXPECT_EQ(out.flags[0], 24);
    EXPECT_EQ(out.flags[1], 71);
    EXPECT_EQ(out.flags[2], 80);
}

TEST_F(LGsamTest, SelectFileStopsWhereTheSamRefusesOrTheTlvOverruns)
{
    LGsam::SAMinfo out;
    out.aid = {0xEE};

    // Another length asked for: the command goes again with it, but the answer must still be 12 bytes.
    sam->expect(fromHex("00 CA 02 01 0C"), {}, 0x6C0D);
    sam->expect(fromHex("00 CA 02 01 0D"), join({AidTlv, {0x00}}));
    EXPECT_EQ(lg->selectFile(out), 0xFF02);
    // Only one retry.
    sam->expect(fromHex("00 CA 02 01 0C"), {}, 0x6C0C);
    sam->expect(fromHex("00 CA 02 01 0C"), {}, 0x6C0C);
    EXPECT_EQ(lg->selectFile(out), 0x6C0C);
    sam->expect(fromHex("00 CA 02 01 0C"), {}, 0x6D00);
    EXPECT_EQ(lg->selectFile(out), 0x6D00);
    // An identifier longer than the answer can hold.
    sam->expect(fromHex("00 CA 02 01 0C"), fromHex("4F 0B D4 10 65 09 90 00 10 00 00 00"));
    EXPECT_EQ(lg->selectFile(out), 0xFF02);
    // SELECT must announce 81 bytes; anything else is its answer and nothing is fetched.
    sam->expect(fromHex("00 CA 02 01 0C"), AidTlv);
    sam->expect(join({fromHex("00 A4 04 00 07"), Aid}), {}, 0x6152);
    EXPECT_EQ(lg->selectFile(out), 0x6152);

    EXPECT_TRUE(sam->allUsed()) << sam->report();
    EXPECT_EQ(out.aid, Bytes{0xEE});
    EXPECT_FALSE(lg->unlocked());
}

TEST_F(LGsamTest, GetVersionReadsGetDataThenSelect)
{
    Bytes info = counting(81);
    info[16] = 0x00;
    info[17] = 0x03;
    info[18] = 0x02;
    info[19] = 0x10;
    sam->expect(fromHex("00 CA 02 00 02"), fromHex("A1 B2"));
    scriptSelect(info);
    LGsam::Version version;
    ASSERT_EQ(lg->getVersion(version), 0) << sam->report();
    EXPECT_TRUE(sam->allUsed()) << sam->report();
    EXPECT_EQ(version.data[0], 0xA1);
    EXPECT_EQ(version.data[1], 0xB2);
    EXPECT_EQ(version.samId, slice(info, 8, 8));
    EXPECT_EQ(version.major, 10);          // "10"
    EXPECT_EQ(version.minor, 2);           // "2"
    EXPECT_EQ(version.release, 3 + 0x30);  // "0003"
    EXPECT_EQ(version.aid, "D4106509900010");
    EXPECT_EQ(version.status, Bytes{7});
    EXPECT_EQ(version.flag, Bytes{24});
    EXPECT_TRUE(sam->allUsed()) << sam->report();
}

TEST_F(LGsamTest, SamBalanceTakesFiveCommandsAndKeepsWhatCameBeforeAFailure)
{
    const Bytes values = counting(20, 0x10);
    for (uint8_t n = 1; n <= 5; ++n)
        sam->expect(Bytes{0x80, 0x56, 0x00, n, 0x04}, slice(values, (n - 1) * 4u, 4));
    LGsam::SAMbalanceData balance;
    ASSERT_EQ(lg->getSAMbalance(balance), 0) << sam->report();
    EXPECT_EQ(balance.samTransSN, be(values, 0));
    EXPECT_EQ(balance.valueBal, be(values, 4));
    EXPECT_EQ(balance.countBal, be(values, 8));
    EXPECT_EQ(balance.daysBal, be(values, 12));
    EXPECT_EQ(balance.minutesBal, be(values, 16));

    LGsam::SAMbalanceData partial;
    partial.countBal = partial.daysBal = partial.minutesBal = 0xEEEEEEEE;
    sam->expect(fromHex("80 56 00 01 04"), fromHex("00 00 00 07"));
    sam->expect(fromHex("80 56 00 02 04"), fromHex("00 01 86 A0"));
    sam->expect(fromHex("80 56 00 03 04"), {}, 0x6985);
    EXPECT_EQ(lg->getSAMbalance(partial), 0x6985);
    EXPECT_EQ(partial.samTransSN, 7u);
    EXPECT_EQ(partial.valueBal, 100000u);
    EXPECT_EQ(partial.countBal, 0xEEEEEEEEu);
    EXPECT_EQ(partial.minutesBal, 0xEEEEEEEEu);
    EXPECT_TRUE(sam->allUsed()) << sam->report();
}

TEST_F(LGsamTest, ReloadRecordsGoAndComeByteExact)
{
    LGsam::SAMreloadReq request;
    request.valueBal = 0x01020304;
    request.countBal = 0x05060708;
    request.daysBal = 0x090A0B0C;
    request.minutesBal = 0x0D0E0F10;
    request.hostTransSN = 0x11121314;
    request.date = counting(7, 0x15);
    request.sign2 = counting(4, 0x1C);
    request.hostRandom = counting(8, 0x20);
    const Bytes answer = counting(67, 0x30);
    sam->expectFetch(join({fromHex("80 36 00 05 27"), counting(39, 0x01)}), answer);
    LGsam::SAMreloadResp response;
    ASSERT_EQ(lg->reloadSAM(true, 0x05, request, response), 0) << sam->report();
    EXPECT_EQ(response.transType, answer[0]);
    EXPECT_EQ(response.transSubType, answer[1]);
    EXPECT_EQ(response.samId, slice(answer, 2, 8));
    const uint32_t values[10] = {response.samTransSN,    response.hostTransSN,  response.transValueBal,
                                 response.transCountBal, response.transDaysBal, response.transMinutesBal,
                                 response.valueBal,      response.countBal,     response.daysBal,
                                 response.minutesBal};
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(values[i], be(answer, 10 + 4 * i)) << "value " << i;
    EXPECT_EQ(response.date, slice(answer, 50, 7));
    EXPECT_EQ(response.keyVer, answer[57]);
    EXPECT_EQ(response.algoId, answer[58]);
    EXPECT_EQ(response.signInd, slice(answer, 59, 4));
    EXPECT_EQ(response.sign3, slice(answer, 63, 4));

    // The other direction of the same command.
    sam->expectFetch(join({fromHex("80 B6 00 00 27"), counting(39, 0x01)}), answer);
    ASSERT_EQ(lg->reloadSAM(false, 0x00, request, response), 0) << sam->report();

    const Bytes init = counting(115, 0x40);
    sam->expect(fromHex("80 34 07 00 73"), init);
    LGsam::SAMinitReloadData data;
    ASSERT_EQ(lg->initReloadSAM(true, 0x07, data), 0) << sam->report();
    EXPECT_EQ(data.loadType, init[0]);
    EXPECT_EQ(data.issuerId, init[1]);
    EXPECT_EQ(data.keyVer, init[2]);
    EXPECT_EQ(data.samId, slice(init, 3, 8));
    const uint32_t state[9] = {data.samTransSN, data.valueBal,    data.valueMaxBal,
                               data.countBal,   data.countMaxBal, data.daysBal,
                               data.daysMaxBal, data.minutesBal,  data.minutesMaxBal};
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(state[i], be(init, 11 + 4 * i)) << "state " << i;
    EXPECT_EQ(data.algoId, init[47]);
    EXPECT_EQ(data.sign1, slice(init, 48, 4));
    EXPECT_EQ(data.transType, init[52]);
    EXPECT_EQ(data.transSubType, init[53]);
    const uint32_t last[10] = {data.hostTransSN,   data.lastSamTransSN, data.transValueBal,
                               data.transCountBal, data.transDaysBal,   data.transMinutesBal,
                               data.lastValueBal,  data.lastCountBal,   data.lastDaysBal,
                               data.lastMinutesBal};
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(last[i], be(init, 54 + 4 * i)) << "last load " << i;
    EXPECT_EQ(data.date, slice(init, 94, 7));
    EXPECT_EQ(data.lastKeyVer, init[101]);
    EXPECT_EQ(data.lastAlgoId, init[102]);
    EXPECT_EQ(data.lastSign, slice(init, 103, 4));
    EXPECT_EQ(data.random, slice(init, 107, 8));

    sam->expect(fromHex("80 B4 01 00 73"), init);
    ASSERT_EQ(lg->initReloadSAM(false, 0x01, data), 0) << sam->report();
    EXPECT_TRUE(sam->allUsed()) << sam->report();
}

TEST_F(LGsamTest, SindRecordsGoAndComeByteExact)
{
    LGsam::SindRequest request;
    request.idCenter = 0x01;
    request.vkset = 0x02;
    request.trt = 0x03;
    request.idEp = counting(8, 0x04);
    request.ntEp = 0x0C0D0E0F;
    request.mDa = 0x10111213;
    request.balEp = 0x14151617;
    const Bytes answer = counting(44, 0x80);
    sam->expectFetch(join({fromHex("80 18 00 00 17"), counting(23, 0x01)}), answer);
    LGsam::SindResponse response;
    ASSERT_EQ(lg->getSind(request, response), 0) << sam->report();
    EXPECT_EQ(response.idCenter, answer[0]);
    EXPECT_EQ(response.vkset, answer[1]);
    EXPECT_EQ(response.trt, answer[2]);
    EXPECT_EQ(response.idEp, slice(answer, 3, 8));
    EXPECT_EQ(response.ntEp, be(answer, 11));
    EXPECT_EQ(response.mDa, be(answer, 15));
    EXPECT_EQ(response.balEp, be(answer, 19));
    EXPECT_EQ(response.idSam, slice(answer, 23, 8));
    EXPECT_EQ(response.ntSam, be(answer, 31));
    EXPECT_EQ(response.balSam, be(answer, 35));
    EXPECT_EQ(response.sind, be(answer, 39));
    EXPECT_EQ(response.alg, answer[43]);
    EXPECT_TRUE(sam->allUsed()) << sam->report();
}

TEST_F(LGsamTest, InitializeSamCutsEachAnswerLengthAndKeepsWhatItDoesNotCarry)
{
    // Offsets in the answer; -1 where the answer does not carry the field.
    struct Layout
    {
        uint8_t algo;
        size_t length;
        int keyType, samType, samId, extraType, extraValue, sign1, transSeq, randomNum;
    };
    const Layout layouts[] = {
        {2, 28, -1, 3, 4, -1, -1, 12, 16, 20},
        {5, 29, 3, 4, 5, -1, -1, 13, 17, 21},
        {10, 33, -1, 3, 4, 12, 13, 17, 21, 25},
    };
    for (const Layout& l : layouts) {
        SCOPED_TRACE(int(l.algo));
        const Bytes a = counting(l.length, 0x40);
        sam->expect(Bytes{0x80, 0x22, l.algo, 0x00, static_cast<uint8_t>(l.length)}, a);
        LGsam::SAMinitData d;
        d.keyType = d.extraType = 0xEE;
        d.extraValue = 0xEEEEEEEE;
        ASSERT_EQ(lg->initializeSAM(l.algo, d), 0) << sam->report();
        EXPECT_EQ(d.algoId, a[0]);
        EXPECT_EQ(d.issuerId, a[1]);
        EXPECT_EQ(d.keyVer, a[2]);
        EXPECT_EQ(d.keyType, l.keyType < 0 ? 0xEE : a[l.keyType]);
        EXPECT_EQ(d.samType, a[l.samType]);
        EXPECT_EQ(d.samId, slice(a, l.samId, 8));
        EXPECT_EQ(d.extraType, l.extraType < 0 ? 0xEE : a[l.extraType]);
        EXPECT_EQ(d.extraValue, l.extraValue < 0 ? 0xEEEEEEEE : be(a, l.extraValue));
        EXPECT_EQ(d.sign1, slice(a, l.sign1, 4));
        EXPECT_EQ(d.transSeq, be(a, l.transSeq));
        EXPECT_EQ(d.randomNum, slice(a, l.randomNum, 8));
    }

    // The answer must be as long as the algorithm says.
    sam->expect(fromHex("80 22 0A 00 21"), counting(29));
    LGsam::SAMinitData kept;
    EXPECT_EQ(lg->initializeSAM(10, kept), 0xFF02);
    EXPECT_EQ(kept.samId, Bytes{});
    EXPECT_TRUE(sam->allUsed()) << sam->report();
}

// Outgoing commands whose answer waits behind 0x61xx: header, data and fetched answer.
TEST_F(LGsamTest, EachCommandCarriesItsFieldsAndFetchesWhatItAnnounces)
{
    const Bytes rndB = counting(16, 0xA0);
    const Bytes div = counting(7, 0x01);
    const Bytes uid = counting(7, 0x01);
    const Bytes idEp = counting(8, 0x10);
    struct Row
    {
        Bytes command;
        Bytes answer;
        std::function<int(Bytes&)> run;
    };
    const std::vector<Row> rows = {
        // Twice the challenge: the enciphered RndA and the rotated RndB.
        {join({fromHex("80 0A 05 00 19 01 02"), div, rndB}), counting(32),
         [&](Bytes& out) { return lg->authenticatePICCPart1(0x05, rndB, div, 0x01, 0x02, out); }},
        {join({fromHex("80 52 03 01 19 01 02"), div, rndB}), counting(32),
         [&](Bytes& out) { return lg->initSAMforCardReload(0x03, rndB, div, 0x01, 0x02, 9, out); }},
        // Unknown transaction types still go for the debit, with P2 0xFF.
        {join({fromHex("80 54 00 FF 25 01 02 07"), counting(16), rndB, fromHex("90 C0")}), counting(52),
         [&](Bytes& out) {
             return lg->debitSAMforCardReload(1, 2, 7, counting(8), counting(4, 8), counting(4, 12), rndB,
                                              fromHex("90 C0"), out);
         }},
        {join({fromHex("80 7C 00 00 05"), counting(5)}), counting(8),
         [&](Bytes& out) { return lg->generateMAC(counting(5), out); }},
        {join({fromHex("80 E2 00 00 03"), counting(3)}), counting(8),
         [&](Bytes& out) { return lg->generateMACforReload(counting(3), out); }},
        {fromHex("00 78 02 00 01 01"), fromHex("03 04"),
         [&](Bytes& out) { return lg->getIssuerKeyVersion(out); }},
        {join({fromHex("80 E4 04 01 0D 01 02"), idEp, fromHex("AA BB CC")}), counting(24),
         [&](Bytes& out) { return lg->encryptDecryptData(4, 1, 2, idEp, false, fromHex("AA BB CC"), out); }},
        {join({fromHex("80 E4 04 00 0A 01 02"), idEp}), counting(8),
         [&](Bytes& out) { return lg->encryptDecryptData(4, 1, 2, idEp, true, {}, out); }},
        {join({fromHex("80 7E 00 00 07 0A 0B 0C"), counting(4)}), fromHex("C1 C2"),
         [&](Bytes& out) { return lg->generateIssuerCert(0x0A, 0x0B, 0x0C, counting(4), out); }},
        {join({fromHex("80 FC 02 FF 1A 0A 0B 0C"), uid, counting(16)}), counting(16),
         [&](Bytes& out) {
             return lg->encryptTpassData(2, 10, 11, 12, uid, counting(2), counting(14, 2), out);
         }},
        {join({fromHex("80 FA 02 00 1D 0A 0B"), uid, counting(20)}), counting(12),
         [&](Bytes& out) { return lg->decryptTpassData(2, 10, 11, uid, counting(2), counting(18, 2), out); }},
        {join({fromHex("80 F6 02 FF 1E 0A 0B 0C"), uid, counting(20)}), counting(60),
         [&](Bytes& out) {
             return lg->encryptTvalueData(2, 10, 11, 12, uid, counting(4), counting(4, 4), counting(12, 8),
                                          out);
         }},
        {join({fromHex("80 F4 02 00 1D 0A 0B"), uid, counting(20)}), counting(12),
         [&](Bytes& out) {
             return lg->decryptTvalueData(2, 10, 11, uid, counting(2), counting(18, 2), out);
         }},
        {join({fromHex("80 26 00 00 5B"), counting(91)}), counting(4),
         [&](Bytes& out) {
             return lg->updateParameter(counting(4), 4, counting(20, 5), counting(20, 25), counting(20, 45),
                                        counting(20, 65), counting(6, 85), out);
         }},
        {join({fromHex("80 72 00 00 0D"), counting(13)}), counting(4),
         [&](Bytes& out) { return lg->updateIssuer(counting(4), 4, counting(8, 5), out); }},
        {join({fromHex("80 2C 00 00 14"), counting(20)}), counting(4),
         [&](Bytes& out) { return lg->onlineAuth(counting(8), counting(4, 8), counting(8, 12), out); }},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        sam->expectFetch(rows[i].command, rows[i].answer);
        Bytes out;
        EXPECT_EQ(rows[i].run(out), 0) << "row " << i << ": " << sam->report();
        EXPECT_EQ(out, rows[i].answer) << "row " << i;
    }

    const uint8_t trts[] = {2, 8, 10, 11};
    const uint8_t p2s[] = {0x00, 0x02, 0x02, 0x03};
    Bytes out;
    for (size_t i = 0; i < 4; ++i) {
        sam->expectFetch(join({Bytes{0x80, 0x52, 0x03, p2s[i], 0x19, 0x01, 0x02}, div, rndB}), counting(32));
        EXPECT_EQ(lg->initSAMforCardReload(0x03, rndB, div, 0x01, 0x02, trts[i], out), 0) << int(trts[i]);
    }
    sam->expect(join({fromHex("80 0A 00 00 10"), rndB}), {});
    EXPECT_EQ(lg->authenticatePICCPart2(rndB), 0);
    sam->expect(join({fromHex("80 10 09 00 0D 01 02"), uid, counting(4)}), {});
    EXPECT_EQ(lg->checkIssueCertUL48(0x09, 0x01, 0x02, uid, counting(2), counting(2, 2)), 0);
    sam->expect(join({fromHex("80 5C 00 00 0C"), counting(12)}), {}, 0x6988);
    EXPECT_EQ(lg->verifyMAC(counting(12)), 0x6988);
    EXPECT_EQ(LGsam::errorToStr(0x6988), "MAC Error.");

    // An announcement of another length is the result, and nothing is fetched.
    out = {0xEE};
    sam->expect(join({fromHex("80 0A 05 00 11 01 02"), div, counting(8)}), {}, 0x6120);
    EXPECT_EQ(lg->authenticatePICCPart1(0x05, counting(8), div, 0x01, 0x02, out), 0x6120);
    sam->expect(join({fromHex("80 7C 00 00 05"), counting(5)}), {}, 0x6110);
    EXPECT_EQ(lg->generateMAC(counting(5), out), 0x6110);
    sam->expect(fromHex("00 78 02 00 01 01"), {}, 0x6103);
    EXPECT_EQ(lg->getIssuerKeyVersion(out), 0x6103);
    EXPECT_EQ(out, Bytes{0xEE});
    EXPECT_TRUE(sam->allUsed()) << sam->report();
}

// 61 00 announces 256 bytes, fetched with P3 00; a GET RESPONSE that gives more than it was asked
// for is a wrong length, and the output is left as it was.
TEST_F(LGsamTest, SixtyOneZeroFetchesTwoHundredFiftySixAndAnOverlongAnswerIsRefused)
{
    const Bytes idEp = counting(8, 0x10);
    const Bytes command = join({fromHex("80 E4 04 00 0A 01 02"), idEp});
    sam->expectFetch(command, counting(256));
    Bytes out;
    EXPECT_EQ(lg->encryptDecryptData(4, 1, 2, idEp, true, {}, out), 0) << sam->report();
    EXPECT_EQ(out, counting(256));

    sam->expect(command, {}, 0x6108);
    sam->expect(fromHex("00 C0 00 00 08"), counting(9));
    out = {0xEE};
    EXPECT_EQ(lg->encryptDecryptData(4, 1, 2, idEp, true, {}, out), LGsam::WrongAnswerSize);
    EXPECT_EQ(out, Bytes{0xEE});
    EXPECT_TRUE(sam->allUsed()) << sam->report();
}

TEST_F(LGsamTest, KeySetsGoOneShareACommand)
{
    const Bytes samId = counting(8, 0x50);
    const Bytes keys = counting(32, 0x80);
    Bytes out = {0xEE};
    sam->expect(join({fromHex("80 74 01 00 1E"), samId, fromHex("03 11 12 13 14 01"), slice(keys, 0, 16)}),
                {});
    sam->expect(join({fromHex("80 74 01 00 1E"), samId, fromHex("03 11 12 13 14 02"), slice(keys, 16, 16)}),
                {});
    EXPECT_EQ(lg->addUpdateKeySet(true, true, 0x03, samId, 0x11, 0x12, 0x13, 0x14, 2, keys, out), 0);

    // Without the counter byte; the first refused share ends it.
    sam->expect(join({fromHex("80 76 01 00 1B"), samId, fromHex("03 11 12 13 14"), slice(keys, 0, 14)}), {});
    sam->expect(join({fromHex("80 76 01 00 1B"), samId, fromHex("03 11 12 13 14"), slice(keys, 14, 14)}), {},
                0x9111);
    EXPECT_EQ(
        lg->addUpdateKeySet(false, false, 0x03, samId, 0x11, 0x12, 0x13, 0x14, 2, slice(keys, 0, 28), out),
        0x9111);
    EXPECT_EQ(LGsam::errorToStr(0x9111), "Key version inconsistence.");
    EXPECT_TRUE(sam->allUsed()) << sam->report();

    reader->clearReceived();
    EXPECT_EQ(lg->addUpdateKeySet(true, true, 0x03, samId, 0x11, 0x12, 0x13, 0x14, 0, keys, out), 0);
    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(out, Bytes{0xEE});
}

TEST_F(LGsamTest, CipherCommandsChainFramesOnTheLogicalChannel)
{
    lg->setLogicalChannel(2);
    const Bytes plain = counting(247);
    sam->expectFetch(join({fromHex("82 ED AF 03 F6"), slice(plain, 0, 246)}), counting(120, 0x10));
    sam->expectFetch(join({fromHex("82 ED 00 03 01"), slice(plain, 246, 1)}), counting(16, 0x20), 0x90AF);
    Bytes cipher = {0xCC};
    ASSERT_EQ(lg->encipherData(plain, cipher, 0x13), 0) << sam->report();
    EXPECT_EQ(cipher, join({{0xCC}, counting(120, 0x10), counting(16, 0x20)}));

    const Bytes enc = counting(250, 0x05);
    sam->expectFetch(join({fromHex("82 DD 00 00 FB 03 02 01"), slice(enc, 0, 248)}), counting(100));
    // A frame whose answer is only a status word adds nothing.
    sam->expect(join({fromHex("82 DD 00 00 02"), slice(enc, 248, 2)}), {}, 0x9000);
    Bytes plainOut;
    ASSERT_EQ(lg->decipherData(enc, plainOut, 0x010203), 0) << sam->report();
    EXPECT_EQ(plainOut, counting(100));

    // The first failing frame ends it; what came before stays.
    sam->expectFetch(join({fromHex("82 ED AF 00 F6"), slice(plain, 0, 246)}), counting(8));
    sam->expect(join({fromHex("82 ED 00 00 01"), slice(plain, 246, 1)}), {}, 0x9113);
    cipher.clear();
    EXPECT_EQ(lg->encipherData(plain, cipher, 0), 0x9113);
    EXPECT_EQ(cipher, counting(8));
    EXPECT_TRUE(sam->allUsed()) << sam->report();

    reader->clearReceived();
    EXPECT_EQ(lg->encipherData({}, cipher, 0), 0);
    EXPECT_EQ(lg->decipherData({}, plainOut, 0), 0);
    EXPECT_TRUE(nothingSent());
}

TEST_F(LGsamTest, BadArgumentsAreRefusedWithoutAnyExchange)
{
    const Bytes uid = counting(7);
    const Bytes samId = counting(8);
    Bytes out = {0xEE};
    LGsam::SAMinitData init;
    init.samId = {0xEE};

    EXPECT_EQ(lg->initSAMforCardReload(1, counting(8), counting(8), 1, 2, 5, out), 0x6A86);
    EXPECT_EQ(LGsam::errorToStr(0x6A86), "Incorrect value for parameter P1 and/or P2.");
    for (uint8_t algo : {0, 1, 8, 9, 11, 0xFF}) EXPECT_EQ(lg->initializeSAM(algo, init), 0x6A86) << int(algo);

    // Fixed P3 commands whose byte strings do not fill it.
    EXPECT_EQ(lg->encryptTpassData(1, 1, 2, 3, uid, counting(2), counting(13), out), 0x6700);
    EXPECT_EQ(lg->encryptTpassData(1, 1, 2, 3, uid, counting(2), counting(15), out), 0x6700);
    EXPECT_EQ(lg->decryptTpassData(1, 1, 2, uid, counting(2), counting(17), out), 0x6700);
    EXPECT_EQ(lg->encryptTvalueData(1, 1, 2, 3, uid, counting(4), counting(4), counting(13), out), 0x6700);
    EXPECT_EQ(lg->decryptTvalueData(1, 1, 2, uid, counting(2), counting(19), out), 0x6700);
    EXPECT_EQ(lg->checkIssueCertUL48(1, 1, 2, uid, counting(2), counting(3)), 0x6700);
    EXPECT_EQ(lg->updateParameter(counting(4), 4, counting(20), counting(20), counting(20), counting(20),
                                  counting(5), out),
              0x6700);
    EXPECT_EQ(lg->updateIssuer(counting(4), 4, counting(9), out), 0x6700);
    EXPECT_EQ(lg->onlineAuth(counting(8), counting(4), counting(7), out), 0x6700);
    EXPECT_EQ(lg->encryptDecryptData(1, 1, 2, counting(7), true, counting(8), out), 0x6700);
    EXPECT_EQ(
        lg->debitSAMforCardReload(1, 2, 2, counting(8), counting(4), counting(3), counting(16), {}, out),
        0x6700);
    LGsam::SindRequest sind;
    sind.idEp = counting(7);
    LGsam::SindResponse sindOut;
    EXPECT_EQ(lg->getSind(sind, sindOut), 0x6700);
    LGsam::SAMreloadReq reload;
    reload.date = counting(6);
    reload.sign2 = counting(4);
    reload.hostRandom = counting(8);
    LGsam::SAMreloadResp reloadOut;
    EXPECT_EQ(lg->reloadSAM(true, 0, reload, reloadOut), 0x6700);

    // Key data that does not cut into whole shares, or shares too long for one command.
    EXPECT_EQ(lg->addUpdateKeySet(true, true, 3, samId, 1, 2, 3, 4, 3, counting(32), out), 0x6700);
    EXPECT_EQ(lg->addUpdateKeySet(true, true, 3, samId, 1, 2, 3, 4, 2, {}, out), 0x6700);
    EXPECT_EQ(lg->addUpdateKeySet(true, true, 3, counting(7), 1, 2, 3, 4, 1, counting(16), out), 0x6700);
    EXPECT_EQ(lg->addUpdateKeySet(true, true, 3, samId, 1, 2, 3, 4, 1, counting(242), out), 0x6700);
    EXPECT_EQ(lg->addUpdateKeySet(true, false, 3, samId, 1, 2, 3, 4, 1, Bytes(243), out), 0x6700);

    // More than one P3 can count: refused instead of sent with a wrapped length.
    EXPECT_EQ(lg->verifyMAC(Bytes(256)), 0x6700);
    EXPECT_EQ(lg->generateMAC(Bytes(300), out), 0x6700);
    EXPECT_EQ(lg->authenticatePICCPart1(0, counting(200), counting(60), 1, 2, out), 0x6700);
    EXPECT_EQ(lg->generateIssuerCert(1, 2, 3, Bytes(253), out), 0x6700);

    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(out, Bytes{0xEE});
    EXPECT_EQ(init.samId, Bytes{0xEE});
    EXPECT_TRUE(sam->allUsed()) << sam->report();
}

TEST_F(LGsamTest, LinkFailureIsKeptApartFromSamRefusal)
{
    // Off the script: the SAM stays silent and the reader reports the exchange as failed.
    Bytes out = {0xEE};
    EXPECT_EQ(lg->getHostSN(out), 0xFF01);
    EXPECT_FALSE(lg->check());
    EXPECT_EQ(LGsam::errorToStr(0xFF01), "APDU transmit failed or no response received.");
    sam->load({});

    // A failure at GET RESPONSE is a link failure too, not a length error.
    sam->expect(join({fromHex("80 7C 00 00 02"), counting(2)}), {}, 0x6108);
    EXPECT_EQ(lg->generateMAC(counting(2), out), 0xFF01);
    EXPECT_EQ(out, Bytes{0xEE});
    sam->load({});
}

TEST(LGsamErrors, TableHoldsSixtyFiveRowsWithTheSamOwnTexts)
{
    int rows = 0;
    for (int code = 0; code <= 0xFFFF; ++code)
        if (LGsam::errorToStr(code) != "Unknown error code.")
            ++rows;
    EXPECT_EQ(rows, 65);
    EXPECT_EQ(LGsam::errorToStr(0x6A84), "There is insufficient memory space in record or file.");
    // Worded for this SAM only; the MIFARE SAM keeps its own texts.
    EXPECT_EQ(NFC::MifareSAM::errorToStr(0x6A82), "Key Version not found.");
    EXPECT_EQ(LGsam::errorToStr(0x6A82), "File not found.");
    EXPECT_EQ(LGsam::errorToStr(0x6985),
              "Conditions of use not satisfied (host authentication with KeyNo 00h required).");
    EXPECT_EQ(LGsam::errorToStr(0x9105), "Duplication process error(Parameter update, PIN Update).");
    EXPECT_EQ(LGsam::errorToStr(0x91A2), "IDCENTER is not exist in the LSAM");
    EXPECT_EQ(LGsam::errorToStr(0xFF02), "Received APDU data has wrong size.");
    EXPECT_EQ(LGsam::errorToStr(0x9000), "Unknown error code.");
    EXPECT_EQ(LGsam::errorToStr(0x1234), "Unknown error code.");
}

// Each operation's successful run is recorded, then replayed with one answer cut to every
// shorter length: the operation must fail with 0xFF02 and leave its outputs as they were.
TEST_F(LGsamTest, EveryAnswerCutShortFailsAndLeavesOutputsAlone)
{
    struct Case
    {
        const char* name;
        std::function<void()> script;
        // Runs on fresh outputs; `untouched` tells whether they kept their start values.
        std::function<int(bool& untouched)> run;
    };
    const Bytes uid = counting(7);
    const std::vector<Case> cases = {
        {"getHostSN", [&] { sam->expect(fromHex("00 CA 01 02 04"), counting(4)); },
         [&](bool& untouched) {
             Bytes out;
             const int rc = lg->getHostSN(out);
             untouched = out.empty();
             return rc;
         }},
        {"getVersion",
         [&] {
             sam->expect(fromHex("00 CA 02 00 02"), counting(2));
             scriptSelect(counting(81));
         },
         [&](bool& untouched) {
             LGsam::Version version;
             const int rc = lg->getVersion(version);
             untouched = version.aid.empty() && version.samId.empty() && !lg->unlocked();
             return rc;
         }},
        {"authenticatePICCPart1",
         [&] {
             sam->expectFetch(join({fromHex("80 0A 00 00 0A 01 02"), counting(8)}), counting(16));
         },
         [&](bool& untouched) {
             Bytes out;
             const int rc = lg->authenticatePICCPart1(0, counting(8), {}, 1, 2, out);
             untouched = out.empty();
             return rc;
         }},
        {"encryptTvalueData",
         [&] {
             sam->expectFetch(join({fromHex("80 F6 00 FF 1E 01 02 03"), uid, counting(20)}), counting(60));
         },
         [&](bool& untouched) {
             Bytes out;
             const int rc =
                 lg->encryptTvalueData(0, 1, 2, 3, uid, counting(4), counting(4, 4), counting(12, 8), out);
             untouched = out.empty();
             return rc;
         }},
        {"getSind",
         [&] {
             sam->expectFetch(join({fromHex("80 18 00 00 17"), Bytes(3), counting(8), Bytes(12)}),
                              counting(44));
         },
         [&](bool& untouched) {
             LGsam::SindRequest request;
             request.idEp = counting(8);
             LGsam::SindResponse response;
             const int rc = lg->getSind(request, response);
             untouched = response.idSam.empty() && response.alg == 0;
             return rc;
         }},
        {"initializeSAM", [&] { sam->expect(fromHex("80 22 03 00 1D"), counting(29)); },
         [&](bool& untouched) {
             LGsam::SAMinitData data;
             const int rc = lg->initializeSAM(3, data);
             untouched = data.samId.empty() && data.algoId == 0;
             return rc;
         }},
        {"initReloadSAM", [&] { sam->expect(fromHex("80 34 00 00 73"), counting(115)); },
         [&](bool& untouched) {
             LGsam::SAMinitReloadData data;
             const int rc = lg->initReloadSAM(true, 0, data);
             untouched = data.samId.empty() && data.random.empty();
             return rc;
         }},
        {"reloadSAM",
         [&] {
             sam->expectFetch(join({fromHex("80 36 00 00 27"), Bytes(20), counting(19)}), counting(67));
         },
         [&](bool& untouched) {
             LGsam::SAMreloadReq request;
             request.date = counting(7);
             request.sign2 = counting(4, 7);
             request.hostRandom = counting(8, 11);
             LGsam::SAMreloadResp response;
             const int rc = lg->reloadSAM(true, 0, request, response);
             untouched = response.samId.empty() && response.sign3.empty();
             return rc;
         }},
        // These two keep what earlier steps brought, by design; only the result counts.
        {"getSAMbalance",
         [&] {
             for (uint8_t n = 1; n <= 5; ++n) sam->expect(Bytes{0x80, 0x56, 0x00, n, 0x04}, counting(4, n));
         },
         [&](bool& untouched) {
             LGsam::SAMbalanceData data;
             untouched = true;
             return lg->getSAMbalance(data);
         }},
        {"encipherData",
         [&] {
             sam->expectFetch(join({fromHex("80 ED AF 00 F6"), Bytes(246)}), counting(8));
             sam->expectFetch(fromHex("80 ED 00 00 02 00 00"), counting(8, 8));
         },
         [&](bool& untouched) {
             Bytes cipher;
             untouched = true;
             return lg->encipherData(Bytes(248), cipher, 0);
         }},
    };

    size_t replays = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sam->load({});
        c.script();
        bool untouched = false;
        ASSERT_EQ(c.run(untouched), 0) << sam->report();
        ASSERT_TRUE(sam->allUsed()) << sam->report();
        const std::vector<LGSamResponder::Exchange> recorded = sam->exchanges();
        for (size_t step = 0; step < recorded.size(); ++step) {
            for (size_t length = 0; length < recorded[step].answer.size(); ++length) {
                std::vector<LGSamResponder::Exchange> script = recorded;
                script[step].answer.resize(length);
                sam->load(script);
                lg = std::make_shared<LGsam>(link, atr);
                EXPECT_EQ(c.run(untouched), 0xFF02) << "step " << step << " cut to " << length;
                EXPECT_TRUE(untouched) << "step " << step << " cut to " << length;
                EXPECT_TRUE(sam->clean()) << sam->report();
                ++replays;
            }
        }
    }
    EXPECT_GT(replays, 450u);
    sam->load({});
}

}  // namespace
