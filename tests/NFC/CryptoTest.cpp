#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "NFC/Common/NFCCrypto.h"
#include "TestSupport.h"
#include "core/String.h"
#include "core/TDES.h"

namespace {

using Bytes = std::vector<uint8_t>;
using NFC::Crypto;

Bytes hex(const std::string& text)
{
    return String::fromHex(text);
}
Bytes jhex(const nlohmann::json& value)
{
    return String::fromHex(value.get<std::string>());
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes slice(const Bytes& v, size_t from, size_t count)
{
    return Bytes(v.begin() + from, v.begin() + from + count);
}

Bytes randomBytes(std::mt19937& rng, size_t n)
{
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

// The cards' own padding: 0x80, then zeros to the block, always at least one byte.
Bytes isoPadded(Bytes data)
{
    data.push_back(0x80);
    data.resize((data.size() + 15) / 16 * 16, 0x00);
    return data;
}

Bytes le16(unsigned value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
}

Bytes le32(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

// Reference AES-ECB / AES-CBC straight from OpenSSL, for the independent side of the checks.
Bytes referenceAes(const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt)
{
    const EVP_CIPHER* cipher = nullptr;
    const bool cbc = !iv.empty();
    switch (key.size()) {
        case 16:
            cipher = cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
            break;
        case 24:
            cipher = cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
            break;
        default:
            cipher = cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
            break;
    }
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(data.size());
    int written = 0;
    EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), cbc ? iv.data() : nullptr, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, out.data(), &written, data.data(), static_cast<int>(data.size()));
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

Bytes shiftedLeft(const Bytes& block)
{
    Bytes out(block.size());
    for (size_t i = 0; i < block.size(); ++i)
        out[i] = static_cast<uint8_t>((block[i] << 1) | (i + 1 < block.size() ? block[i + 1] >> 7 : 0));
    return out;
}

Bytes doubled(const Bytes& block)
{
    Bytes out = shiftedLeft(block);
    if (block[0] & 0x80)
        out.back() ^= 0x87;
    return out;
}

// CMAC written from its definition over raw AES-ECB, independent of the EVP_MAC route.
Bytes referenceCmac(const Bytes& key, const Bytes& message)
{
    const Bytes k1 = doubled(referenceAes(key, {}, Bytes(16, 0), true));
    const Bytes k2 = doubled(k1);
    Bytes m = message;
    const bool complete = !m.empty() && m.size() % 16 == 0;
    if (!complete) {
        m.push_back(0x80);
        m.resize((m.size() + 15) / 16 * 16, 0x00);
    }
    const Bytes& sub = complete ? k1 : k2;
    for (size_t i = 0; i < 16; ++i) m[m.size() - 16 + i] ^= sub[i];
    const Bytes chain = referenceAes(key, Bytes(16, 0), m, true);
    return Bytes(chain.end() - 16, chain.end());
}

TEST(Crypto, Rfc4493CmacSubkeysTagsAndTruncation)
{
    const auto doc = testsupport::loadVectors("rfc4493_aes_cmac.json");
    const auto& sub = doc["subkey_generation"];
    const Bytes key = jhex(sub["key"]);
    Crypto zeroIv(Crypto::CBC_AES128, key);
    const Bytes l = zeroIv.encrypt(Bytes(16, 0x00));
    ASSERT_EQ(l, jhex(sub["aes128_key_of_zero_block"]));
    auto shifted = [](const Bytes& in) {
        const Bytes out = shiftedLeft(in);
        return (in[0] & 0x80) ? Crypto::XOR(out, Crypto::const_Rb, 16) : out;
    };
    EXPECT_EQ(shifted(l), jhex(sub["k1"]));
    EXPECT_EQ(shifted(shifted(l)), jhex(sub["k2"]));

    int checked = 0;
    for (const auto& c : doc["cases"]) {
        SCOPED_TRACE(c["name"].get<std::string>());
        const Bytes mac = jhex(c["mac"]);
        EXPECT_EQ(Crypto::CMAC(jhex(c["message"]), jhex(c["key"])), mac);
        EXPECT_EQ(Crypto::MACt(jhex(c["message"]), jhex(c["key"])),
                  (Bytes{mac[1], mac[3], mac[5], mac[7], mac[9], mac[11], mac[13], mac[15]}));
        ++checked;
    }
    EXPECT_EQ(checked, 4);
}

TEST(Crypto, CmacFollowsKeyLengthAndRefusesOthers)
{
    std::mt19937 rng(3);
    for (size_t keyLength : {16u, 24u, 32u}) {
        for (size_t length : {0u, 1u, 15u, 16u, 17u, 32u, 100u}) {
            SCOPED_TRACE(std::to_string(keyLength) + "/" + std::to_string(length));
            const Bytes key = randomBytes(rng, keyLength);
            const Bytes message = randomBytes(rng, length);
            EXPECT_EQ(Crypto::CMAC(message, key), referenceCmac(key, message));
        }
    }
    for (size_t keyLength : {0u, 8u, 15u, 17u, 23u, 31u, 33u, 64u}) {
        SCOPED_TRACE(keyLength);
        EXPECT_TRUE(Crypto::CMAC(Bytes(20, 1), Bytes(keyLength, 2)).empty());
    }
    for (size_t keyLength : {0u, 8u, 15u, 17u, 24u, 32u}) {
        SCOPED_TRACE(keyLength);
        EXPECT_TRUE(Crypto::MACt(Bytes(20, 1), Bytes(keyLength, 2)).empty());
    }
}

TEST(Crypto, Rfc5869HkdfSha256)
{
    const auto doc = testsupport::loadVectors("rfc5869_hkdf_sha256.json");
    int checked = 0;
    for (const auto& c : doc["cases"]) {
        SCOPED_TRACE(c["name"].get<std::string>());
        const Bytes ikm = jhex(c["ikm"]);
        const Bytes salt = jhex(c["salt"]);
        const Bytes info = jhex(c["info"]);
        const unsigned length = c["L"];
        const Bytes prk = Crypto::hkdfExtract(salt, ikm);
        EXPECT_EQ(prk, jhex(c["prk"]));
        EXPECT_EQ(Crypto::hkdfExpand(prk, info, length), jhex(c["okm"]));
        EXPECT_EQ(Crypto::hkdf(ikm, length, std::string(salt.begin(), salt.end()),
                               std::string(info.begin(), info.end())),
                  jhex(c["okm"]));
        ++checked;
    }
    EXPECT_EQ(checked, 3);

    // The block counter is one byte: 255 blocks is the most there is.
    const Bytes prk(32, 0x42);
    const Bytes longest = Crypto::hkdfExpand(prk, {}, 255 * 32);
    ASSERT_EQ(longest.size(), 255u * 32u);
    EXPECT_EQ(slice(longest, 0, 42), Crypto::hkdfExpand(prk, {}, 42));
    EXPECT_TRUE(Crypto::hkdfExpand(prk, {}, 255 * 32 + 1).empty());
    EXPECT_TRUE(Crypto::hkdf(prk, 100000, "salt", "info").empty());

    // An empty key is HMAC's all-zero key, whatever key the thread used before.
    const Bytes info = {1, 2, 3};
    const Bytes zeroKey = Crypto::hkdfExpand(Bytes(32, 0x00), info, 32);
    Crypto::hkdfExtract(Bytes(16, 0x77), info);
    EXPECT_EQ(Crypto::hkdfExpand({}, info, 32), zeroKey);
}

TEST(Crypto, CrcMatchesTheCatalogueAndTheCardForm)
{
    const auto doc = testsupport::loadVectors("reveng_crc_catalogue_check_values.json");
    const Bytes check = jhex(doc["check_input_hex"]);
    int checked = 0;
    for (const auto& c : doc["cases"]) {
        const std::string name = c["name"];
        const uint32_t expected =
            static_cast<uint32_t>(std::stoul(c["check"].get<std::string>(), nullptr, 16));
        if (name == "CRC-32/JAMCRC") {
            EXPECT_EQ(Crypto::crc32(check), expected);
            // Appending the CRC least significant byte first leaves the catalogue's residue.
            EXPECT_EQ(Crypto::crc32(check + le32(Crypto::crc32(check))),
                      static_cast<uint32_t>(std::stoul(c["residue"].get<std::string>(), nullptr, 16)));
            ++checked;
        } else if (name == "CRC-32/ISO-HDLC") {
            EXPECT_EQ(Crypto::crc32(check) ^ 0xFFFFFFFFu, expected);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 2);
    EXPECT_EQ(Crypto::crc32({}), 0xFFFFFFFFu);

    // CRCs that cards checked in published ChangeKey exchanges.
    const auto desfire = testsupport::loadVectors("desfire_ev1_communication_examples.json");
    for (const auto& c : desfire["change_key"]) {
        SCOPED_TRACE(c["name"].get<std::string>());
        Bytes input =
            Bytes{0xC4} + jhex(c["key_no"]) + slice(jhex(c["cryptogram"]), 0, jhex(c["new_key"]).size());
        if (c.contains("new_key_version"))
            input = input + jhex(c["new_key_version"]);
        // Stored in the cryptogram least significant byte first, right after the key (and version).
        EXPECT_EQ(le32(Crypto::crc32(input)), slice(jhex(c["cryptogram"]), input.size() - 2, 4));
        EXPECT_EQ(Crypto::crc32(input), std::stoul(c["crc_crypto"].get<std::string>(), nullptr, 16));
        if (c.contains("crc_new_key")) {
            EXPECT_EQ(Crypto::crc32(jhex(c["new_key"])),
                      std::stoul(c["crc_new_key"].get<std::string>(), nullptr, 16));
        }
    }
}

// Strict DER split of ECDSA-Sig-Value into r and s, each left-padded to 28 bytes; false for
// anything that is not minimal DER or holds an integer that does not fit.
bool splitSignature(const Bytes& der, Bytes& r, Bytes& s)
{
    size_t pos = 0;
    auto length = [&](size_t& out) {
        if (pos >= der.size() || der[pos] >= 0x80)  // long forms are never needed at this size
            return false;
        out = der[pos++];
        return true;
    };
    auto integer = [&](Bytes& out) {
        size_t n = 0;
        if (pos >= der.size() || der[pos++] != 0x02 || !length(n) || n == 0 || n > der.size() - pos)
            return false;
        Bytes value(der.begin() + pos, der.begin() + pos + n);
        pos += n;
        if (value[0] & 0x80)
            return false;  // negative
        if (value.size() > 1 && value[0] == 0x00) {
            if (!(value[1] & 0x80))
                return false;  // not minimal
            value.erase(value.begin());
        }
        if (value.size() > 28)
            return false;
        out = Bytes(28 - value.size(), 0x00) + value;
        return true;
    };
    size_t total = 0;
    if (der.empty() || der[pos++] != 0x30 || !length(total) || total != der.size() - pos)
        return false;
    return integer(r) && integer(s) && pos == der.size();
}

TEST(Crypto, WycheproofEcdsaSecp224r1)
{
    const auto doc = testsupport::loadVectors("wycheproof_ecdsa_secp224r1_sha224_der.json");
    int checked = 0;
    for (const auto& group : doc["testGroups"]) {
        const Bytes key = jhex(group["publicKeyDer"]);
        for (const auto& t : group["tests"]) {
            SCOPED_TRACE("tcId " + std::to_string(t["tcId"].get<int>()) + " " +
                         t["comment"].get<std::string>());
            const Bytes msg = jhex(t["msg"]);
            const Bytes digest = Crypto::sha224(std::string(msg.begin(), msg.end()));
            Bytes r, s;
            const bool verified =
                splitSignature(jhex(t["sig"]), r, s) && Crypto::ecdsaVerify(key, digest, r, s);
            EXPECT_EQ(verified, t["result"] == "valid");
            ++checked;
        }
    }
    EXPECT_EQ(checked, doc["numberOfTestsHere"].get<int>());
}

TEST(Crypto, EcdsaAcceptsAnIndependentSignerAndRejectsOtherKeys)
{
    EVP_PKEY* ec = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    EVP_PKEY* ed = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    ASSERT_TRUE(ec && ed);
    auto spki = [](EVP_PKEY* key) {
        unsigned char* der = nullptr;
        const int n = i2d_PUBKEY(key, &der);
        Bytes out(der, der + n);
        OPENSSL_free(der);
        return out;
    };
    const Bytes ecKey = spki(ec);
    const Bytes edKey = spki(ed);

    const Bytes digest = Crypto::sha256("fare record 0042");
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(ec, nullptr);
    ASSERT_EQ(EVP_PKEY_sign_init(ctx), 1);
    size_t sigLength = 0;
    ASSERT_EQ(EVP_PKEY_sign(ctx, nullptr, &sigLength, digest.data(), digest.size()), 1);
    Bytes der(sigLength);
    ASSERT_EQ(EVP_PKEY_sign(ctx, der.data(), &sigLength, digest.data(), digest.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    const unsigned char* cursor = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(sigLength));
    ASSERT_NE(sig, nullptr);
    Bytes r(32), s(32);
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), r.data(), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), s.data(), 32);
    ECDSA_SIG_free(sig);

    EXPECT_TRUE(Crypto::ecdsaVerify(ecKey, digest, r, s));
    Bytes otherDigest = digest;
    otherDigest[31] ^= 1;
    EXPECT_FALSE(Crypto::ecdsaVerify(ecKey, otherDigest, r, s));
    EXPECT_FALSE(Crypto::ecdsaVerify(ecKey, digest, s, r));
    EXPECT_FALSE(Crypto::ecdsaVerify(edKey, digest, r, s));
    EXPECT_FALSE(Crypto::ecdsaVerify(slice(ecKey, 0, ecKey.size() - 1), digest, r, s));
    EXPECT_FALSE(Crypto::ecdsaVerify({}, digest, r, s));
    EXPECT_FALSE(Crypto::ecdsaVerify(ecKey, digest, {}, {}));
    EVP_PKEY_free(ec);
    EVP_PKEY_free(ed);
}

// The EV2 session vectors (derivation SV1 = A55A 0001 0080 || RndA[0..1] || RndA[2..7] ^ RndB[0..5] ||
// RndB[6..15] || RndA[8..15], SV2 the same under 5AA5) and each cryptogram under a fresh zero IV.
TEST(Crypto, Ntag424Ev2AuthenticationAndSessionKeys)
{
    const auto doc = testsupport::loadVectors("nxp_an12196_ntag424_ev2.json");
    int checked = 0;
    for (const auto& a : doc["authentication"]) {
        SCOPED_TRACE(a["name"].get<std::string>());
        const Bytes key = jhex(a["key"]);
        const Bytes rndA = jhex(a["rnda"]);

        const Bytes rndB = Crypto(Crypto::CBC_AES128, key).decrypt(jhex(a["e_k_rndb"]));
        ASSERT_EQ(rndB, jhex(a["rndb"]));
        const Bytes token =
            Crypto(Crypto::CBC_AES128, key).encrypt(Crypto::concat(rndA, Crypto::rotateLeft(rndB, 1)));
        EXPECT_EQ(token, jhex(a["e_k_rnda_rndb_rot"]));
        if (a.contains("rapdu_part2")) {
            const Bytes answer = jhex(a["rapdu_part2"]);
            const Bytes plain = Crypto(Crypto::CBC_AES128, key).decrypt(slice(answer, 0, answer.size() - 2));
            ASSERT_EQ(plain.size(), 32u);
            EXPECT_EQ(slice(plain, 0, 4), jhex(a["ti"]));
            EXPECT_EQ(slice(plain, 4, 16), Crypto::rotateLeft(rndA, 1));
            if (a.contains("part2_response_plaintext_ti_rnda_rot_pdcap2_pcdcap2")) {
                EXPECT_EQ(plain, jhex(a["part2_response_plaintext_ti_rnda_rot_pdcap2_pcdcap2"]));
            }
        }

        const Bytes tail =
            slice(rndA, 0, 2) + Crypto::XOR(rndA, 2, rndB, 0, 6) + slice(rndB, 6, 10) + slice(rndA, 8, 8);
        const Bytes sv1 = hex("A55A00010080") + tail;
        const Bytes sv2 = hex("5AA500010080") + tail;
        EXPECT_EQ(sv1, jhex(a["sv1"]));
        if (a.contains("sv2")) {
            EXPECT_EQ(sv2, jhex(a["sv2"]));
        }
        EXPECT_EQ(Crypto::CMAC(sv1, key), jhex(a["ses_auth_enc_key"]));
        EXPECT_EQ(Crypto::CMAC(sv2, key), jhex(a["ses_auth_mac_key"]));
        ++checked;
    }
    EXPECT_EQ(checked, 3);
}

// Each secure-messaging example: the command IV, the enciphered data continuing the chain from that
// IV, the truncated MACs in both directions, and the response deciphered in full.
TEST(Crypto, Ntag424Ev2SecureMessaging)
{
    const auto doc = testsupport::loadVectors("nxp_an12196_ntag424_ev2.json");
    int checked = 0;
    for (const auto& m : doc["secure_messaging"]) {
        SCOPED_TRACE(m["name"].get<std::string>());
        const Bytes macKey = jhex(m["ses_auth_mac_key"]);
        const Bytes ti = jhex(m["ti"]);
        const unsigned counter = m["cmd_ctr"];
        const Bytes cmd = jhex(m["cmd"]);
        const Bytes header = m.contains("cmd_header") ? jhex(m["cmd_header"]) : Bytes{};

        // What went to the card: 90 cmd 00 00 Lc header [ciphertext] MACt 00.
        Bytes sentCipher, sentMac;
        if (m.contains("capdu")) {
            const Bytes capdu = jhex(m["capdu"]);
            const Bytes body = slice(capdu, 5, capdu[4]);
            sentMac = slice(body, body.size() - 8, 8);
            sentCipher = slice(body, header.size(), body.size() - header.size() - 8);
        }

        Bytes cipher;
        if (m.contains("ses_auth_enc_key") && (m.contains("cmd_data") || m.contains("plaintext_padded"))) {
            Crypto session(Crypto::CBC_AES128, jhex(m["ses_auth_enc_key"]));
            const Bytes ivc = session.encrypt(hex("A55A") + ti + le16(counter) + Bytes(8, 0x00));
            if (m.contains("ivc")) {
                EXPECT_EQ(ivc, jhex(m["ivc"]));
            }
            Bytes plain;
            if (m.contains("plaintext_padded")) {
                // A key other than the authenticated one goes XORed with the old one, plus its CRC.
                const Bytes newKey = jhex(m["new_key"]);
                const bool otherKey = header != hex("00");
                plain = otherKey ? Crypto::XOR(newKey, jhex(m["old_key"]), 16) : newKey;
                if (m.contains("new_key_xor_old_key")) {
                    EXPECT_EQ(plain, jhex(m["new_key_xor_old_key"]));
                }
                plain = plain + jhex(m["key_version"]);
                if (m.contains("crc32_new_key")) {
                    EXPECT_EQ(le32(Crypto::crc32(newKey)), jhex(m["crc32_new_key"]));
                }
                if (otherKey)
                    plain = plain + le32(Crypto::crc32(newKey));
                plain = isoPadded(plain);
                EXPECT_EQ(plain, jhex(m["plaintext_padded"]));
            } else {
                plain = isoPadded(jhex(m["cmd_data"]));
            }
            cipher = session.encrypt(plain);
            if (m.contains("ciphertext")) {
                EXPECT_EQ(cipher, jhex(m["ciphertext"]));
            }
            if (!sentCipher.empty()) {
                EXPECT_EQ(cipher, sentCipher);
            }
        }

        const Bytes macInput = cmd + le16(counter) + ti + header + cipher;
        if (m.contains("mac_input")) {
            EXPECT_EQ(macInput, jhex(m["mac_input"]));
        }
        const Bytes mact = Crypto::MACt(macInput, macKey);
        if (m.contains("mact")) {
            EXPECT_EQ(mact, jhex(m["mact"]));
        }
        if (!sentMac.empty()) {
            EXPECT_EQ(mact, sentMac);
        }
        if (m.contains("cmac")) {
            EXPECT_EQ(Crypto::CMAC(macInput, macKey), jhex(m["cmac"]));
        }

        Bytes responseData;
        if (m.contains("response_data"))
            responseData = jhex(m["response_data"]);
        if (m.contains("response_ciphertext"))
            responseData = jhex(m["response_ciphertext"]);
        const Bytes responseMacInput = Bytes{0x00} + le16(counter + 1) + ti + responseData;
        if (m.contains("response_mac_input")) {
            EXPECT_EQ(responseMacInput, jhex(m["response_mac_input"]));
        }
        if (m.contains("response_mact")) {
            EXPECT_EQ(Crypto::MACt(responseMacInput, macKey), jhex(m["response_mact"]));
        }
        if (m.contains("response_cmac")) {
            EXPECT_EQ(Crypto::CMAC(responseMacInput, macKey), jhex(m["response_cmac"]));
        }
        if (m.contains("rapdu") && !m.contains("response_data") && !m.contains("response_ciphertext")) {
            const Bytes rapdu = jhex(m["rapdu"]);
            EXPECT_EQ(Crypto::MACt(responseMacInput, macKey), slice(rapdu, 0, 8));
        }

        if (m.contains("response_ciphertext")) {
            Crypto session(Crypto::CBC_AES128, jhex(m["ses_auth_enc_key"]));
            EXPECT_EQ(session.encrypt(hex("5AA5") + ti + le16(counter + 1) + Bytes(8, 0x00)), jhex(m["ivr"]));
            const Bytes plain = session.decrypt(responseData);
            // The UID ends in 0x80 itself: the whole plaintext comes back, padding included.
            EXPECT_EQ(plain, jhex(m["response_plaintext_padded"]));
            EXPECT_EQ(Crypto::unpad(plain, 16), jhex(m["uid"]));
        }
        ++checked;
    }
    EXPECT_EQ(checked, 7);
}

TEST(Crypto, NistAesCbcExamples)
{
    const Bytes iv = hex("000102030405060708090A0B0C0D0E0F");
    const Bytes plain =
        hex("6BC1BEE22E409F96E93D7E117393172AAE2D8A571E03AC9C9EB76FAC45AF8E51"
            "30C81C46A35CE411E5FBC1191A0A52EFF69F2445DF4F9B17AD2B417BE66C3710");
    const struct
    {
        const char* key;
        const char* cipher;
    } cases[] = {
        {"2B7E151628AED2A6ABF7158809CF4F3C",
         "7649ABAC8119B246CEE98E9B12E9197D5086CB9B507219EE95DB113A917678B2"
         "73BED6B8E3C1743B7116E69E222295163FF1CAA1681FAC09120ECA307586E1A7"},
        {"8E73B0F7DA0E6452C810F32B809079E562F8EAD2522C6B7B",
         "4F021DB243BC633D7178183A9FA071E8B4D9ADA9AD7DEDF4E5E738763F69145A"
         "571B242012FB7AE07FA9BAAC3DF102E008B0E27988598881D920A9E64F5615CD"},
        {"603DEB1015CA71BE2B73AEF0857D77811F352C073B6108D72D9810A30914DFF4",
         "F58C4C04D6E5F1BA779EABFB5F7BFBD69CFC4E967EDB808D679F777BC6702C7D"
         "39F23369A9D9BACFA530E26304231461B2EB05E2C39BE9FCDA6C19078C6A9D1B"},
    };
    // The object starts from a zero IV, so the example's IV is folded into the first block.
    const Bytes firstBlock = Crypto::XOR(plain, iv, 16);
    const Bytes adjusted = firstBlock + slice(plain, 16, 48);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const Bytes key = hex(c.key);
        EXPECT_EQ(Crypto(Crypto::CBC_AES128, key).encrypt(adjusted), hex(c.cipher));
        EXPECT_EQ(Crypto(Crypto::CBC_AES128, key).decrypt(hex(c.cipher)), adjusted);
    }
}

TEST(Crypto, ShaDigestsAndKeyCheckValue)
{
    const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(String::toHex(Crypto::sha256("abc")),
              String::toUpper("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    EXPECT_EQ(String::toHex(Crypto::sha224("abc")),
              String::toUpper("23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"));
    EXPECT_EQ(String::toHex(Crypto::sha256(twoBlocks)),
              String::toUpper("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"));
    EXPECT_EQ(String::toHex(Crypto::sha224(twoBlocks)),
              String::toUpper("75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"));

    EXPECT_EQ(Crypto::sha256("abc", 16), slice(Crypto::sha256("abc"), 0, 16));
    EXPECT_EQ(Crypto::sha224("abc", 40), Crypto::sha224("abc") + Bytes(12, 0x00));
    EXPECT_EQ(Crypto::sha224(std::string("a\0b", 3)).size(), 28u);
    EXPECT_NE(Crypto::sha224(std::string("a\0b", 3)), Crypto::sha224("a"));

    EXPECT_EQ(Crypto::kcv(Bytes(16, 0x00)), hex("374708"));
    EXPECT_EQ(Crypto::kcv({}).size(), 3u);
}

TEST(Crypto, SplitCbcCallsOnOneObjectEqualOneCall)
{
    std::mt19937 rng(11);
    const struct
    {
        Crypto::Mode mode;
        size_t keyLength;
        size_t block;
    } setups[] = {{Crypto::CBC_3DES, 16, 8},
                  {Crypto::CBC_3DES, 24, 8},
                  {Crypto::CBC_AES128, 16, 16},
                  {Crypto::CBC_AES128, 32, 16}};
    for (const auto& setup : setups) {
        const Bytes key = randomBytes(rng, setup.keyLength);
        const Bytes data = randomBytes(rng, setup.block * 6);
        const Bytes whole = Crypto(setup.mode, key).encrypt(data);
        ASSERT_EQ(whole.size(), data.size());
        for (size_t cut = setup.block; cut < data.size(); cut += setup.block) {
            SCOPED_TRACE(std::to_string(setup.mode) + "/" + std::to_string(setup.keyLength) + " cut " +
                         std::to_string(cut));
            Crypto encryptor(setup.mode, key);
            const Bytes first = encryptor.encrypt(slice(data, 0, cut));
            const Bytes second = encryptor.encrypt(slice(data, cut, data.size() - cut));
            EXPECT_EQ(first + second, whole);
            Crypto decryptor(setup.mode, key);
            const Bytes firstPlain = decryptor.decrypt(slice(whole, 0, cut));
            const Bytes secondPlain = decryptor.decrypt(slice(whole, cut, whole.size() - cut));
            EXPECT_EQ(firstPlain + secondPlain, data);
        }
        // And the whole chain agrees with plain CBC from OpenSSL or the Triple-DES layer.
        if (setup.mode == Crypto::CBC_AES128) {
            EXPECT_EQ(whole, referenceAes(key, Bytes(16, 0), data, true));
        } else {
            Bytes expected;
            ASSERT_TRUE(TDES::encryptCBC(key, data, expected));
            EXPECT_EQ(whole, expected);
        }
    }
}

TEST(Crypto, TripleDesObjectCarriesTheCardChain)
{
    // The card's ISO authentication: one chain over three cryptograms.
    const auto doc = testsupport::loadVectors("desfire_ev1_communication_examples.json");
    int checked = 0;
    for (const auto& a : doc["authentication"]) {
        if (a["key_type"] != "2K3DES" && a["key_type"] != "3K3DES")
            continue;
        SCOPED_TRACE(a["name"].get<std::string>());
        Crypto session(Crypto::CBC_3DES, jhex(a["key"]));
        EXPECT_EQ(session.decrypt(jhex(a["rndb_enc"])), jhex(a["rndb"]));
        EXPECT_EQ(session.encrypt(jhex(a["rndab"])), jhex(a["rndab_enc"]));
        EXPECT_EQ(session.decrypt(jhex(a["rnda_enc"])), jhex(a["rnda_dec"]));
        ++checked;
    }
    EXPECT_EQ(checked, 2);
    for (const auto& c : doc["change_key"]) {
        SCOPED_TRACE(c["name"].get<std::string>());
        Bytes key = jhex(c["session_key"]);
        const bool aes = c["new_key_type"] == "AES";
        if (key.size() == 8)
            key = key + key;  // a single-DES session runs as Triple-DES with equal halves
        Crypto session(aes ? Crypto::CBC_AES128 : Crypto::CBC_3DES, key);
        EXPECT_EQ(session.encrypt(jhex(c["cryptogram"])), jhex(c["cryptogram_enc"]));
    }
    Crypto unused(Crypto::CBC_3DES, Bytes(8, 0x01));
    EXPECT_TRUE(unused.encrypt(Bytes(8, 0)).empty());
}

// Sessions on one thread share its cipher contexts, which keep the last key schedule and chain:
// interleaved, each session must still see only its own key and chain, as fresh OpenSSL contexts
// computing the same chains give them.
TEST(Crypto, InterleavedSessionsOnOneThreadKeepTheirOwnChains)
{
    std::mt19937 rng(29);
    struct Session
    {
        Crypto::Mode mode;
        Bytes key;
        Bytes chain;
        Crypto crypto;
    };
    const Bytes sharedKey = randomBytes(rng, 16);
    Session sessions[] = {{Crypto::CBC_AES128, sharedKey, Bytes(16, 0), {}},
                          {Crypto::CBC_AES128, sharedKey, Bytes(16, 0), {}},
                          {Crypto::CBC_AES128, randomBytes(rng, 16), Bytes(16, 0), {}},
                          {Crypto::CBC_3DES, randomBytes(rng, 16), Bytes(8, 0), {}},
                          {Crypto::CBC_3DES, randomBytes(rng, 24), Bytes(8, 0), {}}};
    for (Session& s : sessions) s.crypto.init(s.mode, s.key);
    for (int step = 0; step < 300; ++step) {
        Session& s = sessions[rng() % 5];
        if (rng() % 4 == 0) {
            // A new chain from zero, as each new authentication starts one.
            s.crypto.init(s.mode, s.key);
            s.chain.assign(s.chain.size(), 0);
        }
        const bool encrypt = rng() % 2 == 0;
        const Bytes data = randomBytes(rng, s.chain.size() * (1 + rng() % 3));
        Bytes expected(data.size());
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        const EVP_CIPHER* cipher = s.mode == Crypto::CBC_AES128 ? EVP_aes_128_cbc()
                                   : s.key.size() == 16         ? EVP_des_ede_cbc()
                                                                : EVP_des_ede3_cbc();
        int written = 0;
        EVP_CipherInit_ex(ctx, cipher, nullptr, s.key.data(), s.chain.data(), encrypt ? 1 : 0);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_CipherUpdate(ctx, expected.data(), &written, data.data(), static_cast<int>(data.size()));
        EVP_CIPHER_CTX_free(ctx);
        const Bytes& last = encrypt ? expected : data;
        s.chain.assign(last.end() - static_cast<long>(s.chain.size()), last.end());
        SCOPED_TRACE("step " + std::to_string(step));
        ASSERT_EQ(encrypt ? s.crypto.encrypt(data) : s.crypto.decrypt(data), expected);
    }
}

TEST(Crypto, DecryptionKeepsPaddingLikeBytes)
{
    const Bytes key = hex("000102030405060708090A0B0C0D0E0F");
    for (const Bytes& challenge :
         {hex("11223344556677889900AABBCCDD8000"), hex("80000000000000000000000000000000"),
          hex("0102030405060708090A0B0C0D0E0F80"), Bytes(32, 0x00)}) {
        SCOPED_TRACE(String::toHex(challenge));
        const Bytes cipher = referenceAes(key, Bytes(16, 0), challenge, true);
        EXPECT_EQ(Crypto(Crypto::CBC_AES128, key).decrypt(cipher), challenge);
        EXPECT_EQ(Crypto(Crypto::CBC_AES128, key).encrypt(challenge), cipher);
    }
    // Short data is padded 80 00.. before encryption; aligned data gets no extra block.
    const Bytes fifteen = hex("0102030405060708090A0B0C0D0E0F");
    EXPECT_EQ(Crypto(Crypto::CBC_AES128, key).encrypt(fifteen),
              referenceAes(key, Bytes(16, 0), fifteen + Bytes{0x80}, true));
}

TEST(Crypto, RefusedAesCallsLeaveTheChainAlone)
{
    const Bytes key = hex("000102030405060708090A0B0C0D0E0F");
    const Bytes block = hex("00112233445566778899AABBCCDDEEFF");
    const Bytes fresh = Crypto(Crypto::CBC_AES128, key).encrypt(block);

    Crypto session(Crypto::CBC_AES128, key);
    EXPECT_TRUE(session.encrypt({}).empty());
    EXPECT_TRUE(session.decrypt({}).empty());
    EXPECT_TRUE(session.decrypt(Bytes(15, 0x11)).empty());
    EXPECT_TRUE(session.decrypt(Bytes(17, 0x11)).empty());
    EXPECT_EQ(session.encrypt(block), fresh);

    for (size_t keyLength : {0u, 8u, 15u, 17u, 33u}) {
        SCOPED_TRACE(keyLength);
        Crypto wrong(Crypto::CBC_AES128, Bytes(keyLength, 0x5A));
        EXPECT_TRUE(wrong.encrypt(block).empty());
        EXPECT_TRUE(wrong.decrypt(block).empty());
    }
    // init starts a new chain.
    session.init(Crypto::CBC_AES128, key);
    EXPECT_EQ(session.encrypt(block), fresh);
    // The default object is AES under sixteen zero bytes.
    Crypto byDefault;
    EXPECT_EQ(byDefault.encrypt(block), Crypto(Crypto::CBC_AES128, Bytes(16, 0)).encrypt(block));

    Crypto unknown(static_cast<Crypto::Mode>(3), key);
    EXPECT_TRUE(unknown.encrypt(block).empty());
    EXPECT_TRUE(unknown.decrypt(block).empty());
}

TEST(Crypto, PadAndUnpad)
{
    const Bytes sixteen(16, 0x33);
    EXPECT_EQ(Crypto::pad(sixteen, 16), sixteen);
    const Bytes padded = Crypto::pad(Bytes(17, 0x33), 16);
    EXPECT_EQ(padded, Bytes(17, 0x33) + Bytes{0x80} + Bytes(14, 0x00));
    EXPECT_TRUE(Crypto::pad({}, 8).empty());
    EXPECT_EQ(Crypto::pad(hex("01"), 1), hex("01"));
    EXPECT_TRUE(Crypto::pad(hex("0102"), 0).empty());
    EXPECT_TRUE(Crypto::pad(hex("0102"), -4).empty());

    const struct
    {
        const char* in;
        const char* out;
    } unpadCases[] = {
        {"11228000", "1122"},
        {"11223380", "112233"},
        {"80000000", "80000000"},
        {"11223344", "11223344"},
        {"112280", "112280"},
        {"00000000", "00000000"},
        {"", ""},
        {"1122800000000000", "1122"},
        // Non-zero bytes after the last 0x80: no padding, the data stay as they are.
        {"11801100", "11801100"},
        {"8011220000000000", "8011220000000000"},
    };
    for (const auto& c : unpadCases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(Crypto::unpad(hex(c.in), 4), hex(c.out));
    }
    EXPECT_EQ(Crypto::unpad(padded, 16), Bytes(17, 0x33));
    EXPECT_TRUE(Crypto::unpad(hex("11228000"), 0).empty());
}

TEST(Crypto, ByteVectorHelpersRefuseOutOfRangeArguments)
{
    EXPECT_EQ(Crypto::rotateLeft(hex("01020304"), 1), hex("02030401"));
    EXPECT_EQ(Crypto::rotateLeft(hex("01020304"), 4), hex("01020304"));
    EXPECT_EQ(Crypto::rotateLeft(hex("01020304"), 9), hex("01020304"));
    EXPECT_EQ(Crypto::rotateRight(hex("01020304"), 1), hex("04010203"));
    EXPECT_EQ(Crypto::rotateRight(hex("01020304"), 3), hex("02030401"));
    EXPECT_TRUE(Crypto::rotateLeft({}, 0).empty());
    EXPECT_EQ(Crypto::concat(hex("01"), hex("0203")), hex("010203"));

    EXPECT_EQ(Crypto::XOR(hex("FF00F0"), hex("0F0F0F"), 3), hex("F00FFF"));
    EXPECT_EQ(Crypto::XOR(hex("FF00F0"), hex("0F0F0F"), 2), hex("F00F"));
    EXPECT_TRUE(Crypto::XOR(hex("FF00F0"), hex("0F0F0F"), 0).empty());
    EXPECT_TRUE(Crypto::XOR(hex("FF00F0"), hex("0F0F"), 3).empty());
    EXPECT_TRUE(Crypto::XOR(hex("FF00"), hex("0F0F0F"), 3).empty());
    EXPECT_EQ(Crypto::XOR(hex("AABBCC"), 1, hex("0102"), 0, 2), hex("BACE"));
    EXPECT_TRUE(Crypto::XOR(hex("AABBCC"), 2, hex("0102"), 0, 2).empty());
    EXPECT_TRUE(Crypto::XOR(hex("AABBCC"), 4, hex("0102"), 0, 0).empty());
    EXPECT_TRUE(Crypto::XOR(hex("AABBCC"), 0, hex("0102"), SIZE_MAX, 1).empty());

    EXPECT_EQ(Crypto::joinKey({hex("0F0F"), hex("F0F0"), hex("0101FF")}), hex("FEFE"));
    EXPECT_EQ(Crypto::joinKey({hex("1234")}), hex("1234"));
    EXPECT_TRUE(Crypto::joinKey({}).empty());
    EXPECT_TRUE(Crypto::joinKey({hex("0F0F"), hex("F0")}).empty());

    EXPECT_TRUE(Crypto::isSingleDESKey(hex("0011223344556677001122334455667799")));
    EXPECT_FALSE(Crypto::isSingleDESKey(hex("00112233445566770011223344556678")));
    EXPECT_FALSE(Crypto::isSingleDESKey(hex("001122334455667700112233445566")));
    EXPECT_FALSE(Crypto::isSingleDESKey({}));

    EXPECT_EQ(Crypto::const_Rb, Bytes(15, 0x00) + Bytes{0x87});
}

TEST(Crypto, RandomGivesTheLengthAskedForAndFreshBytes)
{
    for (unsigned n : {0u, 1u, 7u, 8u, 9u, 16u, 33u}) EXPECT_EQ(Crypto::random(n).size(), n);
    EXPECT_NE(Crypto::random(16), Crypto::random(16));
}

}  // namespace
