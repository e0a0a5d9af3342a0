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
    m_chainLength = 0;
}

bool CipherContext::keyed(const EVP_CIPHER* cipher, const uint8_t* key, bool encrypt) const
{
    return cipher == m_cipher && encrypt == m_encrypt && m_keyLength > 0 &&
           std::memcmp(key, m_key, m_keyLength) == 0;
}

bool CipherContext::start(const EVP_CIPHER* cipher, const uint8_t* key, const uint8_t* iv, bool encrypt)
{
    if (!cipher)
        return false;
    if (!m_ctx && !(m_ctx = EVP_CIPHER_CTX_new()))
        return false;
    const size_t ivLength = static_cast<size_t>(EVP_CIPHER_get_iv_length(cipher));
    if (keyed(cipher, key, encrypt)) {
        if (!iv || ivLength == 0 || (m_chainLength == ivLength && std::memcmp(iv, m_chain, ivLength) == 0))
            return true;
        if (EVP_CipherInit_ex2(m_ctx, nullptr, nullptr, iv, -1, nullptr) != 1) {
            forget();
            return false;
        }
    } else {
        const EVP_CIPHER* reuse = cipher == m_cipher ? nullptr : cipher;
        forget();
        if (EVP_CipherInit_ex2(m_ctx, reuse, key, iv, encrypt ? 1 : 0, nullptr) != 1)
            return false;
        // A decryption would otherwise keep its last block back for a final call. Re-keying keeps
        // the provider context and with it this setting.
        if (reuse && EVP_CIPHER_CTX_set_padding(m_ctx, 0) != 1)
            return false;
        const int keyLength = EVP_CIPHER_get_key_length(cipher);
        if (keyLength > 0 && static_cast<size_t>(keyLength) <= sizeof m_key) {
            std::memcpy(m_key, key, static_cast<size_t>(keyLength));
            m_keyLength = static_cast<size_t>(keyLength);
        }
        m_encrypt = encrypt;
        m_cipher = cipher;
    }
    m_chainLength = 0;
    if (iv && ivLength > 0 && ivLength <= sizeof m_chain) {
        std::memcpy(m_chain, iv, ivLength);
        m_chainLength = ivLength;
    }
    return true;
}

bool CipherContext::run(const uint8_t* data, size_t aligned, const uint8_t* tail, size_t blockSize, uint8_t* out)
{
    // CBC chains on from the last ciphertext block: the output's when encrypting, the input's when
    // decrypting (taken first, in case out is the input).
    const size_t total = aligned + (tail ? blockSize : 0);
    const bool chained = m_chainLength > 0 && m_chainLength == blockSize && total > 0;
    uint8_t lastInput[EVP_MAX_IV_LENGTH];
    if (chained && !m_encrypt)
        std::memcpy(lastInput, tail ? tail : data + aligned - blockSize, blockSize);

    int written = 0;
    if ((aligned > 0 && (EVP_CipherUpdate(m_ctx, out, &written, data, static_cast<int>(aligned)) != 1 ||
                         static_cast<size_t>(written) != aligned)) ||
        (tail && (EVP_CipherUpdate(m_ctx, out + aligned, &written, tail, static_cast<int>(blockSize)) != 1 ||
                  static_cast<size_t>(written) != blockSize))) {
        forget();
        return false;
    }
    if (chained)
        std::memcpy(m_chain, m_encrypt ? out + total - blockSize : lastInput, blockSize);
    return true;
}
