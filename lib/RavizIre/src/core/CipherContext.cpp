#include "core/CipherContext.h"

#include <openssl/crypto.h>

#include <cstring>

CipherContext::~CipherContext()
{
    forget();
    EVP_CIPHER_CTX_free(m_ctx);
}

void CipherContext::forget()
{
    m_cipher = nullptr;
    OPENSSL_cleanse(m_key, sizeof m_key);
    m_keyLength = 0;
}

bool CipherContext::keyed(const EVP_CIPHER* cipher, const uint8_t* key, bool encrypt) const
{
    return cipher == m_cipher && encrypt == m_encrypt && m_keyLength > 0 &&
           std::memcmp(key, m_key, m_keyLength) == 0;
}

EVP_CIPHER_CTX* CipherContext::start(const EVP_CIPHER* cipher, const uint8_t* key, const uint8_t* iv,
                                     bool encrypt)
{
    if (!cipher)
        return nullptr;
    if (!m_ctx && !(m_ctx = EVP_CIPHER_CTX_new()))
        return nullptr;
    // Only the chaining value changes when the key schedule already in place is the one asked for.
    if (keyed(cipher, key, encrypt))
        return EVP_CipherInit_ex2(m_ctx, nullptr, nullptr, iv, -1, nullptr) == 1 ? m_ctx : nullptr;
    const EVP_CIPHER* reuse = cipher == m_cipher ? nullptr : cipher;
    forget();
    if (EVP_CipherInit_ex2(m_ctx, reuse, key, iv, encrypt ? 1 : 0, nullptr) != 1)
        return nullptr;
    // A decryption would otherwise keep its last block back for a final call. Re-keying keeps the
    // provider context and with it this setting.
    if (reuse && EVP_CIPHER_CTX_set_padding(m_ctx, 0) != 1)
        return nullptr;
    const int keyLength = EVP_CIPHER_get_key_length(cipher);
    if (keyLength > 0 && static_cast<size_t>(keyLength) <= sizeof m_key) {
        std::memcpy(m_key, key, static_cast<size_t>(keyLength));
        m_keyLength = static_cast<size_t>(keyLength);
    }
    m_encrypt = encrypt;
    m_cipher = cipher;
    return m_ctx;
}

bool CipherContext::run(EVP_CIPHER_CTX* ctx, const uint8_t* data, size_t aligned, const uint8_t* tail,
                        size_t blockSize, uint8_t* out)
{
    int written = 0;
    if (aligned > 0 && (EVP_CipherUpdate(ctx, out, &written, data, static_cast<int>(aligned)) != 1 ||
                        static_cast<size_t>(written) != aligned))
        return false;
    if (tail && (EVP_CipherUpdate(ctx, out + aligned, &written, tail, static_cast<int>(blockSize)) != 1 ||
                 static_cast<size_t>(written) != blockSize))
        return false;
    return true;
}
