// NFC::DESFire with a MIFARE SAM against the emulated card and SAM, wired straight to a driver that
// hands each frame to the models in-process: no serial line, no reader latency, so the time is the
// protocol code's own (ours and the emulators'). The counters give per operation the card frames
// and SAM APDUs used next to the fewest the protocol allows: 59 data bytes in a card answer frame,
// 60 bytes in a frame to the card, one MAC or cipher APDU per 246-255 bytes.
#include <benchmark/benchmark.h>

#include <memory>

#include "NFC/ISO14443.h"
#include "NFC/ISO7816.h"
#include "NFC/Protocols/DESFire.h"
#include "NFC/Protocols/MifareSAM.h"
#include "emulators/CardCrypto.h"
#include "emulators/DesfireCard.h"
#include "emulators/MifareSam.h"

namespace {

using emulators::Bytes;
using emulators::DesfireCard;
using emulators::MifareSam;
namespace cc = emulators::cardcrypto;

// A reader with nothing between the host and the models; it counts the SAM's APDUs.
class DirectDriver final : public NFC::Driver
{
public:
    DirectDriver(std::shared_ptr<emulators::FieldCard> card, std::shared_ptr<emulators::SlotCard> sam)
        : m_card(std::move(card)), m_sam(std::move(sam))
    {
    }

    size_t apdus = 0;

    bool open(const std::string&, int, std::string*) override { return true; }
    bool close() override { return true; }
    bool isOpen() const override { return true; }
    Info info() const override { return {}; }
    bool status() override { return true; }
    bool reset() override { return true; }
    bool setLEDs(uint8_t) override { return true; }
    bool setScreen(Screen) override { return false; }
    bool beep(uint8_t, uint16_t, uint16_t, uint16_t) override { return true; }
    bool setTagTypes(uint32_t, uint32_t) override { return true; }
    bool enableRF() override { return true; }
    bool disableRF() override { return true; }
    bool searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int) override
    {
        m_card->selected();
        type = NFC::Tag::MifareDESFire;
        uid = m_card->identity().uid;
        ats = m_card->identity().ats;
        return true;
    }
    bool ISO14443_checkPresence() override { return true; }
    bool ISO14443_TDX3(const std::vector<uint8_t>&, std::vector<uint8_t>&) override { return false; }
    bool ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override
    {
        const std::optional<Bytes> answer = m_card->exchange4(tx);
        if (answer)
            rx = *answer;
        return answer.has_value();
    }
    bool ISO14443_getATS(std::vector<uint8_t>&) override { return false; }
    bool ISO14443_getATQA(uint16_t&) override { return false; }
    bool ISO14443_getSAK(uint8_t&) override { return false; }
    bool ISO14443_getATQB(std::vector<uint8_t>&) override { return false; }
    int ISO7816_slots() const override { return 1; }
    int ISO7816_slotState(int) override { return 2; }
    bool ISO7816_powerOn(int, std::vector<uint8_t>* atr) override
    {
        const std::optional<Bytes> answer = m_sam->powerOn();
        if (answer && atr)
            *atr = *answer;
        return answer.has_value();
    }
    bool ISO7816_powerOff(int) override { return true; }
    bool ISO7816_setCommSettings(int, const CommSettings&) override { return true; }
    bool ISO7816_transceive(int, std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override
    {
        rx = tx;
        return true;
    }
    bool ISO7816_exchangeTPDU(int, const TPDUHeader&, const std::vector<uint8_t>*, std::vector<uint8_t>*,
                              int&) override
    {
        return false;
    }
    bool ISO7816_exchangeAPDU(int, const APDUHeader& header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* response, int& sw) override
    {
        ++apdus;
        emulators::SlotCard::Apdu apdu;
        apdu.cla = header.CLA;
        apdu.ins = header.INS;
        apdu.p1 = header.P1;
        apdu.p2 = header.P2;
        apdu.le = header.Le;
        apdu.hasLe = header.hasLe;
        if (data)
            apdu.data = *data;
        const std::optional<emulators::SlotCard::Response> answer = m_sam->apdu(apdu);
        if (!answer)
            return false;
        if (response)
            *response = answer->data;
        sw = answer->sw;
        return true;
    }
    bool updateFirmware(const std::string&, bool&, const std::function<void(int, int, int)>&) override
    {
        return false;
    }
    bool EMV_getToken(std::vector<std::string>&, int&) override { return true; }
    bool EMV_completeTransaction(std::string&, std::vector<std::string>&, int&) override { return true; }
    bool EMV_checkPresence() override { return true; }

private:
    std::shared_ptr<emulators::FieldCard> m_card;
    std::shared_ptr<emulators::SlotCard> m_sam;
};

const Bytes HostKey(16, 0x42);
const Bytes AppMaster = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17,
                         0x28, 0x39, 0x4A, 0x5B, 0x6C, 0x7D, 0x8E, 0x9F};
constexpr uint32_t Aid = 0x010203;
constexpr uint8_t HostEntry = 0;
constexpr uint8_t AppEntry = 10;

struct Bench
{
    Bench()
        : card(std::make_shared<DesfireCard>()),
          sam(std::make_shared<MifareSam>()),
          driver(std::make_shared<DirectDriver>(card, sam))
    {
        sam->setKeyEntry(HostEntry, MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::Host, HostKey));
        sam->setKeyEntry(AppEntry,
                         MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Picc, AppMaster));
        auto samLink = std::make_shared<NFC::ISO7816>(driver, 0);
        Bytes atr;
        samLink->powerOn(&atr);
        client = std::make_shared<NFC::MifareSAM>(samLink, atr);
        int type = 0;
        Bytes uid, ats;
        driver->searchTag(type, uid, ats, 0);
        desfire = std::make_shared<NFC::DESFire>(std::make_shared<NFC::ISO14443>(driver), uid, ats);
        desfire->assignMifareSAM(client);
        NFC::DESFire::KeySettings2 ks2;
        ks2.numberOfKeys = 1;
        ok = client->lockUnlock(HostKey, HostEntry, 0, false, false) == 0 &&
             desfire->createApplication(Aid, NFC::DESFire::KeySettings1::unpack(0x0F), ks2) == 0 &&
             desfire->selectApplication(Aid) == 0;
        if (ok) {
            card->setKey(Aid, 0, cc::diversify(cc::Cipher::TDES, AppMaster, uid));
            ok = authenticate() == 0 &&
                 desfire->createDataFile(1, NFC::DESFire::Enciphered, 0x0000, 256) == 0 &&
                 desfire->writeData(1, 0, Bytes(256, 0x5A), true, true, {}) == 0;
        }
    }

    int authenticate() { return desfire->authenticate(0, AppEntry, 0x01, false, 0); }

    void count(benchmark::State& state, size_t frames, size_t apdus, double framesMin, double apdusMin)
    {
        const double n = static_cast<double>(state.iterations());
        state.counters["card_frames"] = static_cast<double>(card->counters().frames - frames) / n;
        state.counters["card_frames_min"] = framesMin;
        state.counters["sam_apdus"] = static_cast<double>(driver->apdus - apdus) / n;
        state.counters["sam_apdus_min"] = apdusMin;
    }

    std::shared_ptr<DesfireCard> card;
    std::shared_ptr<MifareSam> sam;
    std::shared_ptr<DirectDriver> driver;
    std::shared_ptr<NFC::MifareSAM> client;
    std::shared_ptr<NFC::DESFire> desfire;
    bool ok = false;
};

// Runs op for every iteration and reports what it cost at the card and the SAM.
template <class Op>
void measure(benchmark::State& state, double framesMin, double apdusMin, Op op)
{
    Bench bench;
    if (!bench.ok) {
        state.SkipWithError("set-up failed");
        return;
    }
    const size_t frames = bench.card->counters().frames;
    const size_t apdus = bench.driver->apdus;
    for (auto _ : state) {
        if (op(bench) != 0) {
            state.SkipWithError("operation failed");
            return;
        }
    }
    bench.count(state, frames, apdus, framesMin, apdusMin);
}

void BM_AuthenticateThroughSam(benchmark::State& state)
{
    // Challenge and answer at the card; the SAM's two steps.
    measure(state, 2, 2, [](Bench& bench) { return bench.authenticate(); });
}

void BM_Read256Enciphered(benchmark::State& state)
{
    Bytes out;
    out.reserve(256);
    // 264 cipher bytes (data, CRC, padding) in answer frames of 59; deciphered in pieces of 248.
    measure(state, 5, 2, [&out](Bench& bench) {
        out.clear();
        return bench.desfire->readData(1, 0, 256, out, true);
    });
}

void BM_Write100EncipheredWithMac(benchmark::State& state)
{
    const Bytes data(100, 0x3C);
    // 8 header, 104 cipher and 4 MAC bytes: 60 and 57 in two frames; encipher, MAC and verify at the SAM.
    measure(state, 2, 3,
            [&data](Bench& bench) { return bench.desfire->writeData(1, 0, data, true, true, {}); });
}

BENCHMARK(BM_AuthenticateThroughSam)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Read256Enciphered)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Write100EncipheredWithMac)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
