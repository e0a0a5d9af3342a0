// One OpenSSL block-cipher context with padding off, and the run of a whole input through it: the
// Triple-DES and AES helpers keep one per thread, since fetching and allocating on every call would
// cost more than the few blocks a card message holds. An object belongs to one thread.
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

    // Sets the context up for one run of cipher from iv (none for a mode without one). A card
    // session runs every message under one key, most of them chained on from the last, so the
    // provider's context is kept while the cipher stays the same, the key schedule while key and
    // direction do too, and the library is not called at all when the chaining value the context
    // already holds is the one asked for. False for a null cipher or any library failure.
    bool start(const EVP_CIPHER* cipher, const uint8_t* key, const uint8_t* iv, bool encrypt);

    // Runs the aligned bytes of data, then tail when given (one whole block, zero-filled by the
    // caller), into out, which holds aligned bytes plus a block for the tail. False on any failure.
    bool run(const uint8_t* data, size_t aligned, const uint8_t* tail, size_t blockSize, uint8_t* out);

private:
    bool keyed(const EVP_CIPHER* cipher, const uint8_t* key, bool encrypt) const;
    void forget();

    EVP_CIPHER_CTX* m_ctx = nullptr;
    const EVP_CIPHER* m_cipher = nullptr;
    uint8_t m_key[EVP_MAX_KEY_LENGTH] = {};
    size_t m_keyLength = 0;
    bool m_encrypt = false;
    // The chaining value the context holds after its last run, valid when m_chainLength > 0.
    uint8_t m_chain[EVP_MAX_IV_LENGTH] = {};
    size_t m_chainLength = 0;
};
