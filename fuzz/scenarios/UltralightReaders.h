// The card-reader framework's Ultralight run over one reader driver: the factory's choice of an
// Ultralight template, then the EV1 base reader's and the C base reader's page, configuration,
// password, OTP, key and authentication operations (with the key and with a MIFARE SAM in slot 0).
// Whatever the answers, an operation that fails says why (error 202 with a text), one that
// succeeds leaves no error, and what a read returns has the size of its pages. Header only: the
// scenarios library does not link the card-reader framework; the fuzz target and the seed writer
// do. Called on one thread; the driver must be open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NFC/ISO14443.h"
#include "NFC/ISO7816.h"
#include "NFC/Protocols/MifareSAM.h"
#include "NFC/Protocols/Ultralight.h"
#include "Velmora/CardReaderFactory.h"
#include "Velmora/UltralightCCardReader.h"
#include "Velmora/UltralightEV1CardReader.h"
#include "scenarios/Scenarios.h"
#include "support/Check.h"

namespace fuzzing {

// The SAM entry that holds the Ultralight C key in the seed runs.
constexpr uint8_t UltralightCEntry = 0x20;

template <class Base>
struct BareUltralightReader : Base
{
    BareUltralightReader(std::shared_ptr<NFC::Tag> tag, std::shared_ptr<NFC::SAM> sam)
        : Base("Fuzz", std::move(tag), std::move(sam))
    {
    }
    std::shared_ptr<RFID::Card> create(bool) override { return nullptr; }
    std::shared_ptr<RFID::Card> read(unsigned, unsigned) override { return nullptr; }
    std::shared_ptr<RFID::Card> write(const VariantMap&) override { return nullptr; }
};

template <class Op>
void checkedStep(RFID::CardReader& reader, Op op)
{
    reader.clearError();
    const bool ok = op();
    FUZZ_CHECK(ok == reader.error().ok());
    FUZZ_CHECK(ok ||
               (reader.error().code() == RFID::Error::CardReadWriteError && !reader.error().text().empty()));
}

inline void selectAgain(const std::shared_ptr<NFC::Driver>& driver)
{
    int type = 0;
    std::vector<uint8_t> uid, ats;
    driver->searchTag(type, uid, ats, 100);
}

inline void runUltralightReaders(const std::shared_ptr<NFC::Driver>& driver)
{
    using Bytes = std::vector<uint8_t>;
    auto tag = std::make_shared<NFC::Ultralight>(std::make_shared<NFC::ISO14443>(driver), cardUid(), Bytes{});
    RFID::Error error;
    const std::string name = RFID::CardReaderFactory::ultralightTemplateName(tag, {}, &error);
    FUZZ_CHECK(name.empty() != error.ok());

    selectAgain(driver);
    BareUltralightReader<RFID::UltralightEV1CardReader> ev1(tag, nullptr);
    RFID::UltralightEV1CardReader::Configuration config;
    Bytes image, otp;
    checkedStep(ev1, [&] { return ev1.readConfig(config); });
    checkedStep(ev1, [&] {
        const bool ok = ev1.fastReadPages(4, 12, image);
        FUZZ_CHECK(!ok || image.size() == 48);
        return ok;
    });
    checkedStep(ev1, [&] { return ev1.writePages(4, 12, image); });
    checkedStep(ev1, [&] {
        const bool ok = ev1.readOTP(otp);
        FUZZ_CHECK(!ok || otp.size() == 4);
        return ok;
    });
    checkedStep(ev1, [&] { return ev1.writeOTP({0x02, 0x00, 0x00, 0x00}); });
    checkedStep(ev1, [&] { return ev1.writeConfig(config); });
    // Last: a card that refuses the password stops answering until it is selected again.
    checkedStep(ev1, [&] { return ev1.verifyPassword(config.PWD, config.PACK); });

    selectAgain(driver);
    auto samLink = std::make_shared<NFC::ISO7816>(driver, 0);
    Bytes atr;
    samLink->powerOn(&atr);
    auto sam = std::make_shared<NFC::MifareSAM>(samLink, NFC::MifareSAM::ExpectedATR_AV3);
    sam->setDefaultPPS();
    using C = RFID::UltralightCCardReader;
    BareUltralightReader<C> c(tag, sam);
    Bytes pages;
    checkedStep(c, [&] { return c.authenticate(C::DefaultKey); });
    checkedStep(c, [&] {
        const bool ok = c.normalReadPages(4, 12, pages);
        FUZZ_CHECK(!ok || pages.size() == 48);
        return ok;
    });
    checkedStep(c, [&] { return c.writePages(4, 12, pages); });
    selectAgain(driver);
    checkedStep(c, [&] { return c.authenticate(sam, UltralightCEntry, 0, {}); });
    checkedStep(c, [&] { return c.writeAuthKey(C::DefaultKey); });
    checkedStep(c, [&] { return c.writeConfig({0x30, 0x00}); });
    checkedStep(c, [&] { return c.writeLockBytes01(0x00, 0x00); });
}

}  // namespace fuzzing
