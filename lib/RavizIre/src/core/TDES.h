// DES and Triple-DES over byte vectors, for key-store files, card authentication and secure
// messaging. Static; the caller owns every buffer. Any thread may call (cipher contexts are per thread).
//
// Keys: 8 bytes is single DES, 16 bytes two-key Triple-DES (K1 K2 K1), 24 bytes three-key
// Triple-DES. Data are cut into 8-byte blocks; a last short block is filled up with 0x00 before it
// is processed, and decryption hands back only as many bytes as that block had on input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TDES
{
public:
    using Bytes = std::vector<uint8_t>;

    // ECB accepts 8-, 16- and 24-byte keys. Each clears out first; false only for a refused key
    // length (or a failure of the cipher library), out is then empty.
    static bool encryptECB(const Bytes& key, const Bytes& data, Bytes& out);
    static bool encryptECB(const Bytes& key, const std::string& data, Bytes& out);
    static bool decryptECB(const Bytes& key, const Bytes& data, Bytes& out);
    static bool decryptECB(const Bytes& key, const Bytes& data, std::string& out);

    // CBC accepts 16- and 24-byte keys. A given iv is first brought to exactly 8 bytes (cut, or
    // extended with zeros) and used as the starting chaining value; on success it receives the last
    // ciphertext block, so two calls with the same iv continue one chain. Without iv the chain
    // starts from zeros.
    static bool encryptCBC(const Bytes& key, const Bytes& data, Bytes& out, Bytes* iv = nullptr);
    static bool decryptCBC(const Bytes& key, const Bytes& data, Bytes& out, Bytes* iv = nullptr);
};
