#include "emulators/tool/Tickets.h"

#include "emulators/DesfireCard.h"
#include "emulators/UltralightC.h"
#include "emulators/UltralightEV1.h"

namespace emulatortool {

namespace {

template <class Model>
Ticket blank(const Bytes& uid)
{
    return {uid.empty() ? std::make_shared<Model>() : std::make_shared<Model>(uid), {}};
}

}  // namespace

const std::vector<TicketKind>& ticketKinds()
{
    static const std::vector<TicketKind> kinds = {
        {"ev1", "blank MIFARE Ultralight EV1 (41 pages)", blank<emulators::UltralightEV1>},
        {"c", "blank MIFARE Ultralight C with the transport key", blank<emulators::UltralightC>},
        {"desfire", "blank MIFARE DESFire EV1 (PICC level only)", blank<emulators::DesfireCard>},
        {"none", "an empty field", [](const Bytes&) { return Ticket{}; }},
    };
    return kinds;
}

}  // namespace emulatortool
