#include "emulators/tool/Tickets.h"

#include "emulators/DesfireCard.h"
#include "emulators/KivoTicket.h"
#include "emulators/UltralightC.h"
#include "emulators/UltralightEV1.h"
#include "support/SealKey.h"
#include "support/TicketModels.h"

namespace emulatortool {

namespace {

namespace tickets = testsupport::tickets;

template <class Model>
Ticket blank(const Bytes& uid)
{
    return {tickets::model<Model>(uid), {}};
}

// A VozeLUCv1 ticket as the layout's create leaves it today with key set 1 (the LG SAM model's
// own), from page 4 on guarded by the password the model derives from the UID. Use it with the LG
// SAM in slot 0.
Ticket vozeLUCv1(const Bytes& uid)
{
    return {tickets::vozeLUCv1(uid), {}};
}

// A VerUZA ticket as the issuing office leaves it, sealed with a P-224 key made for this run (its
// public key file goes where --key-dir says), read with the LG SAM model's 16-byte answer.
Ticket verUZA(const Bytes& uid)
{
    const testsupport::SealKey key;
    Ticket ticket{tickets::verUZA(key, uid), {}};
    ticket.lgPasswordLength = 16;
    ticket.keyFileName = "ssb-ec224-pub.b64";
    ticket.keyFileText = key.publicText(false);
    return ticket;
}

// A Zodezu ticket with its keys in the MIFARE SAMs of both slots.
Ticket zodezu(const Bytes& uid, bool v2)
{
    Ticket ticket{tickets::zodezu(v2, uid), tickets::zodezuSlot0Keys};
    ticket.prepareSlot1 = tickets::zodezuSlot1Keys;
    return ticket;
}

// A Kivo ticket with the keys its layout needs in the MIFARE SAM of slot 0.
Ticket kivo(const Bytes& uid, bool v2)
{
    return {tickets::kivo(v2, uid), emulators::kivo::loadKeys};
}

}  // namespace

const std::vector<TicketKind>& ticketKinds()
{
    static const std::vector<TicketKind> kinds = {
        {"ev1", "blank MIFARE Ultralight EV1 (41 pages)", blank<emulators::UltralightEV1>},
        {"c", "blank MIFARE Ultralight C with the transport key", blank<emulators::UltralightC>},
        {"kivoluc", "KivoLUC ticket as created, keys 0x15 and 0x16 in the MIFARE SAM of slot 0",
         [](const Bytes& uid) { return kivo(uid, false); }},
        {"kivolucv2", "KivoLUCv2 ticket as created, keys 0x15 and 0x16 in the MIFARE SAM of slot 0",
         [](const Bytes& uid) { return kivo(uid, true); }},
        {"desfire", "blank MIFARE DESFire EV1 (PICC level only)", blank<emulators::DesfireCard>},
        {"vozeluc1", "VozeLUCv1 ticket on an Ultralight EV1, created today (with --slot0 lg)", vozeLUCv1},
        {"veruza", "VerUZA sealed ticket on an Ultralight EV1 (with --slot0 lg; key file into --key-dir)",
         verUZA},
        {"zodezuluc", "ZodezuLUC ticket on Ultralight C (MIFARE SAMs in both slots: --slot1 mifare)",
         [](const Bytes& uid) { return zodezu(uid, false); }},
        {"zodezulucv2", "ZodezuLUCv2 ticket on Ultralight C (MIFARE SAMs in both slots: --slot1 mifare)",
         [](const Bytes& uid) { return zodezu(uid, true); }},
        {"none", "an empty field", [](const Bytes&) { return Ticket{}; }},
    };
    return kinds;
}

}  // namespace emulatortool
