// Byte codecs for the fixed-width fields of card files and reader frames: each writes or reads
// at an iterator that it advances past the field. The caller owns the vector and sizes it first:
// nothing here checks bounds or grows the vector. Stateless; any thread may call.
#pragma once

#include <cstdint>
#include <iterator>
#include <vector>

namespace CardUtils {

// Iterators are templates so that both a vector's iterator and its const_iterator can be read.

// Four bytes, most significant first.
template <typename It>
uint32_t popReverseLong(It& it)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | static_cast<uint8_t>(*it++);
    return value;
}

template <typename It>
std::vector<uint8_t> popVector(It& it, unsigned n)
{
    std::vector<uint8_t> out(it, std::next(it, n));
    std::advance(it, n);
    return out;
}

template <typename It>
void pushByte(It& it, uint8_t value)
{
    *it++ = value;
}

// Four bytes, most significant first.
template <typename It>
void pushReverseLong(It& it, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) *it++ = static_cast<uint8_t>(value >> shift);
}

template <typename It>
void pushVector(It& it, const std::vector<uint8_t>& v)
{
    for (uint8_t b : v) *it++ = b;
}

}  // namespace CardUtils
