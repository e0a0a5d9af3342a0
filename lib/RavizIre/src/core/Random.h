// Random bytes from OpenSSL's generator, eight at a time in the form of a DES key
// (odd parity, never a weak or semi-weak key). Static; any thread may call.
#pragma once

#include <cstdint>
#include <vector>

class Random
{
public:
    // Appends exactly 8 random bytes. Throws std::runtime_error when the random source fails,
    // so a caller never goes on with an unfilled buffer.
    static void generate(std::vector<uint8_t>& bytes);
};
