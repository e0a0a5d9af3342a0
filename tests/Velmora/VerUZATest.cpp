// VerUZA sealed tickets end to end: the layout reader over NFC::Reader, the real Elatec driver
// and a pseudo-terminal to the emulated reader, an Ultralight EV1 model in its field and the
// computing LG SAM model in slot 0; seals made with OpenSSL, key files in a temporary directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "LGTicketField.h"
#include "SealKey.h"
#include "StderrCapture.h"
#include "Velmora/CardReaderFactory.h"
#include "Velmora/Cards/VerUZA/VerUZACardReader.h"
#include "core/Base64.h"
#include "core/Log.h"
#include "core/String.h"
#include "emulators/ByteOps.h"

namespace {

using emulators::Bytes;
using emulators::operator+;
using Reader = VerUZA::CardReader;
namespace fs = std::filesystem;

class VerUZATest : public ::testing::Test, public testsupport::LGTicketField
{
protected:
    VerUZATest()
    {
        model->setPasswordLength(20);
        dir = fs::path(::testing::TempDir()) / ("veruza-" + std::to_string(::getpid()));
        fs::create_directories(dir / "a");
        fs::create_directories(dir / "b");
        Reader::setKeyDirectories({(dir / "a").string(), (dir / "b").string()});
    }
    ~VerUZATest() override { fs::remove_all(dir); }

    std::shared_ptr<Reader> reader(bool withSam = true)
    {
        return std::dynamic_pointer_cast<Reader>(RFID::CardReaderFactory::createFromTemplateName(
            "VerUZA", search(), withSam ? RFID::SamList{lgsam} : RFID::SamList{}));
    }
    void keyFile(const char* sub, const std::string& text)
    {
        testsupport::SealKey::writeFile((dir / sub / Reader::KeyFileName).string(), text);
    }
    Bytes password(uint8_t keySet) const
    {
        return model->passwordAnswer(0x23, 1, keySet, Bytes{0xF8} + ev1->identity().uid);
    }
    Bytes record() const { return memory(4, 29); }
    Bytes sealed(std::mt19937& random, const testsupport::SealKey& key) const
    {
        Bytes data(58);
        for (auto& b : data) b = static_cast<uint8_t>(random());
        return data + key.seal(data);
    }
    static VariantMap raw(const Bytes& bytes) { return rawText(Base64::encodeV(bytes)); }
    static VariantMap rawText(const std::string& text)
    {
        VariantMap map;
        map["raw"] = text;
        return map;
    }
    // PWD and PACK as the card takes them from a password answer.
    void protect(const Bytes& pw, uint8_t auth0)
    {
        ev1->protect(uint32_t(pw[0]) << 24 | uint32_t(pw[1]) << 16 | uint32_t(pw[2]) << 8 | pw[3],
                     static_cast<uint16_t>(pw[14] << 8 | pw[15]), auth0);
    }

    fs::path dir;
};

TEST_F(VerUZATest, CreateZeroesTheRecordAndProtectsOnlyABlankCardWithTheSam)
{
    const Bytes pw = password(1);
    const Snapshot start = save();
    struct Row
    {
        const char* name;
        uint8_t auth0;
        bool sam;
        size_t pwdAuths;
        bool configured;
    };
    const Row rows[] = {{"blank, SAM", 0xFF, true, 1, true},
                        {"blank, no SAM", 0xFF, false, 0, false},
                        {"protected from 4", 4, true, 2, false},
                        {"protected beyond the card", 0x30, true, 0, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        restore(start);
        for (int p = 4; p <= 32; ++p) ev1->setPage(p, Bytes(4, 0xAA));
        if (row.auth0 != 0xFF)
            protect(pw, row.auth0);
        const Bytes config = memory(37, 4);
        auto r = reader(row.sam);
        auto created = r->create(true);
        ASSERT_NE(created, nullptr) << r->error().text();
        EXPECT_EQ(cardCommands(0x1B), row.pwdAuths);
        EXPECT_EQ(record(), Bytes(116, 0));
        const Bytes protecting = {0, 0, 0, 4, 0, 5, 0, 0, pw[0], pw[1], pw[2], pw[3], pw[14], pw[15], 0, 0};
        EXPECT_EQ(memory(37, 4), row.configured ? protecting : config);
        EXPECT_EQ(created->data()["raw"].toString(), Base64::encodeV(Bytes(114, 0)));
        EXPECT_EQ(created->data()["ticket/seal_dsa_s"].toString(), std::string(56, '0'));
        auto again = reader(row.sam)->read(0, 0);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->data(), created->data());
    }
}

TEST_F(VerUZATest, OnlyRecordsWhoseSealVerifiesAreWrittenAndRead)
{
    std::mt19937 random(7);
    testsupport::SealKey key, other;
    const Bytes good = sealed(random, key), second = sealed(random, key);
    VariantMap decoded = reader()->decodeData(good);
    auto flipped = [&](size_t at) {
        Bytes b = good;
        b[at] ^= 0x08;
        return raw(b);
    };
    const std::string invalid = "verifySignature: Signature verification failed: invalid signature";
    const std::string size = "encodeData: Invalid record size";
    VariantMap typed;  // the decoded map without "raw", keys given in other forms
    for (const auto& k : decoded.keys())
        if (k != "raw")
            typed[k] = decoded[k];
    typed["ticket/seal_dsa_r"] = String::toLower(typed["ticket/seal_dsa_r"].toString());
    VariantMap shortR = typed, longS = typed, noTcn;
    shortR["ticket/seal_dsa_r"] = decoded["ticket/seal_dsa_r"].toString().substr(2);
    longS["ticket/seal_dsa_s"] = decoded["ticket/seal_dsa_s"].toString() + "00";
    struct Row
    {
        const char* name;
        std::string a, b;
        VariantMap map;
        std::string error;
    };
    const std::string pub = key.publicText(false), wrapped = key.publicText(true);
    const std::vector<Row> rows = {
        {"sealed map", pub, "", typed, ""},
        {"raw only, wrapped key", wrapped, "", raw(second), ""},
        {"all zero", pub, "", raw(Bytes(114, 0)), ""},
        {"one byte set", pub, "", raw(Bytes(5, 0) + Bytes(1, 1) + Bytes(108, 0)), invalid},
        {"data bit", pub, "", flipped(20), invalid},
        {"r bit", pub, "", flipped(60), invalid},
        {"s bit", pub, "", flipped(113), invalid},
        {"raw of 113", pub, "", raw(Bytes(good.begin(), good.end() - 1)), size},
        {"raw of 115", pub, "", raw(good + Bytes{0}), size},
        {"r of 27 bytes", pub, "", shortR, size},
        {"s of 29 bytes", pub, "", longS, size},
        {"raw not Base64", pub, "", rawText("AB-C"),
         "encodeData: Data contains characters not legal in a base64 encoded string."},
        {"ticket key missing", pub, "", noTcn, "encodeData: Key not found: ticket/version"},
        {"no key file", "", "", flipped(20), ""},
        {"garbage key file", "!!not a key", "", raw(good),
         "verifySignature: Signature verification failed: Data contains characters not legal in a base64 "
         "encoded string."},
        {"not an EC key", "AAAA", "", raw(good), invalid},
        {"first directory wins", other.publicText(false), pub, raw(good), invalid},
        {"first directory wins, good", pub, other.publicText(false), raw(good), ""},
    };
    Log::open("tapgate-test", true, false);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(dir / "a" / Reader::KeyFileName);
        fs::remove(dir / "b" / Reader::KeyFileName);
        if (!row.a.empty())
            keyFile("a", row.a);
        if (!row.b.empty())
            keyFile("b", row.b);
        for (int p = 4; p <= 32; ++p) ev1->setPage(p, Bytes(4, 0));
        const Bytes before = record();
        testsupport::StderrCapture capture;
        auto r = reader();
        auto written = r->write(row.map);
        const std::string log = capture.text();
        EXPECT_EQ(r->error().text(), row.error);
        if (!row.error.empty()) {
            EXPECT_EQ(written, nullptr);
            EXPECT_EQ(record(), before);
            continue;
        }
        ASSERT_NE(written, nullptr);
        const Bytes bytes = row.map.exists("raw") ? Base64::decodeV(row.map["raw"].toString()) : good;
        EXPECT_EQ(written->data(), row.map);
        EXPECT_EQ(record(), bytes + Bytes(2, 0));
        EXPECT_EQ(row.a.empty(),
                  log.find("Signature verification skipped: public key is missing") != std::string::npos);
        auto read = reader()->read(0, 0);
        ASSERT_NE(read, nullptr);
        EXPECT_EQ(read->data(), r->decodeData(bytes));
    }
    Log::open("tapgate-test", false, false);
}

TEST_F(VerUZATest, RecordFieldsSitAtTheirBitsAndRoundTrip)
{
    struct Field
    {
        const char* key;
        unsigned offset, bits;
    };
    const Field fields[] = {{"version", 0, 4},
                            {"issuer_rics", 4, 14},
                            {"key_id", 18, 4},
                            {"ticket_type", 22, 5},
                            {"number_of_adults", 27, 7},
                            {"number_of_children", 34, 7},
                            {"specimen", 41, 1},
                            {"class_index", 42, 6},
                            {"tcn", 48, 84},
                            {"issue_year_last_digit", 132, 4},
                            {"issue_day", 136, 9},
                            {"sub_ticket_type", 145, 2},
                            {"station_alpha_encoding", 147, 1},
                            {"station_code_table", 148, 4},
                            {"from_station", 152, 28},
                            {"to_station", 180, 28},
                            {"departure_date", 208, 9},
                            {"departure_time", 217, 11},
                            {"train_number", 228, 30},
                            {"coach_number", 258, 10},
                            {"seat_number", 268, 18},
                            {"overbooked", 286, 1},
                            {"info_code", 287, 14},
                            {"open_text", 301, 162},
                            {"padding", 463, 1},
                            {"seal_dsa_r", 464, 224},
                            {"seal_dsa_s", 688, 224}};
    auto r = reader();
    VariantMap zero = r->decodeData(Bytes(114, 0));
    VariantMap none;
    for (const auto& k : zero.keys())
        if (k != "raw")
            none[k] = zero[k];
    for (const Field& f : fields) {
        SCOPED_TRACE(f.key);
        VariantMap map = none;
        const std::string key = std::string("ticket/") + f.key;
        const bool text = zero[key].toString().empty();
        map[key] = f.bits >= 224 ? std::string(56, 'F')
                   : text        ? std::string(f.bits / 6, '_')
                   : f.bits == 1 ? "1"
                                 : "0xFFFFFFFF";
        const Bytes bytes = r->encodeData(map);
        ASSERT_EQ(bytes.size(), 114u) << r->error().text();
        for (unsigned bit = 0; bit < 912; ++bit)
            ASSERT_EQ(bytes[bit / 8] >> (7 - bit % 8) & 1, bit >= f.offset && bit < f.offset + f.bits ? 1 : 0)
                << bit;
    }
    struct Value
    {
        const char* key;
        std::string in, out;
    };
    const Value values[] = {{"issue_day", "600", "88"},       {"specimen", "yes", "true"},
                            {"specimen", "2", "false"},       {"tcn", "abc123", "   123"},
                            {"seat_number", "A\x01~Z9", "A"}, {"train_number", "0x10", "0 10"}};
    for (const Value& v : values) {
        SCOPED_TRACE(v.in);
        VariantMap map = none;
        map[std::string("ticket/") + v.key] = v.in;
        EXPECT_EQ(r->decodeData(r->encodeData(map))[std::string("ticket/") + v.key].toString(), v.out);
    }
    // The seal check refuses a record one byte short before it looks for a key.
    EXPECT_FALSE(r->verifySignature(Bytes(113, 0)));
    EXPECT_EQ(r->error().text(), "verifySignature: Invalid record size");
    EXPECT_TRUE(r->verifySignature(Bytes(114, 0)));
    std::mt19937 random(1);
    for (int i = 0; i < 200; ++i) {
        Bytes bytes(114);
        for (auto& b : bytes) b = static_cast<uint8_t>(random());
        VariantMap map = r->decodeData(bytes);
        EXPECT_EQ(map["raw"].toString(), Base64::encodeV(bytes));
        for (const auto& k : map.keys())
            if (k != "raw")
                none[k] = map[k];
        ASSERT_EQ(r->encodeData(none), bytes) << i;
    }
}

TEST_F(VerUZATest, PasswordComesFromTheSamWithTheIssuerKeySet)
{
    struct Row
    {
        Bytes versions;
        size_t length;
        uint8_t auth0;
        uint8_t keySet;
        std::string error;
        size_t pwdAuths;
    };
    const Row rows[] = {{{2, 1}, 20, 4, 1, "", 1},
                        {{2}, 16, 4, 0, "", 1},
                        {{1}, 15, 4, 1, "generatePassword: Invalid password size", 0},
                        {{1}, 16, 0x10, 1, "", 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.length);
        model->setIssuerKeyVersions(row.versions);
        model->setPasswordLength(std::max<size_t>(row.length, 16));
        protect(password(row.keySet), row.auth0);
        model->setPasswordLength(row.length);
        auto r = reader();
        EXPECT_EQ(r->issuerKeyVersion(), row.keySet);
        EXPECT_EQ(r->read(0, 0) != nullptr, row.error.empty());
        EXPECT_EQ(r->error().text(), row.error);
        EXPECT_EQ(cardCommands(0x1B), row.pwdAuths);
        for (const Bytes& c : model->commands())
            if (c[1] == 0xE4) {
                EXPECT_EQ(c[6], row.keySet);
            }
    }
}

}  // namespace
