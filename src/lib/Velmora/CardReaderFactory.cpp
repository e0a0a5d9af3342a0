#include "Velmora/CardReaderFactory.h"

#include <algorithm>
#include <map>

#include "NFC/ISO14443.h"
#include "NFC/Protocols/Ultralight.h"
#include "NFC/Tag.h"
#include "Velmora/Cards/EMV/EMVcardReader.h"
#include "Velmora/Cards/KivoLUC/KivoLUCCardReader.h"
#include "Velmora/Cards/KivoLUCv2/KivoLUCv2CardReader.h"
#include "Velmora/Cards/VerUZA/VerUZACardReader.h"
#include "Velmora/Cards/VozeLUCv1/VozeLUCv1CardReader.h"
#include "Velmora/Cards/ZodezuLUC/ZodezuLUCCardReader.h"
#include "Velmora/Cards/ZodezuLUCv2/ZodezuLUCv2CardReader.h"
#include "core/Log.h"
#include "core/String.h"

namespace RFID {

namespace {

// A layout reader class built from the tag and the SAM list.
template <class Layout>
std::shared_ptr<CardReader> make(const std::shared_ptr<NFC::Tag>& tag, const SamList& sams)
{
    return std::make_shared<Layout>(tag, sams);
}

// One line per layout: a layout that is built names its maker here (make<KivoLUC::CardReader>);
// nullptr marks a layout this build does not carry yet.
const std::map<std::string, CardReaderFactory::Maker>& makers()
{
    static const std::map<std::string, CardReaderFactory::Maker> table = {
        {"VozeLUCv1", make<VozeLUCv1::CardReader>},
        {"KivoLUC", make<KivoLUC::CardReader>},
        {"KivoLUCv2", make<KivoLUCv2::CardReader>},
        {"VerUZA", make<VerUZA::CardReader>},
        {"ZodezuLUC", make<ZodezuLUC::CardReader>},
        {"ZodezuLUCv2", make<ZodezuLUCv2::CardReader>},
        // The EMV reader takes the first SAM of the list: EMV::CardReader::make(tag, first SAM).
        {"EMV",
         [](const std::shared_ptr<NFC::Tag>& tag, const SamList& sams) -> std::shared_ptr<CardReader> {
             return EMV::CardReader::make(tag, sams.empty() ? nullptr : sams.front());
         }},
    };
    return table;
}

const int ReselectTimeoutMs = 200;

bool allows(const std::vector<std::string>& allowed, const std::string& name)
{
    return allowed.empty() || std::find(allowed.begin(), allowed.end(), name) != allowed.end();
}

void fail(Error* error, const std::string& text)
{
    Log::error("%s", text.c_str());
    if (error)
        *error = Error(Error::UnsupportedCard, text);
}

// A card that does not answer a command falls back to idle and ignores everything until it is
// selected again; the reader's search does that without the card leaving the field.
void reselect(const NFC::Ultralight& ultralight)
{
    const auto link = ultralight.iso14443();
    const auto driver = link ? link->driver() : nullptr;
    if (!driver)
        return;
    int type = 0;
    std::vector<uint8_t> uid, ats;
    if (!driver->searchTag(type, uid, ats, ReselectTimeoutMs) || uid != ultralight.uid())
        Log::warning("Ultralight %s not selected again after GET_VERSION",
                     NFC::Tag::shownUid(ultralight.uid()).c_str());
}

}  // namespace

const std::vector<std::string>& CardReaderFactory::templateNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all = ultralightTemplateNames();
        all.push_back("EMV");
        return all;
    }();
    return names;
}

const std::vector<std::string>& CardReaderFactory::ultralightTemplateNames()
{
    static const std::vector<std::string> names = {"VozeLUCv1", "KivoLUC",   "KivoLUCv2",
                                                   "VerUZA",    "ZodezuLUC", "ZodezuLUCv2"};
    return names;
}

const std::vector<std::string>& CardReaderFactory::ev1TemplateNames()
{
    static const std::vector<std::string> names = {"VozeLUCv1", "KivoLUC", "KivoLUCv2", "VerUZA"};
    return names;
}

std::shared_ptr<CardReader> CardReaderFactory::createFromTemplateName(const std::string& templateName,
                                                                      const std::shared_ptr<NFC::Tag>& tag,
                                                                      const SamList& sams, Error* error)
{
    const auto& table = makers();
    const auto it = table.find(templateName);
    if (it == table.end()) {
        fail(error, "createFromTemplateName: Unknown template '" + String::escaped(templateName) + "'");
        return nullptr;
    }
    if (!it->second) {
        fail(error,
             "createFromTemplateName: Layout '" + String::escaped(templateName) + "' is not available");
        return nullptr;
    }
    return it->second(tag, sams);
}

std::string CardReaderFactory::ultralightTemplateName(const std::shared_ptr<NFC::Ultralight>& ultralight,
                                                      const std::vector<std::string>& allowed, Error* error)
{
    if (!ultralight) {
        fail(error, "processUltralightCard: No card");
        return {};
    }
    std::vector<uint8_t> version;
    if (ultralight->getVersion(version) == NFC::Ultralight::None) {
        const unsigned layout = KivoLUCv2::CardReader::readCardVersion(ultralight);
        Log::info("Ultralight EV1 %s: layout version %u", NFC::Tag::shownUid(ultralight->uid()).c_str(),
                  layout);
        if (layout == 2 && allows(allowed, "KivoLUCv2"))
            return "KivoLUCv2";
        if (allows(allowed, "KivoLUC"))
            return "KivoLUC";
        for (const std::string& name : allowed)
            if (std::find(ev1TemplateNames().begin(), ev1TemplateNames().end(), name) !=
                ev1TemplateNames().end())
                return name;
        fail(error, "processUltralightCard: No Ultralight EV1 template allowed");
        return {};
    }

    reselect(*ultralight);
    const unsigned layout = ZodezuLUCv2::CardReader::readCardVersion(ultralight);
    const std::string name = layout != 2 ? "ZodezuLUCv2" : "ZodezuLUC";
    Log::info("Ultralight C %s: layout version %u", NFC::Tag::shownUid(ultralight->uid()).c_str(), layout);
    if (!allows(allowed, name)) {
        fail(error, "processUltralightCard: Template '" + name + "' is not allowed");
        return {};
    }
    return name;
}

std::shared_ptr<CardReader> CardReaderFactory::processUltralightCard(const std::shared_ptr<NFC::Tag>& tag,
                                                                     const SamList& sams,
                                                                     const std::vector<std::string>& allowed,
                                                                     Error* error)
{
    std::shared_ptr<NFC::Ultralight> ultralight = std::dynamic_pointer_cast<NFC::Ultralight>(tag);
    if (!ultralight && tag)
        ultralight = NFC::Ultralight::make(tag->iso14443(), tag->uid(), tag->ats());
    const std::string name = ultralightTemplateName(ultralight, allowed, error);
    if (name.empty())
        return nullptr;
    return createFromTemplateName(name, tag, sams, error);
}

}  // namespace RFID
