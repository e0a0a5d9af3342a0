// The card-reader factory: which template an Ultralight card gets from its answers (GET_VERSION,
// page 3, lock byte 0) and the installation's allowed list, end to end through the emulated
// reader; and what it builds for each template name.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "NFC/Protocols/Ultralight.h"
#include "UltralightField.h"
#include "Velmora/CardReaderFactory.h"
#include "emulators/Hex.h"
#include "emulators/UltralightC.h"
#include "emulators/UltralightEV1.h"

using emulators::Bytes;
using emulators::fromHex;
using Factory = RFID::CardReaderFactory;

namespace {

std::shared_ptr<emulators::UltralightCard> ev1WithOtp(uint8_t version)
{
    auto card = std::make_shared<emulators::UltralightEV1>();
    card->setPage(3, {version, 0x00, 0x00, 0x00});
    return card;
}

std::shared_ptr<emulators::UltralightCard> cWithLock0(uint8_t lock0)
{
    auto card = std::make_shared<emulators::UltralightC>();
    Bytes page = card->page(2);
    page[2] = lock0;
    card->setPage(2, page);
    return card;
}

TEST(CardReaderFactory, UltralightTemplateComesFromTheCardAndTheAllowedList)
{
    using List = std::vector<std::string>;
    const Bytes getVersion = fromHex("60");
    const struct
    {
        const char* name;
        std::shared_ptr<emulators::UltralightCard> card;
        List allowed;
        std::string chosen;  // empty: refused with error
        std::string error;
    } cases[] = {
        {"EV1 version 2", ev1WithOtp(2), {}, "KivoLUCv2", ""},
        {"EV1 version 0", ev1WithOtp(0), {}, "KivoLUC", ""},
        {"EV1 version 3", ev1WithOtp(3), {}, "KivoLUC", ""},
        {"EV1, KivoLUC not allowed", ev1WithOtp(0), {"ZodezuLUC", "VerUZA", "VozeLUCv1"}, "VerUZA", ""},
        {"EV1 version 2, KivoLUCv2 not allowed", ev1WithOtp(2), {"KivoLUC"}, "KivoLUC", ""},
        {"EV1, no EV1 template allowed",
         ev1WithOtp(2),
         {"ZodezuLUC"},
         "",
         "processUltralightCard: No Ultralight EV1 template allowed"},
        {"C marked 0x02", cWithLock0(0x02), {}, "ZodezuLUCv2", ""},
        {"C marked 0x07", cWithLock0(0x07), {"ZodezuLUC", "ZodezuLUCv2"}, "ZodezuLUCv2", ""},
        {"C lock byte 0x08", cWithLock0(0x08), {}, "ZodezuLUC", ""},
        {"C unmarked", cWithLock0(0x00), {}, "ZodezuLUC", ""},
        {"C, template not allowed",
         cWithLock0(0x07),
         {"ZodezuLUC"},
         "",
         "processUltralightCard: Template 'ZodezuLUCv2' is not allowed"},
    };
    testsupport::UltralightField field;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool ev1 = std::dynamic_pointer_cast<emulators::UltralightEV1>(c.card) != nullptr;
        auto tag = field.place(c.card);
        RFID::Error error;
        EXPECT_EQ(Factory::ultralightTemplateName(std::dynamic_pointer_cast<NFC::Ultralight>(tag), c.allowed,
                                                  &error),
                  c.chosen);
        EXPECT_EQ(error.text(), c.error);
        // The C card falls silent at GET_VERSION and is selected again before its page 2 is read.
        EXPECT_EQ(c.card->commands(), (std::vector<Bytes>{getVersion, fromHex(ev1 ? "30 03" : "30 02")}));

        auto reader = Factory::processUltralightCard(field.reselect(), {}, c.allowed, &error);
        if (reader) {
            EXPECT_EQ(reader->name(), c.chosen);
        } else {
            EXPECT_NE(error.text().find(c.chosen.empty() ? c.error : "'" + c.chosen + "'"), std::string::npos)
                << error.text();
            EXPECT_EQ(error.code(), RFID::Error::UnsupportedCard);
        }
    }
}

TEST(CardReaderFactory, EveryTemplateNameBuildsItsLayoutOrSaysItIsMissing)
{
    testsupport::UltralightField field;
    auto tag = field.place(std::make_shared<emulators::UltralightEV1>());
    std::vector<std::string> names = Factory::templateNames();
    names.insert(names.end(), {"Nope", ""});
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        RFID::Error error;
        auto reader = Factory::createFromTemplateName(name, tag, {}, &error);
        if (reader) {
            EXPECT_EQ(reader->name(), name);
            EXPECT_TRUE(error.ok());
            continue;
        }
        // Not built yet, or not a template at all.
        const bool unknown = name == "Nope" || name.empty();
        EXPECT_EQ(error.text(),
                  "createFromTemplateName: " + (unknown ? "Unknown template '" + name + "'"
                                                        : "Layout '" + name + "' is not available"));
        EXPECT_EQ(error.code(), RFID::Error::UnsupportedCard);
    }
}

}  // namespace
