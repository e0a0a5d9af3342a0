#include "emulators/tool/Tickets.h"

#include <algorithm>
#include <ctime>

#include "emulators/DesfireCard.h"
#include "emulators/LGSam.h"
#include "emulators/UltralightC.h"
#include "emulators/UltralightEV1.h"

namespace emulatortool {

namespace {

template <class Model>
Ticket blank(const Bytes& uid)
{
    return {uid.empty() ? std::make_shared<Model>() : std::make_shared<Model>(uid), {}};
}

// A VozeLUCv1 ticket as the layout's create leaves it today with key set 1 (the LG SAM model's
// own): issue data and certificate on pages 4 and 5, records empty, and from page 4 on writing
// guarded by the password the model derives from the UID. Use it with the LG SAM in slot 0.
Ticket vozeLUCv1(const Bytes& uid)
{
    auto card = uid.empty() ? std::make_shared<emulators::UltralightEV1>()
                            : std::make_shared<emulators::UltralightEV1>(uid);
    const Bytes id = card->identity().uid;
    const emulators::LGSam sam;
    const uint8_t keySet = 1;

    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const unsigned date =
        static_cast<unsigned>((local.tm_year + 1900 - 2010) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    const Bytes datePair = {static_cast<uint8_t>(date >> 8), static_cast<uint8_t>(date)};
    const Bytes cert = sam.issuerCertificate(0x20, 1, keySet, id, datePair);
    // Centre 1, holder 1 (bit 15 of the date pair), map version 2, status 1.
    card->setPage(4, {0x10, static_cast<uint8_t>(datePair[0] | 0x80), datePair[1],
                      static_cast<uint8_t>(keySet << 6 | 0x21)});
    card->setPage(5, {cert[0], cert[1], 0x00, 0x00});

    Bytes input(1 + id.size(), 0xF8);
    std::copy(id.begin(), id.end(), input.begin() + 1);
    const Bytes password = sam.passwordAnswer(0x23, 1, keySet, input);
    card->protect(
        uint32_t(password[0]) << 24 | uint32_t(password[1]) << 16 | uint32_t(password[2]) << 8 | password[3],
        static_cast<uint16_t>(password[6] << 8 | password[7]), 4);
    return {card, {}};
}

}  // namespace

const std::vector<TicketKind>& ticketKinds()
{
    static const std::vector<TicketKind> kinds = {
        {"ev1", "blank MIFARE Ultralight EV1 (41 pages)", blank<emulators::UltralightEV1>},
        {"c", "blank MIFARE Ultralight C with the transport key", blank<emulators::UltralightC>},
        {"desfire", "blank MIFARE DESFire EV1 (PICC level only)", blank<emulators::DesfireCard>},
        {"vozeluc1", "VozeLUCv1 ticket on an Ultralight EV1, created today (with --slot0 lg)", vozeLUCv1},
        {"none", "an empty field", [](const Bytes&) { return Ticket{}; }},
    };
    return kinds;
}

}  // namespace emulatortool
