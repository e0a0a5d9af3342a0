// Builds the layout reader for a detected card: by template name, or for an Ultralight card by
// asking the card which chip and layout it carries. Stateless; called on the manager's worker
// thread, since choosing a layout talks to the card.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Velmora/CardReader.h"
#include "Velmora/Error.h"

namespace NFC {
class Tag;
class Ultralight;
}  // namespace NFC

namespace RFID {

class CardReaderFactory
{
public:
    using Maker =
        std::function<std::shared_ptr<CardReader>(const std::shared_ptr<NFC::Tag>&, const SamList&)>;

    // Every template name the factory knows, in a fixed order.
    static const std::vector<std::string>& templateNames();
    // The names of the Ultralight layouts: every template but the bank card's.
    static const std::vector<std::string>& ultralightTemplateNames();
    // The names of the Ultralight EV1 layouts.
    static const std::vector<std::string>& ev1TemplateNames();

    // The layout reader for the name, built with the tag and the SAM list. Empty for a name that
    // is not known or whose layout is not part of this build; error (when given) then says which.
    static std::shared_ptr<CardReader> createFromTemplateName(const std::string& templateName,
                                                              const std::shared_ptr<NFC::Tag>& tag,
                                                              const SamList& sams, Error* error = nullptr);

    // The template for an Ultralight card: an EV1 (it answers GET_VERSION) is "KivoLUCv2" when its
    // layout version is 2, else "KivoLUC"; an Ultralight C is "ZodezuLUCv2" or "ZodezuLUC" by its
    // lock byte 0. allowed lists the templates this installation serves (empty: all); an EV1 card
    // whose template is not allowed gets the first EV1 template of the list. Empty text when
    // nothing allowed fits, with the reason in error (when given).
    static std::string ultralightTemplateName(const std::shared_ptr<NFC::Ultralight>& ultralight,
                                              const std::vector<std::string>& allowed = {},
                                              Error* error = nullptr);

    // ultralightTemplateName, then createFromTemplateName.
    static std::shared_ptr<CardReader> processUltralightCard(const std::shared_ptr<NFC::Tag>& tag,
                                                             const SamList& sams,
                                                             const std::vector<std::string>& allowed = {},
                                                             Error* error = nullptr);
};

}  // namespace RFID
