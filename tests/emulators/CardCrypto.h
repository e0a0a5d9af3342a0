// The block-cipher work that SAM and card emulators share, written on OpenSSL directly so that the
// emulated side never borrows the code under test: raw CBC in both directions (no padding), the
// DESFire native "send mode", CMAC, the two card CRCs and the AN10922 AES-128 key diversification.
// Stateless; any thread may call. Keys of 16 bytes are two-key Triple-DES for the DES cipher and
// AES-128 for AES; 24 bytes are three-key Triple-DES or AES-192.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace emulators {

using Bytes = std::vector<uint8_t>;

namespace cardcrypto {

enum class Cipher
{
    TDES,
    AES
};

size_t blockSize(Cipher cipher);

// CBC over whole blocks; iv is updated to the last ciphertext block. Empty on a bad key or length.
Bytes cbcEncrypt(Cipher cipher, const Bytes& key, Bytes& iv, const Bytes& data);
Bytes cbcDecrypt(Cipher cipher, const Bytes& key, Bytes& iv, const Bytes& data);
// The DESFire native way a reader enciphers: each block is D(P XOR previous result), from a zero IV or
// from *previous, which is then left at the last result so that a long message can go in pieces.
Bytes sendModeEncipher(const Bytes& key, const Bytes& data, Bytes* previous = nullptr);
// Full CMAC (one cipher block long) with the given IV folded into the first block.
Bytes cmac(Cipher cipher, const Bytes& key, const Bytes& data, const Bytes& iv = {});
// DES CBC-MAC from a zero IV over data padded with zeros to whole blocks: the last block.
Bytes cbcMac(const Bytes& key, const Bytes& data);

// ISO 14443-3 CRC_A: start 0x6363, reflected 0x8408, no final XOR.
uint16_t crcA(const Bytes& data);
// The DESFire CRC-32: reflected 0xEDB88320, start 0xFFFFFFFF, no final XOR.
uint32_t crc32(const Bytes& data);

// AN10922 key diversification: CMACs of a constant || input, the message padded to two blocks when
// shorter. AES-128: one CMAC (0x01); two-key Triple-DES: 0x21 and 0x22; three-key: 0x31 to 0x33.
// DES parity bits come out as the CMACs leave them (DES ignores them). Empty for other keys.
Bytes diversify(Cipher cipher, const Bytes& key, const Bytes& input);
Bytes diversifyAes128(const Bytes& key, const Bytes& input);

Bytes rotateLeft(const Bytes& v, size_t n);
Bytes random(size_t n);

}  // namespace cardcrypto
}  // namespace emulators
