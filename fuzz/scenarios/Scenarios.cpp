#include "scenarios/Scenarios.h"

#include <string>

#include "NFC/EMV.h"
#include "NFC/ISO14443.h"
#include "NFC/ISO7816.h"
#include "NFC/Protocols/DESFire.h"
#include "NFC/Protocols/DESFireEV2.h"
#include "NFC/Protocols/LGsam.h"
#include "NFC/Protocols/MifareSAM.h"
#include "NFC/Protocols/Ultralight.h"
#include "NFC/Reader.h"

namespace fuzzing {

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t size, uint8_t start)
{
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(start + 7 * i);
    return out;
}

const Bytes Uid = {0x04, 0x78, 0x2E, 0x21, 0x80, 0x1D, 0x80};

}  // namespace

const std::vector<uint8_t>& hostKey()
{
    static const Bytes key = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                              0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    return key;
}

const std::vector<uint8_t>& av1HostKey()
{
    static const Bytes key = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                              0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    return key;
}

const std::vector<uint8_t>& cardKey()
{
    static const Bytes key = {0x00, 0x10, 0x20, 0x31, 0x40, 0x50, 0x60, 0x70,
                              0x80, 0x90, 0xA0, 0xB0, 0xB0, 0xA0, 0x90, 0x80};
    return key;
}

void runMifareSam(const std::shared_ptr<NFC::Driver>& driver)
{
    auto link = std::make_shared<NFC::ISO7816>(driver, 0);
    Bytes atr;
    link->powerOn(&atr);
    NFC::MifareSAM sam(link, NFC::MifareSAM::ExpectedATR_AV3);
    sam.setDefaultPPS();
    sam.check();

    NFC::MifareSAM::Version version;
    sam.getVersion(version);
    NFC::MifareSAM::KeyEntry entry;
    if (sam.getKeyEntry(PiccEntry, entry) == NFC::MifareSAM::Success) {
        (void)entry.keyType();
        (void)entry.keyClass();
    }
    NFC::MifareSAM::KUCEntry counter;
    sam.getKUCEntry(0, counter);
    int random = 0;
    sam.getRandom(random);

    sam.authenticateHost(hostKey(), HostEntry, 0);
    Bytes sessionKey;
    sam.authenticateHostAV1mode(av1HostKey(), Av1HostEntry, 0, sessionKey);
    sam.lockUnlock(hostKey(), HostEntry, 0, false, false);

    Bytes cardToken;
    sam.authenticatePICCPart1(PiccEntry, 0x00, pattern(8, 0x31), {}, cardToken, 0);
    sam.authenticatePICCPart2(pattern(8, 0x52));
    Bytes mac;
    sam.generateMAC(pattern(40, 0x10), mac, 8);
    Bytes macced = pattern(40, 0x10);
    macced.insert(macced.end(), mac.begin(), mac.end());
    sam.verifyMAC(macced, 8);
    Bytes plain;
    sam.decipherData(pattern(32, 0x44), plain, 20);
    Bytes cipher;
    // Longer than one frame, so that the chained form runs.
    sam.encipherData(pattern(300, 0x05), cipher, 2);
    Bytes changeKey;
    sam.changeKeyPICC(0x01, 0x00, false, PiccEntry, 0, ZeroEntry, 0, {}, changeKey);

    sam.activateOfflineKey(OfflineEntry, 0, pattern(16, 0x09));
    sam.loadInitVector(Bytes(16, 0x00));
    Bytes offline;
    sam.encipherOfflineData(pattern(32, 0x61), offline);
    Bytes back;
    sam.decipherOfflineData(offline.empty() ? pattern(32, 0x61) : offline, back);

    NFC::MifareSAM::KeyEntry newEntry;
    newEntry.keyA = pattern(16, 0x01);
    newEntry.keyB = pattern(16, 0x02);
    newEntry.keyC = pattern(16, 0x03);
    sam.changeKeyEntry(30, newEntry);
    NFC::MifareSAM::KUCEntry newCounter;
    newCounter.limit = 100;
    sam.changeKUCEntry(1, newCounter);
    sam.killAuthentication();
    (void)NFC::MifareSAM::errorToStr(random);
}

void runLGsam(const std::shared_ptr<NFC::Driver>& driver)
{
    auto link = std::make_shared<NFC::ISO7816>(driver, 0);
    Bytes atr;
    link->powerOn(&atr);
    NFC::LGsam sam(link, NFC::LGsam::ExpectedATR);
    sam.setDefaultPPS();
    sam.check();

    NFC::LGsam::SAMinfo info;
    sam.selectFile(info);
    NFC::LGsam::Version version;
    sam.getVersion(version);
    Bytes out;
    sam.getIssuerKeyVersion(out);
    sam.getHostSN(out);

    sam.authenticatePICCPart1(1, pattern(8, 0x20), pattern(8, 0x30), 1, 2, out);
    sam.authenticatePICCPart2(pattern(16, 0x40));
    sam.initSAMforCardReload(1, pattern(8, 0x20), pattern(8, 0x30), 1, 2, 0x10, out);
    sam.debitSAMforCardReload(1, 2, 0x10, pattern(8, 0x30), pattern(4, 0x01), pattern(4, 0x02),
                              pattern(16, 0x03), pattern(8, 0x04), out);
    sam.verifyMAC(pattern(12, 0x50));
    Bytes mac;
    sam.generateMACforReload(pattern(20, 0x51), mac);
    sam.generateMAC(pattern(20, 0x52), mac);

    NFC::LGsam::SindRequest sindRequest;
    sindRequest.idEp = pattern(8, 0x60);
    NFC::LGsam::SindResponse sindResponse;
    sam.getSind(sindRequest, sindResponse);

    sam.checkIssueCertUL48(1, 1, 2, Uid, pattern(2, 0x70), pattern(2, 0x71));
    sam.encryptDecryptData(1, 1, 2, pattern(8, 0x72), true, pattern(16, 0x73), out);
    sam.generateIssuerCert(1, 1, 2, pattern(16, 0x74), out);
    sam.encryptTpassData(1, 1, 2, 0x10, Uid, pattern(4, 0x75), pattern(12, 0x76), out);
    sam.decryptTpassData(1, 1, 2, Uid, pattern(4, 0x75), pattern(16, 0x77), out);
    sam.encryptTvalueData(1, 1, 2, 0x10, Uid, pattern(4, 0x78), pattern(4, 0x79), pattern(12, 0x7A), out);
    sam.decryptTvalueData(1, 1, 2, Uid, pattern(4, 0x75), pattern(16, 0x7B), out);

    Bytes plain;
    sam.decipherData(pattern(32, 0x80), plain, 24);
    Bytes cipher;
    sam.encipherData(pattern(300, 0x81), cipher, 0);

    for (uint8_t algo : {2, 3, 10}) {
        NFC::LGsam::SAMinitData init;
        sam.initializeSAM(algo, init);
    }
    sam.addUpdateKeySet(true, false, 1, pattern(8, 0x90), 1, 2, 3, 4, 2, pattern(32, 0x91), out);
    sam.updateParameter(pattern(10, 0x92), 1, pattern(16, 0x93), pattern(16, 0x94), pattern(16, 0x95),
                        pattern(16, 0x96), pattern(16, 0x97), out);

    NFC::LGsam::SAMinitReloadData reloadInit;
    sam.initReloadSAM(true, 0, reloadInit);
    NFC::LGsam::SAMreloadReq reloadRequest;
    reloadRequest.date = pattern(7, 0xA0);
    reloadRequest.sign2 = pattern(4, 0xA1);
    reloadRequest.hostRandom = pattern(8, 0xA2);
    NFC::LGsam::SAMreloadResp reloadResponse;
    sam.reloadSAM(true, 0, reloadRequest, reloadResponse);
    sam.updateIssuer(pattern(4, 0xB0), 1, pattern(8, 0xB1), out);
    sam.onlineAuth(pattern(4, 0xB2), pattern(8, 0xB3), pattern(8, 0xB4), out);
    NFC::LGsam::SAMbalanceData balance;
    sam.getSAMbalance(balance);
    (void)NFC::LGsam::errorToStr(static_cast<int>(balance.valueBal & 0xFFFF));
}

void runUltralight(const std::shared_ptr<NFC::Driver>& driver)
{
    auto link = std::make_shared<NFC::ISO14443>(driver);
    NFC::Ultralight tag(link, Uid, {});
    Bytes version;
    (void)tag.getVersion(version);
    Bytes pages;
    (void)tag.read(0, pages);
    (void)tag.fastRead(0, 20, pages);
    (void)tag.write(4, {0x01, 0x02, 0x03, 0x04});
    int value = 0;
    (void)tag.readCounter(2, value);
    (void)tag.incrCounter(2, 1);
    uint16_t pack = 0;
    (void)tag.authenticatePass(0xFFFFFFFF, pack);
    Bytes challenge;
    (void)tag.authenticatePart1(challenge);
    Bytes answer;
    const NFC::Ultralight::Error last = tag.authenticatePart2(pattern(16, 0x11), answer);
    (void)NFC::Ultralight::errorToStr(last);
}

void runEMV(const std::shared_ptr<NFC::Driver>& driver)
{
    auto link = std::make_shared<NFC::ISO14443>(driver);
    NFC::EMV card(link, Uid, {0x05, 0x78, 0x80, 0x70, 0x02});
    std::vector<std::string> token;
    const int code = card.read(token);
    std::string data = "{\"fare\":250,\"line\":\"7\"}";
    std::vector<std::string> result;
    const int done = card.write(data, result);
    (void)NFC::EMV::errorstr(static_cast<NFC::EMV::Error>(code));
    (void)NFC::EMV::errorstr(static_cast<NFC::EMV::Error>(done));
}

void runDESFire(const std::shared_ptr<NFC::Driver>& driver)
{
    using NFC::DESFire;
    auto link = std::make_shared<NFC::ISO14443>(driver);
    const DESFire::Version version = DESFire::version(link);
    (void)version.toString();

    auto samLink = std::make_shared<NFC::ISO7816>(driver, 0);
    Bytes atr;
    samLink->powerOn(&atr);
    auto sam = std::make_shared<NFC::MifareSAM>(samLink, NFC::MifareSAM::ExpectedATR_AV3);
    sam->setDefaultPPS();
    sam->lockUnlock(hostKey(), HostEntry, 0, false, false);

    auto card = std::make_shared<DESFire>(link, Uid, Bytes{0x06, 0x75, 0x77, 0x81, 0x02, 0x80});
    card->assignMifareSAM(sam);
    std::vector<uint32_t> aids;
    card->getApplicationIDs(aids);
    card->selectApplication(0);
    card->authenticate(0, PiccEntry, 0x00, false, 0);
    DESFire::KeySettings2 keys;
    keys.numberOfKeys = 2;
    card->createApplication(CardAid, DESFire::KeySettings1::unpack(0x0F), keys);
    card->selectApplication(CardAid);
    card->authenticate(0, ZeroEntry, 0x00, false, 0);

    card->createDataFile(1, DESFire::Enciphered, 0x0000, 256);
    card->createBackupFile(2, DESFire::MACed, 0x0000, 32);
    card->createValueFile(3, DESFire::Enciphered, 0x0000, 0, 100000, 500, true, false);
    card->createCyclicRecordFile(4, DESFire::Enciphered, 0x0000, 20, 4);
    card->createLinearRecordFile(5, DESFire::Plain, 0xEEEE, 8, 3);

    Bytes ids;
    card->getFileIDs(ids);
    DESFire::FileSettings settings;
    for (uint8_t file = 1; file <= 5; ++file) card->getFileSettings(file, settings);
    DESFire::KeySettings1 ks1;
    DESFire::KeySettings2 ks2;
    card->getKeySettings(ks1, ks2);

    card->writeData(1, 0, pattern(256, 0x21), true, false, {});
    Bytes data;
    card->readData(1, 0, 256, data, true);
    card->writeData(2, 0, pattern(32, 0x22), false, true, {});
    card->readData(2, 0, 32, data, false);
    card->commitTransaction();
    uint32_t value = 0;
    card->getValue(3, value, true);
    card->credit(3, 100, true, false, false, {});
    card->debit(3, 50, true, false, false, {});
    card->commitTransaction();
    card->limitedCredit(3, 10);
    card->abortTransaction();
    card->writeRecord(4, 0, pattern(20, 0x23), true, false);
    card->writeRecord(5, 0, pattern(8, 0x24), false, false);
    card->commitTransaction();
    card->readRecords(4, 0, 1, 20, data, true);
    card->readRecords(5, 0, 0, 8, data, false);
    card->clearRecordFile(5);
    card->setFileSettings(5, DESFire::Plain, 0xEEEE);
    card->changeKeySettings(ks1);
    card->changeKeyPICC(0x00, 1, false, ZeroEntry, 0, PiccEntry, 0);
    card->deleteFile(5);

    card->authenticate(0, cardKey());
    card->changeKey(1, pattern(16, 0x30), Bytes(16, 0x00));
    (void)card->errorstr(DESFire::SamFailure);

    auto lgLink = std::make_shared<NFC::ISO7816>(driver, 1);
    lgLink->powerOn(&atr);
    auto lg = std::make_shared<NFC::LGsam>(lgLink, NFC::LGsam::ExpectedATR);
    auto viaLg = std::make_shared<DESFire>(link, Uid, Bytes{0x06, 0x75, 0x77, 0x81, 0x02, 0x80});
    viaLg->assignLGsam(lg);
    viaLg->authenticate_LGsam(1, 1);
    Bytes divInput = pattern(8, 0x40);
    Bytes transCnt = pattern(4, 0x41);
    Bytes amount = pattern(4, 0x42);
    Bytes nativeCmd = pattern(8, 0x43);
    Bytes out;
    viaLg->authForReload(1, 1, 2, divInput, 0x10, transCnt, amount, nativeCmd, out);
    uint32_t sn = 0, count = 0, days = 0, minutes = 0, balance = 0;
    viaLg->getSAMbalance(sn, count, days, minutes, balance);
    viaLg->readData(1, 0, 64, data, true);
}

const std::vector<uint8_t>& ev2Key()
{
    static const Bytes key = pattern(16, 0xE0);
    return key;
}

const std::vector<uint8_t>& cardUid()
{
    return Uid;
}

namespace {

class FixedChallengeEV2 : public NFC::DESFireEV2
{
public:
    using NFC::DESFireEV2::DESFireEV2;

protected:
    Bytes challenge(unsigned n) override { return pattern(n, 0xA5); }
};

}  // namespace

void runDESFireEV2(const std::shared_ptr<NFC::Driver>& driver)
{
    using NFC::DESFire;
    auto link = std::make_shared<NFC::ISO14443>(driver);
    FixedChallengeEV2 card(link, Uid, Bytes{0x06, 0x75, 0x77, 0x81, 0x02, 0x80});
    card.selectApplication(CardAid);
    card.authenticateEV2First(0, ev2Key());
    Bytes data;
    card.writeData(1, 0, pattern(80, 0x11), false, false, {});
    card.readData(1, 0, 64, data, false);
    card.writeRecord(3, 0, pattern(24, 0x12), false, false);
    card.commitTransaction();
    card.readRecords(3, 0, 1, 24, data, false);
    card.writeData(2, 0, pattern(16, 0x13), false, false, {});
    card.abortTransaction();
    card.clearRecordFile(3);
    card.commitTransaction();
    (void)card.transactionIdentifier();

    auto samLink = std::make_shared<NFC::ISO7816>(driver, 0);
    Bytes atr;
    samLink->powerOn(&atr);
    auto sam = std::make_shared<NFC::MifareSAM>(samLink, NFC::MifareSAM::ExpectedATR_AV3);
    sam->lockUnlock(hostKey(), HostEntry, 0, false, false);
    card.authenticateEV2First(1, OfflineEntry, sam);
    card.readData(1, 0, 32, data, false);
}

void runReader(const std::shared_ptr<NFC::Driver>& driver)
{
    NFC::Reader::DriverFactories factories = {
        {NFC::Reader::DriverFactory::Networked, "fuzz", [driver] { return driver; }}};
    NFC::Reader reader(factories);
    if (!reader.open("fuzz:1", 115200))
        return;
    (void)reader.isOpen();
    (void)reader.type();
    reader.enableRF();
    const std::shared_ptr<NFC::Tag> tag = reader.searchTag(100);
    if (tag)
        (void)tag->uid();
    for (int slot = 0; slot < reader.numberOfSlots(); ++slot) {
        (void)reader.isSlotEmpty(slot);
        const std::shared_ptr<NFC::SAM> sam = reader.turnOnSam(slot);
        if (sam)
            sam->check();
    }
    reader.disableRF();
}

}  // namespace fuzzing
