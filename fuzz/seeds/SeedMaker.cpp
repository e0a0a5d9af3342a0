// Writes the seed corpus of every fuzz target under the directory given (fuzz/corpus): the NFC
// targets' seeds are the answers of the emulated reader, cards and SAMs to the very scenario each
// target runs, recorded through the real Elatec driver; the others are answers, texts and vectors
// that the tests use. Run by hand after a scenario changes: fuzz_seeds fuzz/corpus
// Every run writes the same bytes: the random numbers of both sides (the host's challenges and the
// emulated cards' and SAMs' nonces) come from a fixed stream, so the committed seeds change only
// when a scenario or a peer does.

// OpenSSL 3 deprecates replacing the generator's method, but it is the one switch that reaches
// every caller in the process, the library's own key and nonce draws included.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/rand.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "NFC/ISO14443.h"
#include "NFC/Protocols/DESFire.h"
#include "core/Log.h"
#include "drivers/ElatecTWN/Driver.h"
#include "emulators/CardCrypto.h"
#include "emulators/DesfireCard.h"
#include "emulators/ElatecReader.h"
#include "emulators/LGSamResponder.h"
#include "emulators/MifareSam.h"
#include "emulators/UltralightC.h"
#include "emulators/UltralightEV1.h"
#include "scenarios/Scenarios.h"
#include "scenarios/UltralightReaders.h"
#include "support/FuzzDriver.h"
#include "support/RecordingDriver.h"

namespace {

using emulators::Bytes;
using emulators::ElatecReader;
using emulators::MifareSam;

std::filesystem::path g_root;
int g_written = 0;

// A fixed stream of bytes for every random draw of the run (xorshift64*, one seed): the seeds are
// recordings, not keys, and the emulator's thread and the host draw in the protocol's own order.
std::mutex g_randomMutex;
uint64_t g_randomState = 0x9E3779B97F4A7C15ull;

int fixedRandomBytes(unsigned char* out, int count)
{
    std::lock_guard<std::mutex> lock(g_randomMutex);
    for (int i = 0; i < count; ++i) {
        g_randomState ^= g_randomState >> 12;
        g_randomState ^= g_randomState << 25;
        g_randomState ^= g_randomState >> 27;
        out[i] = static_cast<unsigned char>((g_randomState * 0x2545F4914F6CDD1Dull) >> 56);
    }
    return 1;
}

int fixedRandomStatus()
{
    return 1;
}

const RAND_METHOD FixedRandom = {nullptr, fixedRandomBytes, nullptr,
                                 nullptr, fixedRandomBytes, fixedRandomStatus};

void writeSeed(const std::string& target, const std::string& name, const Bytes& bytes)
{
    const std::filesystem::path dir = g_root / target;
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ++g_written;
}

void writeSeed(const std::string& target, const std::string& name, const std::string& text)
{
    writeSeed(target, name, Bytes(text.begin(), text.end()));
}

// A T=0 SAM for the LG runs: a command with data is answered 0x61xx with the length the LG SAM
// gives for that instruction (or plain 0x9000 where it sends nothing back), GET RESPONSE and a
// command without data get as many bytes as they ask for.
class LgSeedSam : public emulators::SlotCard
{
public:
    std::optional<Bytes> powerOn() override { return emulators::LGSamResponder::Atr; }
    std::optional<Response> apdu(const Apdu&) override { return Response{{}, 0x6D00}; }
    std::optional<Response> tpdu(const Bytes& header, const Bytes& data) override
    {
        const uint8_t ins = header.at(1);
        const size_t asked = header.at(4) == 0 ? 256 : header.at(4);
        if (ins == 0xC0 || data.empty())
            return Response{filler(asked), 0x9000};
        const size_t length = pending(ins, data.size());
        if (length == 0)
            return Response{{}, 0x9000};
        return Response{{}, static_cast<uint16_t>(0x6100 | (length & 0xFF))};
    }

private:
    static Bytes filler(size_t size)
    {
        Bytes out(size);
        for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(0x30 + i);
        return out;
    }
    static size_t pending(uint8_t ins, size_t sent)
    {
        switch (ins) {
            case 0xA4:
                return 81;
            case 0x78:
                return 1;
            case 0x0A:
            case 0x52:
                return sent > 10 ? 2 * (sent - 10) : 0;
            case 0x54:
                return 0x34;
            case 0xE2:
            case 0x7C:
                return 8;
            case 0x18:
                return 44;
            case 0xE4:
            case 0xFC:
                return 16;
            case 0x7E:
                return 2;
            case 0xFA:
            case 0xF4:
                return 12;
            case 0xF6:
                return 0x3C;
            case 0x26:
            case 0x72:
            case 0x2C:
                return 4;
            case 0x36:
            case 0xB6:
                return 67;
            default:
                return 0;
        }
    }
};

Bytes offlineKey()
{
    return Bytes(16, 0x2B);
}

std::shared_ptr<MifareSam> mifareSam()
{
    auto sam = std::make_shared<MifareSam>(MifareSam::Generation::AV3);
    sam->setKeyEntry(fuzzing::HostEntry,
                     MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::Host, fuzzing::hostKey()));
    sam->setKeyEntry(
        fuzzing::Av1HostEntry,
        MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Host, fuzzing::av1HostKey()));
    sam->setKeyEntry(fuzzing::PiccEntry, MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Picc,
                                                                   fuzzing::cardKey()));
    sam->setKeyEntry(fuzzing::ZeroEntry,
                     MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Picc, Bytes(16, 0x00)));
    sam->setKeyEntry(fuzzing::OfflineEntry,
                     MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::OfflineCrypto, offlineKey()));
    return sam;
}

// One scenario against the emulated reader as set up, its answers kept as the seed.
void record(const std::string& target, const std::string& name, ElatecReader& reader,
            const std::function<void(const std::shared_ptr<NFC::Driver>&)>& scenario, bool search)
{
    reader.setRecording(false);
    auto real = std::make_shared<ElatecTWN::Driver>();
    if (!real->open(reader.devicePath(), 115200, nullptr)) {
        std::fprintf(stderr, "%s/%s: the emulated reader did not open\n", target.c_str(), name.c_str());
        return;
    }
    if (search) {
        int type = 0;
        Bytes uid, ats;
        real->searchTag(type, uid, ats, 1000);
    }
    auto recorder = std::make_shared<fuzzing::RecordingDriver>(real);
    scenario(recorder);
    writeSeed(target, name, recorder->answers());
    real->close();
}

// The framework's Ultralight run on each chip, with a SAM that holds the Ultralight C factory key.
void ultralightReaderSeeds()
{
    for (const bool ev1 : {true, false}) {
        ElatecReader reader;
        if (ev1)
            reader.setCard(std::make_shared<emulators::UltralightEV1>());
        else
            reader.setCard(std::make_shared<emulators::UltralightC>());
        auto sam = std::make_shared<MifareSam>();
        sam->setKeyEntry(fuzzing::UltralightCEntry,
                         MifareSam::KeyEntry::make(MifareSam::Iso10116, MifareSam::Picc,
                                                   RFID::UltralightCCardReader::DefaultKey));
        sam->setUnlockedFromPowerOn(true);
        reader.setSam(0, sam);
        record("UltralightReaders", ev1 ? "ev1" : "ultralight-c", reader, fuzzing::runUltralightReaders,
               true);
    }
}

void nfcSeeds()
{
    {
        ElatecReader reader;
        reader.setSam(0, mifareSam());
        record("MifareSam", "emulated-av3", reader, fuzzing::runMifareSam, false);
    }
    {
        ElatecReader reader;
        reader.setSam(0, std::make_shared<LgSeedSam>());
        record("LGsam", "lengths-as-asked", reader, fuzzing::runLGsam, false);
    }
    {
        ElatecReader reader;
        reader.setCard(std::make_shared<emulators::UltralightEV1>());
        record("Ultralight", "ev1", reader, fuzzing::runUltralight, true);
    }
    {
        ElatecReader reader;
        reader.setCard(std::make_shared<emulators::UltralightC>());
        record("Ultralight", "ultralight-c", reader, fuzzing::runUltralight, true);
    }
    {
        ElatecReader reader;
        auto card = std::make_shared<emulators::DesfireCard>();
        card->setKey(emulators::DesfireCard::PiccAid, 0, fuzzing::cardKey());
        reader.setCard(card);
        reader.setSam(0, mifareSam());
        reader.setSam(1, std::make_shared<LgSeedSam>());
        record("DESFire", "ev1-with-sams", reader, fuzzing::runDESFire, true);
    }
    {
        ElatecReader reader;
        reader.setCard(std::make_shared<emulators::DesfireCard>());
        reader.setSam(0, mifareSam());
        reader.setSam(1, std::make_shared<LgSeedSam>());
        record("Reader", "desfire-and-two-sams", reader, fuzzing::runReader, false);
    }
    {
        // The application and its MAC-mode files are made beforehand, off the record.
        ElatecReader reader;
        auto card = std::make_shared<emulators::DesfireCard>(fuzzing::cardUid());
        reader.setCard(card);
        reader.setSam(0, mifareSam());
        reader.setRecording(false);
        auto real = std::make_shared<ElatecTWN::Driver>();
        if (real->open(reader.devicePath(), 115200, nullptr)) {
            int type = 0;
            Bytes uid, ats;
            real->searchTag(type, uid, ats, 1000);
            NFC::DESFire setup(std::make_shared<NFC::ISO14443>(real), uid, ats);
            NFC::DESFire::KeySettings2 keys;
            keys.numberOfKeys = 2;
            setup.createApplication(fuzzing::CardAid, NFC::DESFire::KeySettings1::unpack(0x0F), keys);
            setup.selectApplication(fuzzing::CardAid);
            setup.createDataFile(1, NFC::DESFire::MACed, 0x0000, 128);
            setup.createBackupFile(2, NFC::DESFire::MACed, 0x0000, 64);
            setup.createLinearRecordFile(3, NFC::DESFire::MACed, 0x0000, 24, 3);
            card->setKey(fuzzing::CardAid, 0, fuzzing::ev2Key());
            card->setKey(fuzzing::CardAid, 1,
                         emulators::cardcrypto::diversifyAes128(offlineKey(), fuzzing::cardUid()));
            real->close();
        }
        record("DESFireEV2", "clear-and-sam-sessions", reader, fuzzing::runDESFireEV2, true);
    }
    {
        ElatecReader reader;
        reader.setCard(std::make_shared<emulators::UltralightEV1>());
        record("Reader", "ultralight-empty-slots", reader, fuzzing::runReader, false);
    }

    // The Elatec reader has no EMV kernel, so its answers are written as a kernel gives them.
    Bytes emv;
    fuzzing::AnswerWriter out(emv);
    out.flags(true);
    out.u16be(0);
    out.u8(3);
    out.text("4761730000000119");
    out.text("2512");
    out.text("9F2608A1B2C3D4E5F60718");
    out.flags(true);
    out.u16be(0);
    out.u8(1);
    out.text("APPROVED");
    writeSeed("EMV", "token-and-approval", emv);
    emv.clear();
    out.flags(true);
    out.u16be(203);
    out.u8(0);
    writeSeed("EMV", "two-cards", emv);
}

Bytes withCrc(Bytes frame)
{
    const uint16_t crc = ElatecReader::crc(frame);
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

Bytes binaryLine(const Bytes& frame)
{
    Bytes out = {static_cast<uint8_t>(frame.size()), static_cast<uint8_t>(frame.size() >> 8)};
    out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

Bytes asciiLine(const Bytes& frame, const std::string& end)
{
    static const char digits[] = "0123456789ABCDEF";
    Bytes out;
    for (uint8_t b : frame) {
        out.push_back(static_cast<uint8_t>(digits[b >> 4]));
        out.push_back(static_cast<uint8_t>(digits[b & 0x0F]));
    }
    out.insert(out.end(), end.begin(), end.end());
    return out;
}

void framerSeeds()
{
    const std::string version = "TWN4/B1.65/X4.06/PRS1.04";
    Bytes versionAnswer = {0x00, 0x01};
    versionAnswer.insert(versionAnswer.end(), version.begin(), version.end());
    const std::vector<std::pair<std::string, Bytes>> answers = {
        {"version", versionAnswer},
        {"search", {0x00, 0x01, 0x80, 0x38, 0x07, 0x04, 0x52, 0x7A, 0x1A, 0x6F, 0x2C, 0x80}},
        {"tdx4", {0x00, 0x01, 0x06, 0x91, 0x00, 0x01, 0x02, 0x03, 0x04}},
        {"status-only", {0x00}},
    };
    // First byte: bit 0 ASCII, bits 1-2 how the bytes are fed (all, one by one, as wanted).
    for (uint8_t style = 0; style < 3; ++style) {
        for (const auto& answer : answers) {
            const std::string suffix = answer.first + "-" + std::to_string(style);
            Bytes binary = {static_cast<uint8_t>(style << 1)};
            for (const Bytes& frame : {answer.second, withCrc(answer.second)}) {
                const Bytes line = binaryLine(frame);
                binary.insert(binary.end(), line.begin(), line.end());
            }
            writeSeed("Framer", "binary-" + suffix, binary);
            Bytes ascii = {static_cast<uint8_t>(style << 1 | 1)};
            for (const Bytes& frame : {answer.second, withCrc(answer.second)}) {
                const Bytes line = asciiLine(frame, style == 1 ? "\r\n" : "\r");
                ascii.insert(ascii.end(), line.begin(), line.end());
            }
            writeSeed("Framer", "ascii-" + suffix, ascii);
        }
    }
    writeSeed("Framer", "ascii-not-hex", std::string("\x01") + "00Z1\r0001\r");
    writeSeed("Framer", "binary-truncated", Bytes{0x00, 0x10, 0x00, 0x00, 0x01});

    for (const auto& answer : answers) {
        for (uint8_t mode = 0; mode < 4; ++mode) {
            const bool crc = mode & 2;
            const Bytes frame = crc ? withCrc(answer.second) : answer.second;
            Bytes seed = {mode};
            const Bytes line = (mode & 1) ? asciiLine(frame, "\r") : binaryLine(frame);
            seed.insert(seed.end(), line.begin(), line.end());
            static const char* names[] = {"binary", "ascii", "binary-crc", "ascii-crc"};
            writeSeed("PRS", std::string(names[mode]) + "-" + answer.first, seed);
        }
    }
}

// Answers for the driver target, one per command as the emulated reader gives them: a length
// byte, the status byte, the data.
void elatecDriverSeeds()
{
    const std::string version = "TWN4/B1.65/X4.06/PRS1.04";
    auto answer = [](Bytes& seed, const Bytes& body) {
        seed.push_back(static_cast<uint8_t>(body.size()));
        seed.insert(seed.end(), body.begin(), body.end());
    };
    Bytes open;
    answer(open, {0x00});  // LEDs on
    answer(open, {0x00});  // LEDs off
    Bytes versionAnswer = {0x00, static_cast<uint8_t>(version.size())};
    versionAnswer.insert(versionAnswer.end(), version.begin(), version.end());
    answer(open, versionAnswer);
    answer(open, {0x00, 0x7E, 0x11, 0x02, 0x03, 0x44, 0x55, 0x66, 0x77});  // device UID
    answer(open, {0x00, 0x01});                                            // USB type
    writeSeed("ElatecDriver", "open", open);

    Bytes session = open;
    answer(session, {0x00});                                                                    // LED toggle
    answer(session, {0x00});                                                                    // beep
    answer(session, {0x00});                                                                    // tag types
    answer(session, {0x00, 0x01, 0x80, 0x38, 0x07, 0x04, 0x52, 0x7A, 0x1A, 0x6F, 0x2C, 0x80});  // search
    answer(session, {0x00, 0x01, 0x06, 0x75, 0x77, 0x81, 0x02, 0x80});                          // ATS
    answer(session, {0x00, 0x01, 0x44, 0x03});                                                  // ATQA
    answer(session, {0x00, 0x01, 0x20});                                                        // SAK
    answer(session, {0x00, 0x00});                                                              // ATQB
    answer(session, {0x00, 0x01});                                                              // presence
    answer(session, {0x00, 0x01, 0x12, 0x04, 0x52, 0x7A, 0x1A, 0x6F, 0x2C, 0x80, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});  // TDX3
    answer(session, {0x00, 0x01, 0x08, 0xAF, 0x04, 0x01, 0x01, 0x01, 0x00, 0x18, 0x05});  // TDX4
    for (int slot = 0; slot < 2; ++slot) {
        answer(session, {0x00, 0x01, 0x01, 0x00, 0x0B, 0x3B, 0xDF, 0x18, 0xFF, 0x81, 0xF1, 0xFE, 0x43, 0x00,
                         0x3F, 0x07});                                // power on
        answer(session, {0x00, 0x00});                                // settings
        answer(session, {0x00, 0x01, 0x04, 0xFF, 0x10, 0x96, 0x79});  // raw PPS
        answer(session, {0x00, 0x01, 0x04, 0x01, 0x02, 0x90, 0x00});  // APDU
        answer(session, {0x00, 0x01, 0x02, 0x90, 0x00});              // APDU with data
        answer(session, {0x00, 0x01, 0x03, 0x01, 0x61, 0x10});        // TPDU
        answer(session, {0x00});                                      // power off
    }
    answer(session, {0x00});  // RF off
    writeSeed("ElatecDriver", "session", session);
}

void textSeeds()
{
    const nlohmann::json vectors = [] {
        std::ifstream in(std::string(TAPGATE_VECTORS_DIR) + "/rfc4648_base64.json");
        return nlohmann::json::parse(in);
    }();
    int n = 0;
    for (const auto& c : vectors.at("cases")) {
        writeSeed("TextCodec", "base64-" + std::to_string(n), c.at("base64").get<std::string>());
        writeSeed("TextCodec", "hex-" + std::to_string(n), c.at("input_hex").get<std::string>());
        ++n;
    }
    writeSeed("TextCodec", "base64-spaced", std::string("Zm9v\nYmFy =="));
    writeSeed("TextCodec", "hex-key", std::string("00112233445566778899aabbccddeeff"));

    writeSeed("Json", "settings",
              std::string(
                  R"({"log":{"payload":true,"level":3},"reader":{"device":"/dev/ttyACM0","baud":115200}})"));
    writeSeed(
        "Json", "card",
        std::string(
            R"({"card":{"uid":"04527A1A6F2C80","files":[{"no":1,"size":256},{"no":2,"value":-500}],"balance":12.5}})"));
    writeSeed(
        "Json", "array-top",
        std::string(R"([1,"two",{"three":3},[4,[5]],null,true,18446744073709551615,-9223372036854775808])"));
    writeSeed("Json", "embedded-object-text",
              std::string(R"({"a":"{\"b\":1}","c":"{not json","d/e":{"0":"x","10":"y"}})"));
    writeSeed("Json", "numeric-keys",
              std::string(R"({"list":{"0":"a","2":"c","65535":"z"},"x":{"_size":3}})"));

    for (const char* number : {"123", "-5", "0x1F", "017", "4294967295", "-2147483649", "1.5e3", "true",
                               " 12", "0x", "9223372036854775808", "nan", "1e400"})
        writeSeed("VariantNumber", std::string("text-") + number, std::string(number));
    writeSeed("VariantNumber", "binary", Bytes{0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0xF0, 0x3F});

    // Initial bytes, then operations: pop 12, pop 6-bit text, pop a buffer, push an int, push self.
    writeSeed("BitBuffer", "page",
              Bytes{0x08, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x01, 0x0C, 0x03,
                    0x04, 0x05, 0x00, 0x13, 0x00, 0x00, 0x00, 0x00, 0x05, 0x07, 0x04});
    writeSeed("BitBuffer", "text",
              Bytes{0x04, 0x41, 0x42, 0x43, 0x44, 0x02, 0x05, 'H', 'E', 'L', 'L', 'O', 0x00, 0x03, 0x05});
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    if (RAND_set_rand_method(&FixedRandom) != 1) {
        std::fprintf(stderr, "%s: cannot fix the random stream\n", argv[0]);
        return 1;
    }
    // With the trace on stderr one can see how far each recorded run got.
    if (std::getenv("TAPGATE_SEED_TRACE")) {
        Log::open("fuzz-seeds", true, false);
        Log::setLevel(Log::LevelDebug);
    }
    nfcSeeds();
    ultralightReaderSeeds();
    framerSeeds();
    elatecDriverSeeds();
    textSeeds();
    std::printf("%d seeds written under %s\n", g_written, g_root.c_str());
    return 0;
}
