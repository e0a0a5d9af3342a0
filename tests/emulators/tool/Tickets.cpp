#include "emulators/tool/Tickets.h"

#include <algorithm>
#include <ctime>

#include "emulators/CardCrypto.h"
#include "emulators/DesfireCard.h"
#include "emulators/Hex.h"
#include "emulators/KivoTicket.h"
#include "emulators/LGSam.h"
#include "emulators/UltralightC.h"
#include "emulators/UltralightEV1.h"
#include "support/SealKey.h"

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

// A VerUZA ticket as the issuing office leaves it: a record of two adults from station 8000105
// to 8000261 in pages 4 to 32, sealed with a P-224 key made for this run (its public key file
// goes where --key-dir says), writing from page 4 on guarded by the password that the LG SAM
// model derives with key set 1 in its 16-byte answer.
Ticket verUZA(const Bytes& uid)
{
    auto card = uid.empty() ? std::make_shared<emulators::UltralightEV1>()
                            : std::make_shared<emulators::UltralightEV1>(uid);
    Bytes data(58, 0x00);
    // Version 1, issuer 1080, key 1, type 1, 2 adults, class 2; the stations at bits 152 and 180.
    const Bytes head = emulators::fromHex("110E04208002");
    std::copy(head.begin(), head.end(), data.begin());
    const Bytes stations = emulators::fromHex("07A126907A1305");
    std::copy(stations.begin(), stations.end(), data.begin() + 19);
    const testsupport::SealKey key;
    Bytes record = data;
    const Bytes seal = key.seal(data);
    record.insert(record.end(), seal.begin(), seal.end());
    record.resize(116, 0x00);
    for (int p = 0; p < 29; ++p)
        card->setPage(4 + p, Bytes(record.begin() + 4 * p, record.begin() + 4 * p + 4));

    const Bytes id = card->identity().uid;
    emulators::LGSam sam;
    sam.setPasswordLength(16);
    Bytes input(1 + id.size(), 0xF8);
    std::copy(id.begin(), id.end(), input.begin() + 1);
    const Bytes password = sam.passwordAnswer(0x23, 1, 1, input);
    card->protect(
        uint32_t(password[0]) << 24 | uint32_t(password[1]) << 16 | uint32_t(password[2]) << 8 | password[3],
        static_cast<uint16_t>(password[14] << 8 | password[15]), 4);
    Ticket ticket{card, {}};
    ticket.lgPasswordLength = 16;
    ticket.keyFileName = "ssb-ec224-pub.b64";
    ticket.keyFileText = key.publicText(false);
    return ticket;
}

// The Zodezu tickets' SAM keys: the base card key (slot 0 as version 0x11 for authentication,
// slot 1 as version 0 for derivation) and the MAC key 0x61 of slot 0.
const Bytes ZodezuBaseKey = emulators::fromHex("00112233445566778899AABBCCDDEEFF");
const Bytes ZodezuMacKey = emulators::fromHex("0F1E2D3C4B5A69788796A5B4C3D2E1F0");

// A Zodezu ticket as a creation with both SAMs and one write leave it: the UID-diversified key,
// AUTH0 5, copy A current with its MAC; the second generation also carries its lock-byte mark.
Ticket zodezu(const Bytes& uid, bool v2)
{
    using emulators::MifareSam;
    namespace cc = emulators::cardcrypto;
    auto card = uid.empty() ? std::make_shared<emulators::UltralightC>()
                            : std::make_shared<emulators::UltralightC>(uid);
    card->setKey(cc::diversify(cc::Cipher::TDES, ZodezuBaseKey, card->identity().uid));
    card->protect(0x05, false);
    auto mac = [](Bytes data) {
        Bytes m = cc::cmac(cc::Cipher::TDES, ZodezuMacKey, data);
        m.resize(4);
        return m;
    };
    auto append = [](Bytes& to, const Bytes& v) { to.insert(to.end(), v.begin(), v.end()); };
    // Block status 1, an information record numbered from 1 with the electronic id 0A1B2C3D4E5F60,
    // a copy numbered from 0x40.
    Bytes info(v2 ? 28 : 26, 0x00);
    for (size_t i = 0; i < info.size(); ++i) info[i] = static_cast<uint8_t>(i + 1);
    const Bytes id = emulators::fromHex("0A1B2C3D4E5F60");
    std::copy(id.begin(), id.end(), info.begin() + 9);
    Bytes copy(32, 0x00);
    for (size_t i = 0; i < 30; ++i) copy[i] = static_cast<uint8_t>(0x40 + i);

    Bytes image = {0x01, 0x00, 0x00, 0x00};
    append(image, info);
    Bytes padded = info;
    padded.resize(28, 0x00);
    append(image, mac(padded));
    image.resize(40, 0x00);  // pages 4 to 12, then the selector naming copy A
    Bytes signedCopy = image;
    append(signedCopy, copy);
    append(image, mac(signedCopy));
    image.resize(48, 0x00);
    append(image, copy);
    for (size_t p = 0; p < image.size() / 4; ++p)
        card->setPage(4 + static_cast<int>(p), Bytes(image.begin() + static_cast<long>(4 * p),
                                                     image.begin() + static_cast<long>(4 * p + 4)));
    if (v2) {
        Bytes lock = card->page(2);
        lock[2] |= 0x07;
        card->setPage(2, lock);
    }
    Ticket ticket{card, [](MifareSam& sam) {
                      sam.setKeyEntry(0x60, MifareSam::KeyEntry::make(MifareSam::Iso10116, MifareSam::Picc,
                                                                      ZodezuBaseKey, 0x11));
                      sam.setKeyEntry(0x61, MifareSam::KeyEntry::make(
                                                MifareSam::Iso10116, MifareSam::OfflineCrypto, ZodezuMacKey));
                  }};
    ticket.prepareSlot1 = [](MifareSam& sam) {
        sam.setKeyEntry(
            0x60, MifareSam::KeyEntry::make(MifareSam::Iso10116, MifareSam::OfflineCrypto, ZodezuBaseKey));
    };
    return ticket;
}

// An Ultralight EV1 personalised as a layout's create leaves it, with the keys the layout needs.
template <void (*personalise)(emulators::UltralightEV1&)>
Ticket kivo(const Bytes& uid)
{
    auto card = uid.empty() ? std::make_shared<emulators::UltralightEV1>()
                            : std::make_shared<emulators::UltralightEV1>(uid);
    personalise(*card);
    return {card, emulators::kivo::loadKeys};
}

}  // namespace

const std::vector<TicketKind>& ticketKinds()
{
    static const std::vector<TicketKind> kinds = {
        {"ev1", "blank MIFARE Ultralight EV1 (41 pages)", blank<emulators::UltralightEV1>},
        {"c", "blank MIFARE Ultralight C with the transport key", blank<emulators::UltralightC>},
        {"kivoluc", "KivoLUC ticket as created, keys 0x15 and 0x16 in the MIFARE SAM of slot 0",
         kivo<emulators::kivo::personaliseKivoLUC>},
        {"kivolucv2", "KivoLUCv2 ticket as created, keys 0x15 and 0x16 in the MIFARE SAM of slot 0",
         kivo<emulators::kivo::personaliseKivoLUCv2>},
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
