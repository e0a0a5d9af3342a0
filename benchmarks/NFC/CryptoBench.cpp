// Per-call cost of the card-session primitives next to the bare OpenSSL EVP calls doing the same
// work in the same process, and each ratio wrapper/raw measured side by side in one run.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "NFC/Common/NFCCrypto.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kAesKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                       0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
const Bytes kTdesKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                        0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

Bytes message(size_t n)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    return bytes;
}

// The raw side keeps its context across calls, as a careful direct user of EVP would.
struct RawMac
{
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    RawMac()
    {
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, const_cast<char*>("AES-128-CBC"), 0),
            OSSL_PARAM_construct_end()};
        EVP_MAC_CTX_set_params(ctx, params);
    }
    ~RawMac()
    {
        EVP_MAC_CTX_free(ctx);
        EVP_MAC_free(mac);
    }
    void run(const Bytes& key, const Bytes& data, uint8_t (&out)[16])
    {
        size_t written = 0;
        EVP_MAC_init(ctx, key.data(), key.size(), nullptr);
        EVP_MAC_update(ctx, data.data(), data.size());
        EVP_MAC_final(ctx, out, &written, sizeof out);
    }
};

struct RawCipher
{
    EVP_CIPHER* cipher;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    explicit RawCipher(const char* name, const Bytes& key) : cipher(EVP_CIPHER_fetch(nullptr, name, nullptr))
    {
        EVP_CipherInit_ex2(ctx, cipher, key.data(), nullptr, 1, nullptr);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
    }
    ~RawCipher()
    {
        EVP_CIPHER_CTX_free(ctx);
        EVP_CIPHER_free(cipher);
    }
    // Re-keyed per call, as a user of EVP who is handed a key with each message runs it; or keyed
    // once in the constructor, as a session under one key can, leaving only the chaining value.
    bool rekey = true;
    void run(const Bytes& key, const uint8_t* iv, const Bytes& data, uint8_t* out)
    {
        int written = 0;
        EVP_CipherInit_ex2(ctx, nullptr, rekey ? key.data() : nullptr, iv, rekey ? 1 : -1, nullptr);
        EVP_CipherUpdate(ctx, out, &written, data.data(), static_cast<int>(data.size()));
    }
};

void Cmac32_Wrapper(benchmark::State& state)
{
    const Bytes data = message(32);
    for (auto _ : state) benchmark::DoNotOptimize(NFC::Crypto::CMAC(data, kAesKey));
}

void Cmac32_Raw(benchmark::State& state)
{
    const Bytes data = message(32);
    RawMac raw;
    uint8_t out[16];
    for (auto _ : state) {
        raw.run(kAesKey, data, out);
        benchmark::DoNotOptimize(out);
    }
}

void MACt_Wrapper(benchmark::State& state)
{
    const Bytes data = message(32);
    for (auto _ : state) benchmark::DoNotOptimize(NFC::Crypto::MACt(data, kAesKey));
}

void MACt_Raw(benchmark::State& state)
{
    const Bytes data = message(32);
    RawMac raw;
    uint8_t out[16];
    uint8_t truncated[8];
    for (auto _ : state) {
        raw.run(kAesKey, data, out);
        for (int i = 0; i < 8; ++i) truncated[i] = out[2 * i + 1];
        benchmark::DoNotOptimize(truncated);
    }
}

void AesCbc32_Wrapper(benchmark::State& state)
{
    const Bytes data = message(32);
    NFC::Crypto session(NFC::Crypto::CBC_AES128, kAesKey);
    for (auto _ : state) benchmark::DoNotOptimize(session.encrypt(data));
}

void AesCbc32_Raw(benchmark::State& state)
{
    const Bytes data = message(32);
    RawCipher raw("AES-128-CBC", kAesKey);
    uint8_t iv[16] = {};
    uint8_t out[32];
    for (auto _ : state) {
        raw.run(kAesKey, iv, data, out);
        std::copy(out + 16, out + 32, iv);
        benchmark::DoNotOptimize(out);
    }
}

void TdesCbc24_Wrapper(benchmark::State& state)
{
    const Bytes data = message(24);
    NFC::Crypto session(NFC::Crypto::CBC_3DES, kTdesKey);
    for (auto _ : state) benchmark::DoNotOptimize(session.encrypt(data));
}

void TdesCbc24_Raw(benchmark::State& state)
{
    const Bytes data = message(24);
    RawCipher raw("DES-EDE-CBC", kTdesKey);
    uint8_t iv[8] = {};
    uint8_t out[24];
    for (auto _ : state) {
        raw.run(kTdesKey, iv, data, out);
        std::copy(out + 16, out + 24, iv);
        benchmark::DoNotOptimize(out);
    }
}

BENCHMARK(Cmac32_Wrapper);
BENCHMARK(Cmac32_Raw);
BENCHMARK(MACt_Wrapper);
BENCHMARK(MACt_Raw);
BENCHMARK(AesCbc32_Wrapper);
BENCHMARK(AesCbc32_Raw);
BENCHMARK(TdesCbc24_Wrapper);
BENCHMARK(TdesCbc24_Raw);

// The ratio itself, taken side by side: batches of wrapper calls and of raw calls alternate within
// one run, so both see the same machine load; the counter is wrapper time over raw time.
template <class Wrapper, class Raw>
void sideBySide(benchmark::State& state, Wrapper wrapper, Raw raw)
{
    constexpr int kBatch = 64;
    using Clock = std::chrono::steady_clock;
    Clock::duration wrapperTime{};
    Clock::duration rawTime{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) wrapper();
        const auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) raw();
        const auto t2 = Clock::now();
        wrapperTime += t1 - t0;
        rawTime += t2 - t1;
    }
    state.counters["wrapper_over_raw"] =
        static_cast<double>(wrapperTime.count()) / static_cast<double>(std::max<Clock::rep>(rawTime.count(), 1));
}

void AesCbc32_SideBySide(benchmark::State& state)
{
    const Bytes data = message(32);
    NFC::Crypto session(NFC::Crypto::CBC_AES128, kAesKey);
    RawCipher raw("AES-128-CBC", kAesKey);
    raw.rekey = state.range(0) != 0;
    uint8_t iv[16] = {};
    uint8_t out[32];
    sideBySide(
        state, [&] { benchmark::DoNotOptimize(session.encrypt(data)); },
        [&] {
            raw.run(kAesKey, iv, data, out);
            std::copy(out + 16, out + 32, iv);
            benchmark::DoNotOptimize(out);
        });
}

void TdesCbc24_SideBySide(benchmark::State& state)
{
    const Bytes data = message(24);
    NFC::Crypto session(NFC::Crypto::CBC_3DES, kTdesKey);
    RawCipher raw("DES-EDE-CBC", kTdesKey);
    raw.rekey = state.range(0) != 0;
    uint8_t iv[8] = {};
    uint8_t out[24];
    sideBySide(
        state, [&] { benchmark::DoNotOptimize(session.encrypt(data)); },
        [&] {
            raw.run(kTdesKey, iv, data, out);
            std::copy(out + 16, out + 24, iv);
            benchmark::DoNotOptimize(out);
        });
}

void Cmac32_SideBySide(benchmark::State& state)
{
    const Bytes data = message(32);
    RawMac raw;
    uint8_t out[16];
    sideBySide(
        state, [&] { benchmark::DoNotOptimize(NFC::Crypto::CMAC(data, kAesKey)); },
        [&] {
            raw.run(kAesKey, data, out);
            benchmark::DoNotOptimize(out);
        });
}

void MACt32_SideBySide(benchmark::State& state)
{
    const Bytes data = message(32);
    RawMac raw;
    uint8_t out[16];
    uint8_t truncated[8];
    sideBySide(
        state, [&] { benchmark::DoNotOptimize(NFC::Crypto::MACt(data, kAesKey)); },
        [&] {
            raw.run(kAesKey, data, out);
            for (int i = 0; i < 8; ++i) truncated[i] = out[2 * i + 1];
            benchmark::DoNotOptimize(truncated);
        });
}

// Argument 1: the raw side re-keys per call; 0: it was keyed once.
BENCHMARK(AesCbc32_SideBySide)->ArgName("raw_rekeys")->Arg(1)->Arg(0);
BENCHMARK(TdesCbc24_SideBySide)->ArgName("raw_rekeys")->Arg(1)->Arg(0);
BENCHMARK(Cmac32_SideBySide);
BENCHMARK(MACt32_SideBySide);

}  // namespace

BENCHMARK_MAIN();
