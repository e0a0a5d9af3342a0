// The EMV tag's results: a scripted driver stands in for a reader's EMV kernel, since no reader
// emulator carries one; the Elatec reader emulator shows what a reader without a kernel gives.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "NFC/EMV.h"
#include "NFC/ISO14443.h"
#include "NFC/Reader.h"
#include "PeerProcess.h"
#include "ScriptedDriver.h"
#include "drivers/Common/AbsentDriver.h"
#include "drivers/ElatecTWN/Driver.h"
#include "emulators/ElatecReader.h"

using Factory = NFC::Reader::DriverFactory;
using testdrivers::ScriptedDriver;

namespace {

class EMVTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kernel = std::make_shared<ScriptedDriver>("kernel", nullptr, true);
        reader = std::make_shared<NFC::Reader>(
            NFC::Reader::DriverFactories{{Factory::Networked, "kernel", [this] { return kernel; }}});
        ASSERT_TRUE(reader->open("127.0.0.1:1973", 0));
        emv = std::dynamic_pointer_cast<NFC::EMV>(reader->makeTag(512, {0x01, 0x02, 0x03, 0x04}, {}));
        ASSERT_NE(emv, nullptr);
    }

    void TearDown() override { EXPECT_TRUE(kernel->scriptUsed()); }

    std::shared_ptr<ScriptedDriver> kernel;
    std::shared_ptr<NFC::Reader> reader;
    std::shared_ptr<NFC::EMV> emv;
};

TEST_F(EMVTest, KernelResultsReachTheCaller)
{
    kernel->expectEMV({true, false, 0, {"4761", "1225"}});
    kernel->expectEMV({false, true, 202, {}});
    kernel->expectEMV({true, true, 0, {"OK", "0001"}});
    kernel->expectEMV({false, true, 33, {}});

    std::vector<std::string> token;
    EXPECT_EQ(emv->read(token), 0);
    EXPECT_EQ(token, (std::vector<std::string>{"4761", "1225"}));
    EXPECT_EQ(emv->read(token), 202);
    EXPECT_EQ(NFC::EMV::errorstr(NFC::EMV::TimeoutError), "Timeout Error");

    std::string trip = "trip=42";
    std::vector<std::string> result;
    EXPECT_EQ(emv->write(trip, result), 0);
    EXPECT_EQ(result, (std::vector<std::string>{"OK", "0001"}));
    EXPECT_EQ(emv->write(trip, result), 33);
    EXPECT_EQ(kernel->completed(), (std::vector<std::string>{"trip=42", "trip=42"}));
}

TEST_F(EMVTest, FailureWithoutACodeIsAGeneralErrorNeverSuccess)
{
    kernel->expectEMV({false, false, 0, {}});
    kernel->expectEMV({false, true, 0, {}});
    kernel->expectEMV({false, false, 0, {}});
    std::vector<std::string> token;
    EXPECT_EQ(emv->read(token), NFC::EMV::GeneralError);
    EXPECT_TRUE(token.empty());
    EXPECT_EQ(emv->read(token), NFC::EMV::GeneralError);
    std::string data;
    std::vector<std::string> result;
    EXPECT_EQ(emv->write(data, result), NFC::EMV::GeneralError);
}

TEST(EMVErrors, TableHoldsTheKernelTextsAndUnknownCodesAreNamed)
{
    struct
    {
        int code;
        const char* text;
    } known[] = {
        {1, "Transaction terminated buy USER"},
        {23, "Signs don't match"},
        {26, "EMV card from MENU"},
        {28, "Retry transaction"},
        {32, "No denylist in terminal (Older than 24 hours)"},
        {39, "PSD2 SCA 2nd TAP (on Device CVM)"},
        {200, "General Error"},
        {206, "Trip Data Too Big - Select Less Tickets"},
        {209, "IO Error"},
    };
    for (const auto& k : known) EXPECT_EQ(NFC::EMV::errorstr(static_cast<NFC::EMV::Error>(k.code)), k.text);
    for (int code : {27, 40, 199, 210, 999, -1})
        EXPECT_EQ(NFC::EMV::errorstr(static_cast<NFC::EMV::Error>(code)),
                  "Unknown error (" + std::to_string(code) + ")");
}

TEST(EMVWithoutKernel, ElatecReaderGivesSuccessWithAnEmptyToken)
{
    emulators::ElatecReader emulator;
    NFC::Reader reader(
        NFC::Reader::DriverFactories{
            {Factory::Serial, "ElatecTWN", [] { return std::make_shared<ElatecTWN::Driver>(testsupport::SlowLineReadTimeoutMs); }}},
        testsupport::lockDirectory());
    ASSERT_TRUE(testsupport::openAsTheServiceDoes(emulator,
                                                  [&] { return reader.open(emulator.devicePath(), 115200); }))
        << reader.error().what();
    auto emv = std::dynamic_pointer_cast<NFC::EMV>(reader.makeTag(512, {0x01, 0x02, 0x03, 0x04}, {}));
    ASSERT_NE(emv, nullptr);
    std::vector<std::string> token;
    EXPECT_EQ(emv->read(token), 0);
    EXPECT_TRUE(token.empty());
}

// A family whose driver is not built in yet reaches no kernel: its EMV calls fail with the kernel's
// I/O code, and a read through it reports that code rather than an empty token.
TEST(EMVWithoutKernel, StandInDriverFailsWithTheKernelsIoError)
{
    struct StandIn final : drivers::AbsentDriver
    {
        StandIn() : AbsentDriver("n/a", "n/a", 4) {}
    };
    auto driver = std::make_shared<StandIn>();
    std::vector<std::string> token;
    std::vector<std::string> result;
    std::string data;
    int error = 0;
    EXPECT_FALSE(driver->EMV_getToken(token, error));
    EXPECT_EQ(error, 209);
    error = 0;
    EXPECT_FALSE(driver->EMV_completeTransaction(data, result, error));
    EXPECT_EQ(error, 209);
    auto emv = NFC::EMV::make(std::make_shared<NFC::ISO14443>(driver), {0x01, 0x02, 0x03, 0x04}, {});
    ASSERT_NE(emv, nullptr);
    EXPECT_EQ(emv->read(token), 209);
}

}  // namespace
