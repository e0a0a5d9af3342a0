#include "NFC/Common/NFCCrypto.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>

#include "core/CipherContext.h"
#include "core/Crc32.h"
#include "core/Log.h"
#include "core/Random.h"
#include "core/TDES.h"

namespace NFC {

namespace {

using Bytes = Crypto::Bytes;

constexpr size_t kAesBlock = 16;

// Fetched algorithms are kept for the life of the process: fetching is the costly part of every
// OpenSSL 3 call, and card sessions run these a few times per message.
const EVP_CIPHER* aesCbc(size_t keyLength)
{
    static EVP_CIPHER* aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    static EVP_CIPHER* aes192 = EVP_CIPHER_fetch(nullptr, "AES-192-CBC", nullptr);
    static EVP_CIPHER* aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    switch (keyLength) {
        case 16:
            return aes128;
        case 24:
            return aes192;
        case 32:
            return aes256;
        default:
            return nullptr;
    }
}

EVP_MAC* cmacAlgorithm()
{
    static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    return mac;
}

EVP_MAC* hmacAlgorithm()
{
    static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    return mac;
}

const EVP_MD* sha256Md()
{
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

const EVP_MD* sha224Md()
{
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA224", nullptr);
    return md;
}

// One AES-CBC context per thread, re-keyed per call; a change of key size swaps the cipher.
CipherContext& aesContext()
{
    thread_local CipherContext context;
    return context;
}

// One MAC context per thread and variant (AES size, or the HMAC digest), set up once with its
// algorithm so that each call only supplies the key.
class MacContext
{
public:
    MacContext(EVP_MAC* algorithm, const char* paramName, const char* paramValue)
    {
        if (!algorithm || !(m_ctx = EVP_MAC_CTX_new(algorithm)))
            return;
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(paramName, const_cast<char*>(paramValue), 0),
            OSSL_PARAM_construct_end(),
        };
        if (EVP_MAC_CTX_set_params(m_ctx, params) != 1) {
            EVP_MAC_CTX_free(m_ctx);
            m_ctx = nullptr;
        }
    }
    ~MacContext() { EVP_MAC_CTX_free(m_ctx); }
    MacContext(const MacContext&) = delete;
    MacContext& operator=(const MacContext&) = delete;

    // MAC of the concatenated pieces under key into out; false on any library failure.
    bool compute(const Bytes& key, std::initializer_list<std::pair<const uint8_t*, size_t>> pieces,
                 uint8_t* out, size_t outSize)
    {
        // A null key would make OpenSSL reuse the previous call's key: an empty key needs a pointer.
        static const uint8_t noKey = 0;
        if (!m_ctx || EVP_MAC_init(m_ctx, key.empty() ? &noKey : key.data(), key.size(), nullptr) != 1)
            return false;
        for (const auto& piece : pieces) {
            if (piece.second > 0 && EVP_MAC_update(m_ctx, piece.first, piece.second) != 1)
                return false;
        }
        size_t written = 0;
        return EVP_MAC_final(m_ctx, out, &written, outSize) == 1 && written == outSize;
    }

private:
    EVP_MAC_CTX* m_ctx = nullptr;
};

bool cmac(const Bytes& data, const Bytes& key, uint8_t (&out)[kAesBlock])
{
    thread_local MacContext aes128(cmacAlgorithm(), OSSL_MAC_PARAM_CIPHER, "AES-128-CBC");
    thread_local MacContext aes192(cmacAlgorithm(), OSSL_MAC_PARAM_CIPHER, "AES-192-CBC");
    thread_local MacContext aes256(cmacAlgorithm(), OSSL_MAC_PARAM_CIPHER, "AES-256-CBC");
    MacContext* context = key.size() == 16   ? &aes128
                          : key.size() == 24 ? &aes192
                          : key.size() == 32 ? &aes256
                                             : nullptr;
    return context && context->compute(key, {{data.data(), data.size()}}, out, sizeof out);
}

constexpr size_t kSha256Size = 32;

bool hmacSha256(const Bytes& key, std::initializer_list<std::pair<const uint8_t*, size_t>> pieces,
                uint8_t (&out)[kSha256Size])
{
    thread_local MacContext hmac(hmacAlgorithm(), OSSL_MAC_PARAM_DIGEST, "SHA256");
    return hmac.compute(key, pieces, out, sizeof out);
}

Bytes digest(const EVP_MD* md, const std::string& text, unsigned length)
{
    unsigned char buffer[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!md || EVP_Digest(text.data(), text.size(), buffer, &size, md, nullptr) != 1)
        return {};
    Bytes result(buffer, buffer + size);
    if (length != 0)
        result.resize(length, 0x00);
    return result;
}

// Runs AES-CBC over data (a short tail zero-filled to a block by the caller's choice of tail) from
// the chaining value iv; out must hold the padded length.
bool aesRun(const Bytes& key, const Bytes& iv, bool encrypt, const uint8_t* data, size_t aligned,
            const uint8_t* tail, uint8_t* out)
{
    // The chain is used in place; only one that a Triple-DES run left shorter than a block is
    // first filled up with zeros.
    uint8_t chain[kAesBlock] = {};
    const uint8_t* start = iv.data();
    if (iv.size() < kAesBlock) {
        std::memcpy(chain, iv.data(), iv.size());
        start = chain;
    }
    CipherContext& context = aesContext();
    return context.start(aesCbc(key.size()), key.data(), start, encrypt) &&
           context.run(data, aligned, tail, kAesBlock, out);
}

struct PkeyDeleter
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxDeleter
{
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct SigDeleter
{
    void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};

}  // namespace

const Bytes Crypto::const_Rb = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x87};

Crypto::Crypto() : m_mode(CBC_AES128), m_key(16, 0x00), m_iv(kAesBlock, 0x00) {}

Crypto::Crypto(Mode mode, const Bytes& key) : m_mode(mode), m_key(key), m_iv(kAesBlock, 0x00) {}

void Crypto::init(Mode mode, const Bytes& key)
{
    m_mode = mode;
    m_key = key;
    m_iv.assign(kAesBlock, 0x00);
}

// A switch, not a table lookup: card sessions run these for every message, and the two modes
// never change.
Crypto::Bytes Crypto::encrypt(const Bytes& data)
{
    switch (m_mode) {
        case CBC_3DES:
            return encrypt_CBC_3DES(data);
        case CBC_AES128:
            return encrypt_CBC_AES128(data);
    }
    Log::error("[Crypto] Encryption not supported in this mode: %d", static_cast<int>(m_mode));
    return {};
}

Crypto::Bytes Crypto::decrypt(const Bytes& data)
{
    switch (m_mode) {
        case CBC_3DES:
            return decrypt_CBC_3DES(data);
        case CBC_AES128:
            return decrypt_CBC_AES128(data);
    }
    Log::error("[Crypto] Decryption not supported in this mode: %d", static_cast<int>(m_mode));
    return {};
}

Crypto::Bytes Crypto::encrypt_CBC_3DES(const Bytes& data)
{
    Bytes out;
    TDES::encryptCBC(m_key, data, out, &m_iv);
    return out;
}

Crypto::Bytes Crypto::decrypt_CBC_3DES(const Bytes& data)
{
    Bytes out;
    TDES::decryptCBC(m_key, data, out, &m_iv);
    return out;
}

Crypto::Bytes Crypto::encrypt_CBC_AES128(const Bytes& data)
{
    if (data.empty() || !aesCbc(m_key.size()))
        return {};
    const size_t aligned = data.size() - data.size() % kAesBlock;
    uint8_t tail[kAesBlock] = {};
    const bool hasTail = aligned != data.size();
    if (hasTail) {
        std::memcpy(tail, data.data() + aligned, data.size() - aligned);
        tail[data.size() - aligned] = 0x80;
    }
    Bytes out(aligned + (hasTail ? kAesBlock : 0));
    if (!aesRun(m_key, m_iv, true, data.data(), aligned, hasTail ? tail : nullptr, out.data()))
        return {};
    m_iv.assign(out.end() - kAesBlock, out.end());
    return out;
}

Crypto::Bytes Crypto::decrypt_CBC_AES128(const Bytes& data)
{
    if (data.empty() || data.size() % kAesBlock != 0 || !aesCbc(m_key.size()))
        return {};
    Bytes out(data.size());
    if (!aesRun(m_key, m_iv, false, data.data(), data.size(), nullptr, out.data()))
        return {};
    m_iv.assign(data.end() - kAesBlock, data.end());
    return out;
}

Crypto::Bytes Crypto::CMAC(const Bytes& data, const Bytes& key)
{
    uint8_t mac[kAesBlock];
    if (!cmac(data, key, mac))
        return {};
    return Bytes(mac, mac + sizeof mac);
}

Crypto::Bytes Crypto::MACt(const Bytes& data, const Bytes& key)
{
    uint8_t mac[kAesBlock];
    if (key.size() != 16 || !cmac(data, key, mac))
        return {};
    Bytes result(8);
    for (size_t i = 0; i < 8; ++i) result[i] = mac[2 * i + 1];
    return result;
}

Crypto::Bytes Crypto::rotateLeft(const Bytes& v, unsigned n)
{
    if (n >= v.size())
        return v;
    Bytes result;
    result.reserve(v.size());
    result.insert(result.end(), v.begin() + n, v.end());
    result.insert(result.end(), v.begin(), v.begin() + n);
    return result;
}

Crypto::Bytes Crypto::rotateRight(const Bytes& v, unsigned n)
{
    if (n >= v.size())
        return v;
    Bytes result;
    result.reserve(v.size());
    result.insert(result.end(), v.end() - n, v.end());
    result.insert(result.end(), v.begin(), v.end() - n);
    return result;
}

Crypto::Bytes Crypto::concat(const Bytes& a, const Bytes& b)
{
    Bytes result;
    result.reserve(a.size() + b.size());
    result.insert(result.end(), a.begin(), a.end());
    result.insert(result.end(), b.begin(), b.end());
    return result;
}

Crypto::Bytes Crypto::XOR(const Bytes& a, const Bytes& b, size_t n)
{
    return XOR(a, 0, b, 0, n);
}

Crypto::Bytes Crypto::XOR(const Bytes& a, size_t offsetA, const Bytes& b, size_t offsetB, size_t n)
{
    if (offsetA > a.size() || a.size() - offsetA < n || offsetB > b.size() || b.size() - offsetB < n)
        return {};
    Bytes result(n);
    for (size_t i = 0; i < n; ++i) result[i] = a[offsetA + i] ^ b[offsetB + i];
    return result;
}

Crypto::Bytes Crypto::pad(const Bytes& data, int blockSize)
{
    if (blockSize < 1)
        return {};
    const size_t block = static_cast<size_t>(blockSize);
    if (data.size() % block == 0)
        return data;
    const size_t paddedSize = (data.size() / block + 1) * block;
    Bytes result;
    result.reserve(paddedSize);
    result.insert(result.end(), data.begin(), data.end());
    result.push_back(0x80);
    result.resize(paddedSize, 0x00);
    return result;
}

Crypto::Bytes Crypto::unpad(const Bytes& data, int blockSize)
{
    if (blockSize < 1)
        return {};
    if (data.empty() || data.size() % static_cast<size_t>(blockSize) != 0)
        return data;
    if (data.back() != 0x00 && data.back() != 0x80)
        return data;
    size_t i = data.size() - 1;
    while (i > 0 && data[i] == 0x00) --i;
    if (data[i] == 0x80 && i > 0)
        return Bytes(data.begin(), data.begin() + i);
    return data;
}

Crypto::Bytes Crypto::hkdfExtract(const Bytes& salt, const Bytes& inputKeyMaterial)
{
    uint8_t prk[kSha256Size];
    const Bytes zeroSalt(kSha256Size, 0x00);
    if (!hmacSha256(salt.empty() ? zeroSalt : salt, {{inputKeyMaterial.data(), inputKeyMaterial.size()}},
                    prk))
        return {};
    return Bytes(prk, prk + sizeof prk);
}

Crypto::Bytes Crypto::hkdfExpand(const Bytes& prk, const Bytes& info, unsigned length)
{
    const size_t blocks = (static_cast<size_t>(length) + kSha256Size - 1) / kSha256Size;
    // The counter is one byte: past 255 blocks the output would repeat.
    if (blocks > 255)
        return {};
    Bytes okm;
    okm.reserve(blocks * kSha256Size);
    uint8_t t[kSha256Size];
    for (size_t i = 1; i <= blocks; ++i) {
        const uint8_t counter = static_cast<uint8_t>(i);
        const size_t previous = i == 1 ? 0 : kSha256Size;
        if (!hmacSha256(prk, {{t, previous}, {info.data(), info.size()}, {&counter, 1}}, t))
            return {};
        okm.insert(okm.end(), t, t + sizeof t);
    }
    okm.resize(length);
    return okm;
}

Crypto::Bytes Crypto::hkdf(const Bytes& inputKeyMaterial, unsigned length, const std::string& salt,
                           const std::string& info)
{
    const Bytes prk = hkdfExtract(Bytes(salt.begin(), salt.end()), inputKeyMaterial);
    if (prk.empty())
        return {};
    return hkdfExpand(prk, Bytes(info.begin(), info.end()), length);
}

Crypto::Bytes Crypto::joinKey(const std::vector<Bytes>& parts)
{
    if (parts.empty())
        return {};
    Bytes result = parts.front();
    for (size_t p = 1; p < parts.size(); ++p) {
        if (parts[p].size() < result.size())
            return {};
        for (size_t i = 0; i < result.size(); ++i) result[i] ^= parts[p][i];
    }
    return result;
}

bool Crypto::isSingleDESKey(const Bytes& key)
{
    return key.size() >= 16 && std::equal(key.begin(), key.begin() + 8, key.begin() + 8);
}

uint32_t Crypto::crc32(const Bytes& data)
{
    return Crc32::update(Crc32::Preset, data.data(), data.size());
}

bool Crypto::ecdsaVerify(const Bytes& publicKey, const Bytes& digest, const Bytes& r, const Bytes& s)
{
    const unsigned char* cursor = publicKey.data();
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key(
        d2i_PUBKEY(nullptr, &cursor, static_cast<long>(publicKey.size())));
    if (!key || !EVP_PKEY_is_a(key.get(), "EC"))
        return false;

    std::unique_ptr<ECDSA_SIG, SigDeleter> sig(ECDSA_SIG_new());
    BIGNUM* rNumber = BN_bin2bn(r.data(), static_cast<int>(r.size()), nullptr);
    BIGNUM* sNumber = BN_bin2bn(s.data(), static_cast<int>(s.size()), nullptr);
    if (!sig || !rNumber || !sNumber || ECDSA_SIG_set0(sig.get(), rNumber, sNumber) != 1) {
        BN_free(rNumber);
        BN_free(sNumber);
        return false;
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLength <= 0)
        return false;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> derOwner(
        der, [](unsigned char* p) { OPENSSL_free(p); });

    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(
        EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(derLength), digest.data(), digest.size()) == 1;
}

Crypto::Bytes Crypto::random(unsigned n)
{
    Bytes bytes;
    bytes.reserve((static_cast<size_t>(n) + 7) / 8 * 8);
    while (bytes.size() < n) Random::generate(bytes);
    bytes.resize(n);
    return bytes;
}

Crypto::Bytes Crypto::kcv(const Bytes& key)
{
    unsigned char buffer[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!sha256Md() || EVP_Digest(key.data(), key.size(), buffer, &size, sha256Md(), nullptr) != 1)
        return {};
    return Bytes(buffer, buffer + 3);
}

Crypto::Bytes Crypto::sha224(const std::string& text, unsigned length)
{
    return digest(sha224Md(), text, length);
}

Crypto::Bytes Crypto::sha256(const std::string& text, unsigned length)
{
    return digest(sha256Md(), text, length);
}

}  // namespace NFC
