#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "core/String.h"
#include "core/TDES.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text)
{
    return String::fromHex(text);
}

Bytes randomBytes(std::mt19937& rng, size_t n)
{
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

Bytes join(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Runs the openssl command line on input (through a temporary file) and returns what it printed.
// No shell is involved: the arguments go to execvp as they are.
Bytes openssl(const std::vector<std::string>& args, const Bytes& input)
{
    char path[] = "/tmp/tdes-test-XXXXXX";
    const int in = mkstemp(path);
    if (in < 0)
        throw std::runtime_error("mkstemp failed");
    unlink(path);
    if (!input.empty() && write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        throw std::runtime_error("write failed");
    lseek(in, 0, SEEK_SET);

    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("openssl"));
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp("openssl", argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    close(in);
    Bytes output;
    uint8_t buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) output.insert(output.end(), buffer, buffer + n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("openssl failed");
    return output;
}

Bytes zeroFilled(Bytes data)
{
    data.resize((data.size() + 7) / 8 * 8, 0x00);
    return data;
}

TEST(TDES, PublishedSingleDesAnswersHoldForEveryKeyForm)
{
    // FIPS 46 worked example, FIPS 81 "Now is t", SP 800-20 variable-plaintext first entry.
    const struct
    {
        const char* key;
        const char* plain;
        const char* cipher;
    } cases[] = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
        {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    };
    for (const auto& c : cases) {
        const Bytes k = hex(c.key);
        // Two-key and three-key forms with equal parts fall back to single DES.
        for (const Bytes& key : {k, join(k, k), join(join(k, k), k)}) {
            SCOPED_TRACE(String::toHex(key));
            Bytes out;
            ASSERT_TRUE(TDES::encryptECB(key, hex(c.plain), out));
            EXPECT_EQ(String::toHex(out), c.cipher);
            ASSERT_TRUE(TDES::decryptECB(key, out, out));
            EXPECT_EQ(String::toHex(out), c.plain);
        }
        Bytes viaString;
        const Bytes plain = hex(c.plain);
        ASSERT_TRUE(TDES::encryptECB(k, std::string(plain.begin(), plain.end()), viaString));
        EXPECT_EQ(String::toHex(viaString), c.cipher);
        std::string text;
        ASSERT_TRUE(TDES::decryptECB(k, viaString, text));
        EXPECT_EQ(Bytes(text.begin(), text.end()), plain);
    }
}

// Sub-keys and tags of the TDEA CMAC examples, computed with ECB for the cipher of the zero block and
// CBC for the chain: a wrong key order, key expansion or chaining would change every tag.
TEST(TDES, NistTdeaCmacExamplesAgree)
{
    const auto doc = testsupport::loadVectors("nist_sp800_38b_tdea_cmac.json");
    auto shiftLeft = [](const Bytes& in) {
        Bytes out(8);
        for (size_t i = 0; i < 8; ++i)
            out[i] = static_cast<uint8_t>((in[i] << 1) | (i + 1 < 8 ? in[i + 1] >> 7 : 0));
        if (in[0] & 0x80)
            out[7] ^= 0x1B;
        return out;
    };
    int checked = 0;
    for (const auto& group : doc["groups"]) {
        std::vector<Bytes> keys{hex(group["key"])};
        if (group.contains("key_24_bytes"))
            keys.push_back(hex(group["key_24_bytes"]));
        for (const Bytes& key : keys) {
            SCOPED_TRACE(group["name"].get<std::string>() + " key " + String::toHex(key));
            Bytes l;
            ASSERT_TRUE(TDES::encryptECB(key, Bytes(8, 0), l));
            ASSERT_EQ(l.size(), 8u);
            const Bytes k1 = shiftLeft(l);
            const Bytes k2 = shiftLeft(k1);
            EXPECT_EQ(k1, hex(group["subkey_k1"]));
            EXPECT_EQ(k2, hex(group["subkey_k2"]));
            for (const auto& c : group["cases"]) {
                SCOPED_TRACE(c["name"].get<std::string>());
                Bytes message = hex(c["message"]);
                const bool complete = !message.empty() && message.size() % 8 == 0;
                if (!complete)
                    message.push_back(0x80);
                message.resize((message.size() + 7) / 8 * 8, 0x00);
                const Bytes& sub = complete ? k1 : k2;
                for (size_t i = 0; i < 8; ++i) message[message.size() - 8 + i] ^= sub[i];
                Bytes out;
                Bytes iv;
                ASSERT_TRUE(TDES::encryptCBC(key, message, out, &iv));
                ASSERT_EQ(out.size(), message.size());
                EXPECT_EQ(Bytes(out.end() - 8, out.end()), hex(c["mac"]));
                EXPECT_EQ(iv, hex(c["mac"]));
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 12);
}

// The card's ISO authentication runs one CBC chain over three cryptograms, handed from call to call
// through the iv vector; the published exchanges pin decryption, encryption and the hand-over.
TEST(TDES, DesfireIsoAuthenticationChainsAcrossCalls)
{
    const auto doc = testsupport::loadVectors("desfire_ev1_communication_examples.json");
    int checked = 0;
    for (const auto& auth : doc["authentication"]) {
        const std::string type = auth["key_type"];
        if (type != "2K3DES" && type != "3K3DES")
            continue;
        SCOPED_TRACE(auth["name"].get<std::string>());
        const Bytes key = hex(auth["key"]);
        Bytes iv;
        Bytes rndB;
        ASSERT_TRUE(TDES::decryptCBC(key, hex(auth["rndb_enc"]), rndB, &iv));
        EXPECT_EQ(rndB, hex(auth["rndb"]));
        Bytes token;
        ASSERT_TRUE(TDES::encryptCBC(key, hex(auth["rndab"]), token, &iv));
        EXPECT_EQ(token, hex(auth["rndab_enc"]));
        Bytes rndA;
        ASSERT_TRUE(TDES::decryptCBC(key, hex(auth["rnda_enc"]), rndA, &iv));
        EXPECT_EQ(rndA, hex(auth["rnda_dec"]));
        const Bytes lastCryptogram = hex(auth["rnda_enc"]);
        EXPECT_EQ(iv, Bytes(lastCryptogram.end() - 8, lastCryptogram.end()));
        ++checked;
    }
    EXPECT_EQ(checked, 2);
}

TEST(TDES, AgreesWithOpensslCommandLineOnRandomData)
{
    std::mt19937 rng(7);
    for (const std::string cipher : {"-des-ede", "-des-ede3", "-des-ede-cbc", "-des-ede3-cbc"}) {
        const bool cbc = cipher.find("cbc") != std::string::npos;
        const Bytes key = randomBytes(rng, cipher.find("ede3") != std::string::npos ? 24 : 16);
        for (size_t length : {8u, 24u, 2048u, 21u}) {
            SCOPED_TRACE(cipher + " length " + std::to_string(length));
            const Bytes startIv = randomBytes(rng, 8);
            const Bytes data = randomBytes(rng, length);
            std::vector<std::string> args{"enc", cipher, "-nopad", "-K", String::toHex(key)};
            if (cbc)
                args.insert(args.end(), {"-iv", String::toHex(startIv)});
            const Bytes expected = openssl(args, zeroFilled(data));
            args.insert(args.begin() + 1, "-d");
            const Bytes plain = openssl(args, expected);

            Bytes iv = startIv, out, back;
            ASSERT_TRUE(cbc ? TDES::encryptCBC(key, data, out, &iv) : TDES::encryptECB(key, data, out));
            EXPECT_EQ(out, expected);
            iv = startIv;
            ASSERT_TRUE(cbc ? TDES::decryptCBC(key, expected, back, &iv)
                            : TDES::decryptECB(key, expected, back));
            EXPECT_EQ(back, plain);
            if (cbc) {  // the chain is handed back as the last ciphertext block
                EXPECT_EQ(iv, Bytes(expected.end() - 8, expected.end()));
            }
        }
    }
}

TEST(TDES, SplitCbcCallsEqualOneCall)
{
    std::mt19937 rng(99);
    for (size_t keyLength : {16u, 24u}) {
        const Bytes key = randomBytes(rng, keyLength);
        const Bytes data = randomBytes(rng, 80);
        Bytes whole;
        ASSERT_TRUE(TDES::encryptCBC(key, data, whole));
        for (size_t cut : {8u, 16u, 40u, 72u}) {
            SCOPED_TRACE(cut);
            Bytes iv;
            Bytes first, second;
            ASSERT_TRUE(TDES::encryptCBC(key, Bytes(data.begin(), data.begin() + cut), first, &iv));
            ASSERT_TRUE(TDES::encryptCBC(key, Bytes(data.begin() + cut, data.end()), second, &iv));
            EXPECT_EQ(join(first, second), whole);

            iv.clear();
            ASSERT_TRUE(TDES::decryptCBC(key, Bytes(whole.begin(), whole.begin() + cut), first, &iv));
            ASSERT_TRUE(TDES::decryptCBC(key, Bytes(whole.begin() + cut, whole.end()), second, &iv));
            EXPECT_EQ(join(first, second), data);
        }
    }
}

TEST(TDES, ShortLastBlockIsZeroFilledAndTrimmedOnDecryption)
{
    const Bytes key = hex("0123456789ABCDEFFEDCBA9876543210");
    const Bytes nine = hex("112233445566778899");
    Bytes cipher;
    ASSERT_TRUE(TDES::encryptECB(key, nine, cipher));
    ASSERT_EQ(cipher.size(), 16u);
    Bytes plain;
    ASSERT_TRUE(TDES::decryptECB(key, cipher, plain));
    EXPECT_EQ(plain, hex("11223344556677889900000000000000"));

    // 12 bytes: one full block, then the first four bytes of the zero-filled second block.
    const Bytes twelve = hex("0102030405060708A1A2A3A4");
    ASSERT_TRUE(TDES::decryptECB(key, twelve, plain));
    Bytes first, second;
    ASSERT_TRUE(TDES::decryptECB(key, hex("0102030405060708"), first));
    ASSERT_TRUE(TDES::decryptECB(key, hex("A1A2A3A400000000"), second));
    ASSERT_EQ(second.size(), 8u);
    EXPECT_EQ(plain, join(first, Bytes(second.begin(), second.begin() + 4)));

    // CBC on a short tail chains from the zero-filled ciphertext block.
    Bytes iv;
    ASSERT_TRUE(TDES::decryptCBC(key, twelve, plain, &iv));
    EXPECT_EQ(plain.size(), 12u);
    EXPECT_EQ(iv, hex("A1A2A3A400000000"));
}

TEST(TDES, KeyLengthsAndIvNormalisation)
{
    for (size_t length : {0u, 7u, 9u, 15u, 17u, 23u, 25u, 32u}) {
        SCOPED_TRACE(length);
        Bytes out{1, 2, 3};
        EXPECT_FALSE(TDES::encryptECB(Bytes(length, 0x11), Bytes(8, 0), out));
        EXPECT_TRUE(out.empty());
        out = {1};
        EXPECT_FALSE(TDES::decryptECB(Bytes(length, 0x11), Bytes(8, 0), out));
        EXPECT_TRUE(out.empty());
    }
    // CBC refuses single DES, after the iv has been brought to 8 bytes.
    Bytes out{1};
    Bytes iv{0xAA, 0xBB, 0xCC};
    EXPECT_FALSE(TDES::encryptCBC(Bytes(8, 0x11), Bytes(8, 0), out, &iv));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(iv, hex("AABBCC0000000000"));
    iv = hex("00112233445566778899");
    EXPECT_FALSE(TDES::decryptCBC(Bytes(8, 0x11), Bytes(8, 0), out, &iv));
    EXPECT_EQ(iv, hex("0011223344556677"));

    const Bytes key = hex("00112233445566778899AABBCCDDEEFF0123456789ABCDEF");
    const Bytes block = hex("DEADBEEF01020304");
    Bytes ecb, cbc, viaShort, viaPadded;
    ASSERT_TRUE(TDES::encryptECB(key, block, ecb));
    ASSERT_TRUE(TDES::encryptCBC(key, block, cbc));
    EXPECT_EQ(cbc, ecb);
    Bytes shortIv{0xAA, 0xBB, 0xCC};
    Bytes padded = hex("AABBCC0000000000");
    ASSERT_TRUE(TDES::encryptCBC(key, block, viaShort, &shortIv));
    ASSERT_TRUE(TDES::encryptCBC(key, block, viaPadded, &padded));
    EXPECT_EQ(viaShort, viaPadded);

    // Nothing to encrypt: success, no output, the chaining value stays where it was.
    iv = hex("0102030405060708");
    EXPECT_TRUE(TDES::encryptCBC(key, Bytes{}, out, &iv));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(iv, hex("0102030405060708"));
}

TEST(TDES, InPlaceCallsSeeTheirInput)
{
    const Bytes key = hex("0123456789ABCDEFFEDCBA9876543210");
    const Bytes data = hex("000102030405060708090A0B0C0D0E0F1011");
    Bytes expected;
    ASSERT_TRUE(TDES::encryptCBC(key, data, expected));
    Bytes buffer = data;
    ASSERT_TRUE(TDES::encryptCBC(key, buffer, buffer));
    EXPECT_EQ(buffer, expected);
    ASSERT_TRUE(TDES::decryptCBC(key, buffer, buffer));
    EXPECT_EQ(buffer, zeroFilled(data));
}

}  // namespace
