#include "emulators/CardCrypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

namespace emulators {
namespace cardcrypto {

namespace {

const EVP_CIPHER* ecbOf(Cipher cipher, size_t keySize)
{
    if (cipher == Cipher::AES) {
        if (keySize == 16)
            return EVP_aes_128_ecb();
        if (keySize == 24)
            return EVP_aes_192_ecb();
        if (keySize == 32)
            return EVP_aes_256_ecb();
        return nullptr;
    }
    if (keySize == 16)
        return EVP_des_ede_ecb();
    if (keySize == 24)
        return EVP_des_ede3_ecb();
    return nullptr;
}

// One or more blocks through the bare block cipher.
Bytes ecb(Cipher cipher, const Bytes& key, const Bytes& data, bool encrypt)
{
    const EVP_CIPHER* type = ecbOf(cipher, key.size());
    if (!type || data.size() % blockSize(cipher) != 0)
        return {};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    Bytes out(data.size() + blockSize(cipher));
    int n = 0;
    int tail = 0;
    if (!ctx || EVP_CipherInit_ex(ctx.get(), type, nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) != 1)
        return {};
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

Bytes xorBlock(const Bytes& a, const uint8_t* b)
{
    Bytes out(a);
    for (size_t i = 0; i < out.size(); ++i) out[i] ^= b[i];
    return out;
}

// Doubling in GF(2^n) for the CMAC subkeys.
Bytes shiftSubkey(const Bytes& in)
{
    const uint8_t rb = in.size() == 16 ? 0x87 : 0x1B;
    Bytes out(in.size());
    for (size_t i = 0; i < in.size(); ++i)
        out[i] = static_cast<uint8_t>(in[i] << 1 | (i + 1 < in.size() ? in[i + 1] >> 7 : 0));
    if (in[0] & 0x80)
        out.back() ^= rb;
    return out;
}

}  // namespace

size_t blockSize(Cipher cipher)
{
    return cipher == Cipher::AES ? 16 : 8;
}

Bytes cbcEncrypt(Cipher cipher, const Bytes& key, Bytes& iv, const Bytes& data)
{
    const size_t bs = blockSize(cipher);
    if (data.size() % bs != 0 || iv.size() != bs || !ecbOf(cipher, key.size()))
        return {};
    Bytes out;
    Bytes chain = iv;
    for (size_t pos = 0; pos < data.size(); pos += bs) {
        chain = ecb(cipher, key, xorBlock(chain, data.data() + pos), true);
        out.insert(out.end(), chain.begin(), chain.end());
    }
    iv = chain;
    return out;
}

Bytes cbcDecrypt(Cipher cipher, const Bytes& key, Bytes& iv, const Bytes& data)
{
    const size_t bs = blockSize(cipher);
    if (data.size() % bs != 0 || iv.size() != bs || !ecbOf(cipher, key.size()))
        return {};
    Bytes out;
    Bytes chain = iv;
    for (size_t pos = 0; pos < data.size(); pos += bs) {
        const Bytes block(data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos + bs));
        const Bytes plain = xorBlock(ecb(cipher, key, block, false), chain.data());
        out.insert(out.end(), plain.begin(), plain.end());
        chain = block;
    }
    iv = chain;
    return out;
}

Bytes sendModeEncipher(const Bytes& key, const Bytes& data, Bytes* previous)
{
    Bytes chain = previous && previous->size() == 8 ? *previous : Bytes(8, 0x00);
    if (data.size() % 8 != 0 || !ecbOf(Cipher::TDES, key.size()))
        return {};
    Bytes out;
    for (size_t pos = 0; pos < data.size(); pos += 8) {
        chain = ecb(Cipher::TDES, key, xorBlock(chain, data.data() + pos), false);
        out.insert(out.end(), chain.begin(), chain.end());
    }
    if (previous)
        *previous = chain;
    return out;
}

Bytes cmac(Cipher cipher, const Bytes& key, const Bytes& data, const Bytes& iv)
{
    const size_t bs = blockSize(cipher);
    const Bytes l = ecb(cipher, key, Bytes(bs, 0x00), true);
    if (l.empty())
        return {};
    const Bytes k1 = shiftSubkey(l);
    const Bytes k2 = shiftSubkey(k1);
    Bytes message = data;
    const bool complete = !message.empty() && message.size() % bs == 0;
    if (!complete) {
        message.push_back(0x80);
        while (message.size() % bs != 0) message.push_back(0x00);
    }
    const Bytes& subkey = complete ? k1 : k2;
    for (size_t i = 0; i < bs; ++i) message[message.size() - bs + i] ^= subkey[i];
    Bytes chain = iv.empty() ? Bytes(bs, 0x00) : iv;
    const Bytes out = cbcEncrypt(cipher, key, chain, message);
    if (out.empty())
        return {};
    return Bytes(out.end() - static_cast<long>(bs), out.end());
}

Bytes cbcMac(const Bytes& key, const Bytes& data)
{
    Bytes padded = data;
    while (padded.empty() || padded.size() % 8 != 0) padded.push_back(0x00);
    Bytes iv(8, 0x00);
    if (cbcEncrypt(Cipher::TDES, key, iv, padded).empty())
        return {};
    return iv;
}

uint16_t crcA(const Bytes& data)
{
    uint16_t crc = 0x6363;
    for (uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

uint32_t crc32(const Bytes& data)
{
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return crc;
}

Bytes diversify(Cipher cipher, const Bytes& key, const Bytes& input)
{
    std::vector<uint8_t> constants;
    if (cipher == Cipher::AES && key.size() == 16)
        constants = {0x01};
    else if (cipher == Cipher::TDES && key.size() == 16)
        constants = {0x21, 0x22};
    else if (cipher == Cipher::TDES && key.size() == 24)
        constants = {0x31, 0x32, 0x33};
    const size_t bs = blockSize(cipher);
    if (constants.empty() || input.size() >= 4 * bs)
        return {};
    const Bytes l = ecb(cipher, key, Bytes(bs, 0x00), true);
    const Bytes k2 = shiftSubkey(shiftSubkey(l));
    Bytes out;
    for (uint8_t constant : constants) {
        Bytes message = {constant};
        message.insert(message.end(), input.begin(), input.end());
        if (message.size() >= 2 * bs) {
            const Bytes part = cmac(cipher, key, message);
            out.insert(out.end(), part.begin(), part.end());
            continue;
        }
        // Shorter messages are padded to two blocks, so the last block is always taken with K2.
        message.push_back(0x80);
        message.resize(2 * bs, 0x00);
        for (size_t i = 0; i < bs; ++i) message[bs + i] ^= k2[i];
        Bytes iv(bs, 0x00);
        cbcEncrypt(cipher, key, iv, message);
        out.insert(out.end(), iv.begin(), iv.end());
    }
    return out;
}

Bytes diversifyAes128(const Bytes& key, const Bytes& input)
{
    return diversify(Cipher::AES, key, input);
}

Bytes rotateLeft(const Bytes& v, size_t n)
{
    if (v.empty())
        return v;
    n %= v.size();
    Bytes out(v.begin() + static_cast<long>(n), v.end());
    out.insert(out.end(), v.begin(), v.begin() + static_cast<long>(n));
    return out;
}

Bytes random(size_t n)
{
    Bytes out(n);
    if (n > 0 && RAND_bytes(out.data(), static_cast<int>(n)) != 1)
        throw std::runtime_error("emulator: no random bytes");
    return out;
}

}  // namespace cardcrypto
}  // namespace emulators
