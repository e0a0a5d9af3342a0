// DES_random_key is the simplest way to draw a key-shaped block; it is deprecated in OpenSSL 3
// but still present, so the warning is silenced at this one place.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "core/Random.h"

#include <openssl/des.h>
#include <openssl/rand.h>

#include <stdexcept>

void Random::generate(std::vector<uint8_t>& bytes)
{
    static const unsigned char seed[8] = {0x5A, 0x17, 0xC3, 0x88, 0x21, 0xE4, 0x6B, 0x90};
    RAND_seed(seed, sizeof seed);
    DES_cblock key;
    if (DES_random_key(&key) != 1)
        throw std::runtime_error("Random source failed");
    bytes.insert(bytes.end(), key, key + sizeof key);
}
