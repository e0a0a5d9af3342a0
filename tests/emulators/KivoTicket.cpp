#include "emulators/KivoTicket.h"

#include "emulators/ByteOps.h"
#include "emulators/CardCrypto.h"

namespace emulators {
namespace kivo {

namespace {

using cardcrypto::Cipher;

void writeImage(UltralightEV1& card, int first, const Bytes& image)
{
    for (size_t i = 0; i < image.size(); i += 4)
        card.setPage(first + static_cast<int>(i / 4), slice(image, i, 4));
}

void protect(UltralightEV1& card)
{
    const Bytes pw = password(card.identity().uid);
    const uint32_t pwd = static_cast<uint32_t>(pw[0]) << 24 | static_cast<uint32_t>(pw[1]) << 16 |
                         static_cast<uint32_t>(pw[2]) << 8 | pw[3];
    card.protect(pwd, static_cast<uint16_t>(pw[4] << 8 | pw[5]), 0x04, UltralightEV1::AccessProt);
}

}  // namespace

Bytes passwordKey()
{
    return Bytes(16, 0x15);
}

Bytes macKey()
{
    return {0x16, 0x2A, 0x3B, 0x4C, 0x5D, 0x6E, 0x7F, 0x80, 0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7, 0x08};
}

void loadKeys(MifareSam& sam)
{
    sam.setKeyEntry(PasswordKeyNo,
                    MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::OfflineCrypto, passwordKey()));
    sam.setKeyEntry(MacKeyNo,
                    MifareSam::KeyEntry::make(MifareSam::Iso10116, MifareSam::OfflineCrypto, macKey()));
}

Bytes password(const Bytes& uid)
{
    Bytes padded = uid;
    padded.push_back(0x80);
    padded.resize(16, 0x00);
    Bytes iv(16, 0x00);
    return slice(cardcrypto::cbcEncrypt(Cipher::AES, cardcrypto::diversify(Cipher::AES, passwordKey(), uid),
                                        iv, padded),
                 0, 6);
}

Bytes mac(const Bytes& uid, const Bytes& data, size_t size)
{
    return slice(cardcrypto::cmac(Cipher::TDES, cardcrypto::diversify(Cipher::TDES, macKey(), uid), data), 0,
                 size);
}

void personaliseKivoLUC(UltralightEV1& card)
{
    Bytes record(80, 0x00);
    record[8] = 0x01;
    writeImage(card, 4, record + mac(card.identity().uid, record, 8));
    protect(card);
}

void personaliseKivoLUCv2(UltralightEV1& card)
{
    const Bytes copy(44, 0x00);
    const Bytes signedCopy = copy + mac(card.identity().uid, copy, 4);
    Bytes header(32, 0x00);
    header[8] = 0x03;
    header[28] = 0x01;
    card.setPage(3, {0x02, 0x00, 0x00, 0x00});
    writeImage(card, 4, header + signedCopy + signedCopy);
    protect(card);
}

}  // namespace kivo
}  // namespace emulators
