// Card models holding a ticket of each Ultralight layout as that layout's create would leave it,
// with the SAM keys and the key file it is read with, for tests that read the same ticket through
// every reader family and for the emulator tool's ticket kinds, so both put the same bytes in the
// field. Computed by the emulators on OpenSSL, apart from the code under test. No test framework
// here.
#pragma once

#include <ctime>
#include <memory>
#include <string>

#include "SealKey.h"
#include "emulators/CardCrypto.h"
#include "emulators/Hex.h"
#include "emulators/KivoTicket.h"
#include "emulators/LGSam.h"
#include "emulators/MifareSam.h"
#include "emulators/UltralightC.h"
#include "emulators/UltralightEV1.h"

namespace testsupport {
namespace tickets {

using emulators::Bytes;

// uid: empty for the model's own UID.
template <class Model>
std::shared_ptr<Model> model(const Bytes& uid)
{
    return uid.empty() ? std::make_shared<Model>() : std::make_shared<Model>(uid);
}

// Protects the card from page 4 with the password and PACK the LG SAM model derives for its UID
// with key set 1; its answer holds the PACK in its last two bytes.
inline void lgProtect(emulators::UltralightEV1& card, size_t passwordLength)
{
    const Bytes uid = card.identity().uid;
    emulators::LGSam sam;
    sam.setPasswordLength(passwordLength);
    Bytes input(1, 0xF8);
    input.insert(input.end(), uid.begin(), uid.end());
    const Bytes p = sam.passwordAnswer(0x23, 1, 1, input);
    card.protect(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3],
                 static_cast<uint16_t>(p[passwordLength - 2] << 8 | p[passwordLength - 1]), 4);
}

// KivoLUC or KivoLUCv2, read with kivoKeys in the MIFARE SAM.
inline std::shared_ptr<emulators::UltralightEV1> kivo(bool v2, const Bytes& uid = {})
{
    auto card = model<emulators::UltralightEV1>(uid);
    v2 ? emulators::kivo::personaliseKivoLUCv2(*card) : emulators::kivo::personaliseKivoLUC(*card);
    return card;
}

// VozeLUCv1 made today with key set 1: issue data and certificate on pages 4 and 5, records empty.
// Read with the LG SAM model answering 8-byte passwords.
inline std::shared_ptr<emulators::UltralightEV1> vozeLUCv1(const Bytes& uid = {})
{
    auto card = model<emulators::UltralightEV1>(uid);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const unsigned date =
        static_cast<unsigned>((local.tm_year + 1900 - 2010) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    const Bytes datePair = {static_cast<uint8_t>(date >> 8), static_cast<uint8_t>(date)};
    const Bytes cert = emulators::LGSam().issuerCertificate(0x20, 1, 1, card->identity().uid, datePair);
    // Centre 1, holder 1 (bit 15 of the date pair), key set 1, map version 2, status 1.
    card->setPage(4, {0x10, static_cast<uint8_t>(datePair[0] | 0x80), datePair[1], 0x61});
    card->setPage(5, {cert[0], cert[1], 0x00, 0x00});
    lgProtect(*card, 8);
    return card;
}

// VerUZA: two adults from station 8000105 to 8000261, sealed with key (whose public file the
// reader must find). Read with the LG SAM model answering 16-byte passwords.
inline std::shared_ptr<emulators::UltralightEV1> verUZA(const SealKey& key, const Bytes& uid = {})
{
    auto card = model<emulators::UltralightEV1>(uid);
    Bytes record(58, 0x00);
    // Version 1, issuer 1080, key 1, type 1, 2 adults, class 2; the stations at bits 152 and 180.
    const Bytes head = emulators::fromHex("110E04208002");
    const Bytes stations = emulators::fromHex("07A126907A1305");
    std::copy(head.begin(), head.end(), record.begin());
    std::copy(stations.begin(), stations.end(), record.begin() + 19);
    const Bytes seal = key.seal(record);
    record.insert(record.end(), seal.begin(), seal.end());
    record.resize(116, 0x00);
    for (int p = 0; p < 29; ++p)
        card->setPage(4 + p, Bytes(record.begin() + 4 * p, record.begin() + 4 * p + 4));
    lgProtect(*card, 16);
    return card;
}

// The Zodezu keys: the base card key (in the SAM of slot 0 as version 0x11 for authentication, in
// the SAM of slot 1 as version 0 for derivation) and the MAC key 0x61 of slot 0.
inline const Bytes& zodezuBaseKey()
{
    static const Bytes key = emulators::fromHex("00112233445566778899AABBCCDDEEFF");
    return key;
}
inline const Bytes& zodezuMacKey()
{
    static const Bytes key = emulators::fromHex("0F1E2D3C4B5A69788796A5B4C3D2E1F0");
    return key;
}

inline void zodezuSlot0Keys(emulators::MifareSam& slot0)
{
    using emulators::MifareSam;
    slot0.setKeyEntry(0x60,
                      MifareSam::KeyEntry::make(MifareSam::Iso10116, MifareSam::Picc, zodezuBaseKey(), 0x11));
    slot0.setKeyEntry(
        0x61, MifareSam::KeyEntry::make(MifareSam::Iso10116, MifareSam::OfflineCrypto, zodezuMacKey()));
}

inline void zodezuSlot1Keys(emulators::MifareSam& slot1)
{
    using emulators::MifareSam;
    slot1.setKeyEntry(
        0x60, MifareSam::KeyEntry::make(MifareSam::Iso10116, MifareSam::OfflineCrypto, zodezuBaseKey()));
}

// ZodezuLUC or ZodezuLUCv2 as a creation with both SAMs and one write leave it: the UID-diversified
// key, AUTH0 5, copy A current with its MAC; the second generation with its lock-byte mark.
inline std::shared_ptr<emulators::UltralightC> zodezu(bool v2, const Bytes& uid = {})
{
    namespace cc = emulators::cardcrypto;
    auto card = model<emulators::UltralightC>(uid);
    card->setKey(cc::diversify(cc::Cipher::TDES, zodezuBaseKey(), card->identity().uid));
    card->protect(0x05, false);
    const auto mac = [](const Bytes& data) {
        Bytes m = cc::cmac(cc::Cipher::TDES, zodezuMacKey(), data);
        m.resize(4);
        return m;
    };
    const auto append = [](Bytes& to, const Bytes& v) { to.insert(to.end(), v.begin(), v.end()); };
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
    return card;
}

}  // namespace tickets
}  // namespace testsupport
