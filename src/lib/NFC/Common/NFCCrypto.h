// The cryptography of the card and SAM protocols: an object is a CBC cipher bound to one key and one
// running chaining value, so a session can encrypt and decrypt a sequence of messages the way the
// card expects; the static operations give CMAC, HKDF, digests, ECDSA verification, the card CRC
// and byte-vector helpers. Objects are owned by one protocol run on the reader's thread and are not
// shared; the static operations may be called from any thread. Results are returned by value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace NFC {

class Crypto
{
public:
    using Bytes = std::vector<uint8_t>;

    enum Mode : int
    {
        CBC_3DES = 7,     // Triple-DES CBC, 16- or 24-byte key
        CBC_AES128 = 10,  // AES CBC; the key length picks AES-128, -192 or -256
    };

    // The CMAC constant Rb for 128-bit blocks: fifteen 0x00 and 0x87.
    static const Bytes const_Rb;

    // Mode CBC_AES128 under sixteen zero bytes.
    Crypto();
    Crypto(Mode mode, const Bytes& key);

    // New mode and key; the chain starts again from zeros.
    void init(Mode mode, const Bytes& key);

    // Run the mode's cipher, continuing the object's chain from the last ciphertext block. An empty
    // result means refused: a mode without a cipher (logged), a key of the wrong length, and for AES
    // empty data or, when decrypting, a length that is not a multiple of 16. A refusal leaves the
    // chain where it was.
    [[nodiscard]] Bytes encrypt(const Bytes& data);
    [[nodiscard]] Bytes decrypt(const Bytes& data);

    [[nodiscard]] Bytes encrypt_CBC_3DES(const Bytes& data);
    [[nodiscard]] Bytes decrypt_CBC_3DES(const Bytes& data);
    // Data that is not block-aligned is first padded with 0x80 00..; aligned data gets no extra block.
    [[nodiscard]] Bytes encrypt_CBC_AES128(const Bytes& data);
    // Returns the whole plaintext: padding is the caller's to remove (unpad), since random challenges
    // may end in 0x80 00.. themselves.
    [[nodiscard]] Bytes decrypt_CBC_AES128(const Bytes& data);

    // 16-byte AES-CMAC; a 32-byte key is AES-256, 24 AES-192, 16 AES-128, any other length empty.
    static Bytes CMAC(const Bytes& data, const Bytes& key);
    // CMAC bytes 1, 3, .., 15 under a 16-byte key; any other key length gives an empty result.
    static Bytes MACt(const Bytes& data, const Bytes& key);

    // v[n..] followed by v[..n-1]; a copy of v when n is not below its size.
    static Bytes rotateLeft(const Bytes& v, unsigned n);
    // The last n bytes of v followed by the rest; a copy of v when n is not below its size.
    static Bytes rotateRight(const Bytes& v, unsigned n);
    static Bytes concat(const Bytes& a, const Bytes& b);
    // a[i] XOR b[i] for the first n bytes of each; empty when either holds fewer than n bytes.
    static Bytes XOR(const Bytes& a, const Bytes& b, size_t n);
    // The same over the n bytes from offsetA in a and from offsetB in b; empty when out of range.
    static Bytes XOR(const Bytes& a, size_t offsetA, const Bytes& b, size_t offsetB, size_t n);

    // Appends 0x80 and zeros up to the next multiple of blockSize; aligned data (empty included) is
    // returned unchanged. A blockSize below 1 is refused with an empty result.
    static Bytes pad(const Bytes& data, int blockSize);
    // Removes a trailing 0x80 00.. that is not the first byte of the data; anything else comes back
    // unchanged. A blockSize below 1 is refused with an empty result.
    static Bytes unpad(const Bytes& data, int blockSize);

    // HKDF with HMAC-SHA-256. hkdfExpand refuses (empty) more than 255 blocks of output.
    static Bytes hkdfExtract(const Bytes& salt, const Bytes& inputKeyMaterial);
    static Bytes hkdfExpand(const Bytes& prk, const Bytes& info, unsigned length);
    static Bytes hkdf(const Bytes& inputKeyMaterial, unsigned length, const std::string& salt,
                      const std::string& info);

    // XOR of all parts, as long as the first; empty for no parts or a part shorter than the first.
    static Bytes joinKey(const std::vector<Bytes>& parts);
    // True when bytes 0-7 equal bytes 8-15; false for a key shorter than 16 bytes.
    static bool isSingleDESKey(const Bytes& key);

    // CRC-32 as the cards compute it: reflected 0xEDB88320, preset 0xFFFFFFFF, no final XOR.
    static uint32_t crc32(const Bytes& data);

    // True only when (r, s), big-endian unsigned, verifies over digest with the EC public key given
    // as DER SubjectPublicKeyInfo; every failure is false.
    static bool ecdsaVerify(const Bytes& publicKey, const Bytes& digest, const Bytes& r, const Bytes& s);

    // n random bytes. Throws std::runtime_error when the random source fails.
    static Bytes random(unsigned n);
    // First 3 bytes of SHA-256 over the key.
    static Bytes kcv(const Bytes& key);
    // Digest of the text's bytes; a non-zero length cuts it or extends it with zeros.
    static Bytes sha224(const std::string& text, unsigned length = 0);
    static Bytes sha256(const std::string& text, unsigned length = 0);

private:
    Mode m_mode;
    Bytes m_key;
    Bytes m_iv;
};

}  // namespace NFC
