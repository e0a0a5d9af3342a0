#include "core/TDES.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "core/CipherContext.h"

namespace {

constexpr size_t kBlock = 8;

// Single DES runs as two-key Triple-DES with K1 K1, which gives the same blocks and needs neither
// the legacy provider nor the deprecated DES_* calls. Two-key keys go to DES-EDE rather than to
// DES-EDE3 as K1 K2 K1: same blocks, one key schedule fewer on every call. Returns the length of
// the key in k (16 or 24), or 0 when refused.
size_t expandKey(const TDES::Bytes& key, bool allowSingle, uint8_t (&k)[24])
{
    switch (key.size()) {
        case 8:
            if (!allowSingle)
                return 0;
            std::memcpy(k, key.data(), 8);
            std::memcpy(k + 8, key.data(), 8);
            return 16;
        case 16:
        case 24:
            std::memcpy(k, key.data(), key.size());
            return key.size();
        default:
            return 0;
    }
}

// Fetched once and kept for the life of the process.
const EVP_CIPHER* ecbCipher(size_t keyLength)
{
    static EVP_CIPHER* twoKey = EVP_CIPHER_fetch(nullptr, "DES-EDE-ECB", nullptr);
    static EVP_CIPHER* threeKey = EVP_CIPHER_fetch(nullptr, "DES-EDE3-ECB", nullptr);
    return keyLength == 16 ? twoKey : threeKey;
}

const EVP_CIPHER* cbcCipher(size_t keyLength)
{
    static EVP_CIPHER* twoKey = EVP_CIPHER_fetch(nullptr, "DES-EDE-CBC", nullptr);
    static EVP_CIPHER* threeKey = EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
    return keyLength == 16 ? twoKey : threeKey;
}

// Runs the whole input as one stream: the aligned part straight from the caller's buffer, a short
// tail through a zero-filled block. out receives the padded length; the caller trims it.
bool run(bool cbc, bool encrypt, const uint8_t (&key)[24], size_t keyLength, const uint8_t* iv,
         const TDES::Bytes& data, TDES::Bytes& out)
{
    thread_local CipherContext ecbContext;
    thread_local CipherContext cbcContext;

    const size_t aligned = data.size() - data.size() % kBlock;
    const size_t padded = aligned + (aligned == data.size() ? 0 : kBlock);
    out.resize(padded);
    if (padded == 0)
        return true;

    CipherContext& context = cbc ? cbcContext : ecbContext;
    if (!context.start(cbc ? cbcCipher(keyLength) : ecbCipher(keyLength), key, cbc ? iv : nullptr, encrypt))
        return false;
    uint8_t tail[kBlock] = {};
    if (padded != aligned)
        std::memcpy(tail, data.data() + aligned, data.size() - aligned);
    return context.run(data.data(), aligned, padded != aligned ? tail : nullptr, kBlock, out.data());
}

// Expands the key, runs the cipher and wipes the expanded key; out is empty after any failure.
bool keyedRun(const TDES::Bytes& key, bool cbc, bool encrypt, const uint8_t* iv, const TDES::Bytes& data,
              TDES::Bytes& out)
{
    out.clear();
    uint8_t k[24];
    // Single DES keys are for ECB only.
    const size_t keyLength = expandKey(key, !cbc, k);
    if (keyLength == 0)
        return false;
    const bool ok = run(cbc, encrypt, k, keyLength, iv, data, out);
    OPENSSL_cleanse(k, sizeof k);
    if (!ok)
        out.clear();
    return ok;
}

bool ecb(const TDES::Bytes& key, const TDES::Bytes& data, TDES::Bytes& out, bool encrypt)
{
    if (&data == &out) {
        // Encrypting a buffer in place: out is cleared first, so work from a copy.
        const TDES::Bytes copy(data);
        return ecb(key, copy, out, encrypt);
    }
    if (!keyedRun(key, false, encrypt, nullptr, data, out))
        return false;
    if (!encrypt)
        out.resize(data.size());
    return true;
}

bool cbc(const TDES::Bytes& key, const TDES::Bytes& data, TDES::Bytes& out, TDES::Bytes* iv, bool encrypt)
{
    if (&data == &out || iv == &data) {
        const TDES::Bytes copy(data);
        return cbc(key, copy, out, iv, encrypt);
    }
    if (iv == &out) {
        // out is cleared before the chain is handed back; the output wins.
        TDES::Bytes chain(*iv);
        return cbc(key, data, out, &chain, encrypt);
    }
    uint8_t chain[kBlock] = {};
    if (iv) {
        iv->resize(kBlock, 0x00);
        std::memcpy(chain, iv->data(), kBlock);
    }
    if (!keyedRun(key, true, encrypt, chain, data, out))
        return false;
    if (iv && !data.empty()) {
        // The chaining value is the last ciphertext block: the output when encrypting, the input
        // (as filled up with zeros) when decrypting.
        if (encrypt) {
            std::copy(out.end() - kBlock, out.end(), iv->begin());
        } else {
            const size_t last = (data.size() - 1) / kBlock * kBlock;
            std::fill(iv->begin(), iv->end(), 0x00);
            std::copy(data.begin() + last, data.end(), iv->begin());
        }
    }
    if (!encrypt)
        out.resize(data.size());
    return true;
}

}  // namespace

bool TDES::encryptECB(const Bytes& key, const Bytes& data, Bytes& out)
{
    return ecb(key, data, out, true);
}

bool TDES::encryptECB(const Bytes& key, const std::string& data, Bytes& out)
{
    return ecb(key, Bytes(data.begin(), data.end()), out, true);
}

bool TDES::decryptECB(const Bytes& key, const Bytes& data, Bytes& out)
{
    return ecb(key, data, out, false);
}

bool TDES::decryptECB(const Bytes& key, const Bytes& data, std::string& out)
{
    Bytes plain;
    const bool ok = ecb(key, data, plain, false);
    out.assign(plain.begin(), plain.end());
    return ok;
}

bool TDES::encryptCBC(const Bytes& key, const Bytes& data, Bytes& out, Bytes* iv)
{
    return cbc(key, data, out, iv, true);
}

bool TDES::decryptCBC(const Bytes& key, const Bytes& data, Bytes& out, Bytes* iv)
{
    return cbc(key, data, out, iv, false);
}
