// NFC::LGsam against the computing LG SAM model (the emulated reader's slot 0, over the real
// Elatec driver): what the model enciphers it deciphers only with the same card, key set and
// counter, its balance moves with each encipherment, and its knobs refuse or resize one answer.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "NFC/ISO7816.h"
#include "NFC/Protocols/LGsam.h"
#include "drivers/ElatecTWN/Driver.h"
#include "emulators/ByteOps.h"
#include "emulators/ElatecReader.h"
#include "emulators/Hex.h"
#include "emulators/LGSam.h"

using emulators::Bytes;
using emulators::fromHex;
using emulators::operator+;
using NFC::LGsam;

namespace {

const Bytes Uid = fromHex("04 E1 5B 72 4A 5C 80");
const Bytes OtherUid = fromHex("04 E1 5B 72 4A 5C 81");
const Bytes Plain = fromHex("11 22 33 44 55 66 77 88 00 00 05 99");  // bytes 8-10: counter 5
const Bytes Five = fromHex("00 00 00 05");
const Bytes Six = fromHex("00 00 00 06");
const Bytes IdEp = Bytes{0xF8} + Uid;

class LGsamModelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        reader.setSam(0, model);
        driver = std::make_shared<ElatecTWN::Driver>();
        std::string error;
        ASSERT_TRUE(driver->open(reader.devicePath(), 115200, &error)) << error;
        auto link = std::make_shared<NFC::ISO7816>(driver, 0);
        Bytes atr;
        ASSERT_TRUE(link->powerOn(&atr));
        lg = std::make_shared<LGsam>(link, atr);
    }

    emulators::ElatecReader reader{emulators::ElatecReader::Mode::BinaryCrc};
    std::shared_ptr<emulators::LGSam> model = std::make_shared<emulators::LGSam>();
    std::shared_ptr<ElatecTWN::Driver> driver;
    std::shared_ptr<LGsam> lg;
};

TEST_F(LGsamModelTest, RecordsDecipherOnlyWithTheCardKeySetAndCounterTheyWereMadeFor)
{
    Bytes tpass, tvalue, od;
    ASSERT_EQ(lg->encryptTpassData(0x21, 1, 0, 8, Uid, Six, Plain, tpass), 0);
    ASSERT_EQ(lg->encryptTvalueData(0x21, 1, 0, 8, Uid, fromHex("00 00 00 64"), Five, Plain, tvalue), 0);
    ASSERT_EQ(tvalue.size(), 60u);
    EXPECT_EQ(emulators::slice(tvalue, 55, 4), model->lastTopUpSignature());
    tvalue.resize(16);
    ASSERT_EQ(lg->encryptDecryptData(0x23, 1, 0, IdEp, true, Plain + Five, od), 0);
    ASSERT_EQ(od.size(), 16u);

    struct Row
    {
        const char* what;
        std::function<int(Bytes&)> run;
        int status;
        Bytes plain;
    };
    const std::vector<Row> rows = {
        {"pass", [&](Bytes& o) { return lg->decryptTpassData(0x21, 1, 0, Uid, Six, tpass, o); }, 0, Plain},
        {"pass, other counter",
         [&](Bytes& o) { return lg->decryptTpassData(0x21, 1, 0, Uid, Five, tpass, o); },
         0x9159,
         {}},
        {"pass, other card",
         [&](Bytes& o) { return lg->decryptTpassData(0x21, 1, 0, OtherUid, Six, tpass, o); },
         0x9159,
         {}},
        {"pass, other key set",
         [&](Bytes& o) { return lg->decryptTpassData(0x21, 1, 1, Uid, Six, tpass, o); },
         0x9159,
         {}},
        {"value", [&](Bytes& o) { return lg->decryptTvalueData(0x21, 1, 0, Uid, Five, tvalue, o); }, 0,
         Plain},
        {"value, other counter",
         [&](Bytes& o) { return lg->decryptTvalueData(0x21, 1, 0, Uid, Six, tvalue, o); },
         0x915A,
         {}},
        {"value, other centre",
         [&](Bytes& o) { return lg->decryptTvalueData(0x21, 2, 0, Uid, Five, tvalue, o); },
         0x915A,
         {}},
        {"blocks", [&](Bytes& o) { return lg->encryptDecryptData(0x23, 1, 0, IdEp, false, od, o); }, 0,
         Plain + Five},
    };
    for (const Row& row : rows) {
        Bytes plain;
        EXPECT_EQ(row.run(plain), row.status) << row.what;
        EXPECT_EQ(plain, row.plain) << row.what;
    }
    EXPECT_EQ(LGsam::errorToStr(0x9159), "UL128 remaining count integrity error");
}

TEST_F(LGsamModelTest, PasswordCertificatesVersionsAndBalance)
{
    emulators::LGSam::Balance start;
    start.valueBal = 150;
    model->setBalance(start);
    model->setIssuerKeyVersions({0x02, 0x01});

    Bytes versions;
    ASSERT_EQ(lg->getIssuerKeyVersion(versions), 0);
    EXPECT_EQ(versions, fromHex("02 01"));

    for (size_t length : {8u, 16u, 20u}) {
        model->setPasswordLength(length);
        Bytes password;
        ASSERT_EQ(lg->encryptDecryptData(0x23, 1, 1, IdEp, true, IdEp, password), 0);
        EXPECT_EQ(password.size(), length);
        EXPECT_EQ(password, model->passwordAnswer(0x23, 1, 1, IdEp));
    }

    const Bytes date = fromHex("1B 27");
    Bytes cert;
    ASSERT_EQ(lg->generateIssuerCert(1, 1, 0x20, Bytes{0x01, 0x01} + Uid + date, cert), 0);
    EXPECT_EQ(lg->checkIssueCertUL48(0x20, 1, 1, Uid, date, cert), 0);
    EXPECT_EQ(lg->checkIssueCertUL48(0x20, 1, 1, Uid, fromHex("1B 28"), cert), 0x9131);

    Bytes tvalue;
    ASSERT_EQ(lg->encryptTvalueData(0x21, 1, 0, 9, Uid, fromHex("00 00 00 64"), Five, Plain, tvalue), 0);
    EXPECT_EQ(lg->encryptTvalueData(0x21, 1, 0, 9, Uid, fromHex("00 00 00 64"), Five, Plain, tvalue), 0x910C);
    EXPECT_EQ(lg->encryptTpassData(0x21, 1, 0, 7, Uid, Five, Plain, tvalue), 0x9114);
    LGsam::SAMbalanceData balance;
    ASSERT_EQ(lg->getSAMbalance(balance), 0);
    EXPECT_EQ(balance.valueBal, 50u);
    EXPECT_EQ(balance.samTransSN, 1u);
    EXPECT_EQ(balance.countBal, start.countBal);
}

TEST_F(LGsamModelTest, KnobsRefuseOrResizeTheNextAnswerOfTheirCommand)
{
    Bytes out;
    model->refuseNext(0x6985, 0xFC);
    EXPECT_EQ(lg->decryptTpassData(0x21, 1, 0, Uid, Six, Bytes(16), out), 0x9159);  // not the refused one
    EXPECT_EQ(lg->encryptTpassData(0x21, 1, 0, 8, Uid, Six, Plain, out), 0x6985);
    EXPECT_EQ(lg->encryptTpassData(0x21, 1, 0, 8, Uid, Six, Plain, out), 0);

    // A fixed-length answer announced shorter or longer is the status word; a free one is taken.
    model->resizeNext(-1, 0xFC);
    EXPECT_EQ(lg->encryptTpassData(0x21, 1, 0, 8, Uid, Six, Plain, out), 0x610F);
    model->resizeNext(+2);
    ASSERT_EQ(lg->encryptDecryptData(0x23, 1, 0, IdEp, true, IdEp, out), 0);
    EXPECT_EQ(out.size(), 10u);
    LGsam::SAMbalanceData balance;
    model->resizeNext(-1, 0x56);
    EXPECT_EQ(lg->getSAMbalance(balance), 0xFF02);
}

}  // namespace
