// One OpenSSL block-cipher context, re-keyed for each run with padding off, and the run of a whole
// input through it: the Triple-DES and AES helpers keep one per thread, since fetching and
// allocating on every call would cost more than the few blocks a card message holds. An object
// belongs to one thread.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

class CipherContext
{
public:
    CipherContext() = default;
    ~CipherContext();
    CipherContext(const CipherContext&) = delete;
    CipherContext& operator=(const CipherContext&) = delete;

    // Sets the context up for one run of cipher from iv. The provider's context is kept while the
    // cipher stays the same, and the key schedule while key and direction do too: a card session
    // runs every message under one session key. Null for a null cipher or any library failure.
    EVP_CIPHER_CTX* start(const EVP_CIPHER* cipher, const uint8_t* key, const uint8_t* iv, bool encrypt);

    // Runs the aligned bytes of data, then tail when given (one whole block, zero-filled by the
    // caller), into out, which holds aligned bytes plus a block for the tail. False on any failure.
    static bool run(EVP_CIPHER_CTX* ctx, const uint8_t* data, size_t aligned, const uint8_t* tail,
                    size_t blockSize, uint8_t* out);

private:
    bool keyed(const EVP_CIPHER* cipher, const uint8_t* key, bool encrypt) const;
    void forget();

    EVP_CIPHER_CTX* m_ctx = nullptr;
    const EVP_CIPHER* m_cipher = nullptr;
    uint8_t m_key[EVP_MAX_KEY_LENGTH] = {};
    size_t m_keyLength = 0;
    bool m_encrypt = false;
};
