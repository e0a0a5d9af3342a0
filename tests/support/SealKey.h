// A P-224 key pair made with OpenSSL for sealed-ticket tests and benchmarks: it seals bytes as
// the issuing office does (SHA-224, ECDSA, r and s of 28 bytes each) and writes the public key
// file (Base64 of the DER SubjectPublicKeyInfo, on one line or wrapped). No test framework here.
#pragma once

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

class SealKey
{
public:
    using Bytes = std::vector<uint8_t>;

    SealKey() : m_key(EVP_EC_gen("P-224"), EVP_PKEY_free)
    {
        if (!m_key)
            throw std::runtime_error("no P-224 key");
    }

    // r || s over the SHA-224 of data.
    Bytes seal(const Bytes& data) const
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned digestLength = 0;
        EVP_Digest(data.data(), data.size(), digest, &digestLength, EVP_sha224(), nullptr);
        std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr),
                                                                   EVP_PKEY_CTX_free);
        unsigned char der[128];
        size_t derLength = sizeof(der);
        if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
            EVP_PKEY_sign(ctx.get(), der, &derLength, digest, digestLength) != 1)
            throw std::runtime_error("signing failed");
        const unsigned char* cursor = der;
        ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derLength));
        Bytes out(56);
        BN_bn2binpad(ECDSA_SIG_get0_r(sig), out.data(), 28);
        BN_bn2binpad(ECDSA_SIG_get0_s(sig), out.data() + 28, 28);
        ECDSA_SIG_free(sig);
        return out;
    }

    // The public key file's text; wrapped at 16 characters a line when asked.
    std::string publicText(bool wrapped) const
    {
        unsigned char* der = nullptr;
        const int length = i2d_PUBKEY(m_key.get(), &der);
        std::string text(static_cast<size_t>(4 * ((length + 2) / 3)) + 1, '\0');
        text.resize(
            static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), der, length)));
        OPENSSL_free(der);
        if (wrapped)
            for (size_t at = 16; at < text.size(); at += 17) text.insert(at, "\n");
        return text + "\n";
    }

    static void writeFile(const std::string& path, const std::string& text)
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

private:
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> m_key;
};

}  // namespace testsupport
