// Small byte-vector operations the card and SAM emulators share: cutting, joining, XOR, zero
// padding and little-endian numbers. Emulator code only, never the code under test; callers check
// that the ranges they cut lie inside the vector. Stateless; any thread may call.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace emulators {

using Bytes = std::vector<uint8_t>;

inline Bytes slice(const Bytes& v, size_t from, size_t n)
{
    return Bytes(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n));
}

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// a XOR b over a's length; bytes of a beyond b stay as they are.
inline Bytes xorOf(const Bytes& a, const Bytes& b)
{
    Bytes out(a);
    for (size_t i = 0; i < out.size() && i < b.size(); ++i) out[i] ^= b[i];
    return out;
}

inline void padZeros(Bytes& v, size_t block)
{
    while (v.size() % block != 0) v.push_back(0x00);
}

inline void appendLe(Bytes& v, uint32_t value, size_t n)
{
    for (size_t i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline uint32_t le(const Bytes& v, size_t pos, size_t n)
{
    uint32_t out = 0;
    for (size_t i = 0; i < n; ++i) out |= static_cast<uint32_t>(v[pos + i]) << (8 * i);
    return out;
}

// A two-key Triple-DES key whose halves are equal: single DES.
inline bool singleDes(const Bytes& key)
{
    return key.size() >= 16 && std::equal(key.begin(), key.begin() + 8, key.begin() + 8);
}

}  // namespace emulators
