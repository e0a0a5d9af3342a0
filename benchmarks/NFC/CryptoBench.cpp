// Per-call cost of the card-session primitives next to the bare OpenSSL EVP calls doing the same
// work in the same process; after the usual table it prints wrapper/raw ratios.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
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
    void run(const Bytes& key, const uint8_t* iv, const Bytes& data, uint8_t* out)
    {
        int written = 0;
        EVP_CipherInit_ex2(ctx, nullptr, key.data(), iv, 1, nullptr);
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

// Prints the usual table and keeps each run's time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                m_times[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
    }

    void printRatios() const
    {
        std::printf("\nwrapper / raw EVP (per call, CPU time):\n");
        for (const auto& entry : m_times) {
            const std::string& name = entry.first;
            const auto cut = name.rfind("_Wrapper");
            if (cut == std::string::npos)
                continue;
            const auto raw = m_times.find(name.substr(0, cut) + "_Raw");
            if (raw != m_times.end() && raw->second > 0)
                std::printf("  %-12s %.2fx\n", name.substr(0, cut).c_str(), entry.second / raw->second);
        }
    }

private:
    std::map<std::string, double> m_times;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
