// Applications, files, keys settings, data, values and records of NFC::DESFire.
#include <cstdio>

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"
#include "NFC/Protocols/DESFire.h"
#include "NFC/Protocols/LGsam.h"
#include "core/String.h"

namespace NFC {

namespace {

using Bytes = DESFire::Bytes;

constexpr uint32_t Max24 = 0xFFFFFF;

void u24le(ByteWriter& w, uint32_t value)
{
    w.u8(static_cast<uint8_t>(value))
        .u8(static_cast<uint8_t>(value >> 8))
        .u8(static_cast<uint8_t>(value >> 16));
}

uint32_t u24le(ByteReader& r)
{
    const uint32_t low = r.u16le();
    return low | static_cast<uint32_t>(r.u8()) << 16;
}

uint32_t u32le(ByteReader& r)
{
    const uint32_t low = r.u16le();
    return low | static_cast<uint32_t>(r.u16le()) << 16;
}

// The bytes of an answer after its status.
ByteReader dataOf(const Bytes& answer)
{
    return ByteReader(answer.data() + 1, answer.size() - 1);
}

}  // namespace

// ---- version ----

DESFire::Version DESFire::version(std::shared_ptr<ISO14443> link)
{
    Version v;
    if (!link)
        return v;
    Bytes rx;
    if (!link->TDX4({0x60}, rx) || checkResponse(rx, 8) != AdditionalFrame)
        return v;
    ByteReader hw = dataOf(rx);
    v.hwVendorID = hw.u8(), v.hwType = hw.u8(), v.hwSubtype = hw.u8(), v.hwMajorVersion = hw.u8(),
    v.hwMinorVersion = hw.u8(), v.hwStorageSize = hw.u8(), v.hwProtocol = hw.u8();
    rx.clear();
    if (!link->TDX4({AdditionalFrame}, rx) || checkResponse(rx, 8) != AdditionalFrame)
        return v;
    ByteReader sw = dataOf(rx);
    v.swVendorID = sw.u8(), v.swType = sw.u8(), v.swSubtype = sw.u8(), v.swMajorVersion = sw.u8(),
    v.swMinorVersion = sw.u8(), v.swStorageSize = sw.u8(), v.swProtocol = sw.u8();
    rx.clear();
    if (!link->TDX4({AdditionalFrame}, rx) || checkResponse(rx, 15) != OperationOK)
        return v;
    ByteReader id = dataOf(rx);
    v.uid = id.bytes(7);
    v.batchNo = id.bytes(5);
    v.productionWeek = id.u8();
    v.productionYear = id.u8();
    return v;
}

std::string DESFire::Version::toString() const
{
    // The size code comes from the card: a power that does not fit 64 bits is shown as 0 instead
    // of shifting past the width.
    const unsigned power = hwStorageSize >> 1;
    const unsigned long long storage = power < 64 ? 1ULL << power : 0;
    std::string out = "--- ";
    out += String::format("DESFire %s (%lluK)", ("EV" + std::to_string(swMajorVersion)).c_str(),
                          storage / 1024);
    out += " -------------------------\n";
    out += "UID          : " + String::toHex(uid) + "\n";
    out += String::format("Vendor ID    : NXP (%d)\n", hwVendorID);
    out +=
        String::format("Hardware     : v%d.%d (%d/%d)\n", hwMajorVersion, hwMinorVersion, hwType, hwSubtype);
    out +=
        String::format("Software     : v%d.%d (%d/%d)\n", swMajorVersion, swMinorVersion, swType, swSubtype);
    out += String::format("Storage size : %llu byte(s)\n", storage);
    out += String::format("Production   : 20%x (wk %x)\n", productionYear, productionWeek);
    out += String::format("Protocol     : %d\n", swProtocol);
    out += std::string(46, '-');
    return out;
}

// ---- key settings ----

uint8_t DESFire::KeySettings1::pack() const
{
    return static_cast<uint8_t>((allowChangeMasterKey ? 0x01 : 0x00) | (freeDirectoryList ? 0x02 : 0x00) |
                                (freeCreateDelete ? 0x04 : 0x00) | (configurationChangeable ? 0x08 : 0x00) |
                                (changeKeyAccessRights << 4));
}

DESFire::KeySettings1 DESFire::KeySettings1::unpack(uint8_t byte)
{
    KeySettings1 ks;
    ks.allowChangeMasterKey = byte & 0x01;
    ks.freeDirectoryList = byte & 0x02;
    ks.freeCreateDelete = byte & 0x04;
    ks.configurationChangeable = byte & 0x08;
    ks.changeKeyAccessRights = byte >> 4;
    return ks;
}

DESFire::Error DESFire::getKeySettings(KeySettings1& ks1, KeySettings2& ks2)
{
    Bytes rx;
    const Error result = command({0x45}, 3, &rx);
    if (result != OperationOK)
        return result;
    ks1 = KeySettings1::unpack(rx[1]);
    ks2.numberOfKeys = rx[2];
    return OperationOK;
}

DESFire::Error DESFire::changeKeySettings(KeySettings1& ks1)
{
    Bytes cryptogram = {ks1.pack()};
    if (m_sessionKey.empty()) {
        const Error result = encipherData(cryptogram, 0);
        if (result != OperationOK)
            return result;
    } else {
        cryptogram = encodeDataEV1Full({0x54}, cryptogram);
    }
    Bytes tx = {0x54};
    tx.insert(tx.end(), cryptogram.begin(), cryptogram.end());
    return command(tx, 0);
}

// ---- applications ----

DESFire::Error DESFire::getApplicationIDs(std::vector<uint32_t>& aids)
{
    Bytes data;
    const Error result = readFrames({0x6A}, data, 3);
    // Whole AIDs only: a frame that broke off mid-list still gives the AIDs it carried.
    ByteReader r(data);
    while (r.remaining() >= 3) aids.push_back(u24le(r));
    return result;
}

DESFire::Error DESFire::selectApplication(uint32_t aid)
{
    Bytes tx = {0x5A};
    ByteWriter w(tx);
    u24le(w, aid);
    return command(tx, 0);
}

DESFire::Error DESFire::createApplication(uint32_t aid, const KeySettings1& ks1, const KeySettings2& ks2)
{
    Bytes tx = {0xCA};
    ByteWriter w(tx);
    u24le(w, aid);
    w.u8(ks1.pack()).u8(ks2.numberOfKeys & 0x0F);
    return command(tx, 0);
}

DESFire::Error DESFire::format()
{
    return command({0xFC}, 0);
}

// ---- files ----

DESFire::Error DESFire::getFileIDs(Bytes& ids)
{
    Bytes rx;
    const Error result = command({0x6F}, 0, &rx);
    if (result == OperationOK)
        ids.assign(rx.begin() + 1, rx.end());
    return result;
}

DESFire::Error DESFire::getFileSettings(uint8_t fileNo, FileSettings& settings)
{
    Bytes rx;
    const Error result = command({0xF5, fileNo}, 5, &rx);
    if (result != OperationOK)
        return result;
    ByteReader r = dataOf(rx);
    FileSettings fs;
    fs.fileType = r.u8();
    fs.communication = r.u8();
    fs.accessRights = r.u16le();
    switch (fs.fileType) {
        case 0:
        case 1:
            fs.p1 = u24le(r);
            break;
        case 2:
            fs.p1 = u32le(r);
            fs.p2 = u32le(r);
            fs.p3 = u32le(r);
            fs.limitedCreditEnabled = r.u8() != 0;
            break;
        case 3:
        case 4:
            fs.p1 = u24le(r);
            fs.p2 = u24le(r);
            fs.p3 = u24le(r);
            break;
        default:
            break;
    }
    // Every field is read before any is stored: a short answer leaves the caller's record as it was.
    if (!r.ok())
        return InvalidResponseSize;
    settings = fs;
    return OperationOK;
}

DESFire::Error DESFire::setFileSettings(uint8_t fileNo, FileCommSet comm, uint16_t accessRights)
{
    Bytes tx = {0x5F};
    ByteWriter(tx).u8(fileNo).u8(comm).u16le(accessRights);
    return command(tx, 0);
}

DESFire::Error DESFire::createFile(uint8_t cmd, uint8_t fileNo, FileCommSet comm, uint16_t accessRights,
                                   std::initializer_list<uint32_t> sizes)
{
    Bytes tx = {cmd};
    ByteWriter w(tx);
    w.u8(fileNo).u8(comm).u16le(accessRights);
    for (uint32_t size : sizes) u24le(w, size);
    return command(tx, 0);
}

DESFire::Error DESFire::createDataFile(uint8_t fileNo, FileCommSet comm, uint16_t accessRights, uint32_t size)
{
    return createFile(0xCD, fileNo, comm, accessRights, {size});
}

DESFire::Error DESFire::createBackupFile(uint8_t fileNo, FileCommSet comm, uint16_t accessRights,
                                         uint32_t size)
{
    return createFile(0xCB, fileNo, comm, accessRights, {size});
}

DESFire::Error DESFire::createValueFile(uint8_t fileNo, FileCommSet comm, uint16_t accessRights,
                                        uint32_t lower, uint32_t upper, uint32_t value, bool limitedCredit,
                                        bool freeGetValue)
{
    Bytes tx = {0xCC};
    ByteWriter(tx)
        .u8(fileNo)
        .u8(comm)
        .u16le(accessRights)
        .u32le(lower)
        .u32le(upper)
        .u32le(value)
        .u8(static_cast<uint8_t>((limitedCredit ? 0x01 : 0x00) | (freeGetValue ? 0x02 : 0x00)));
    return command(tx, 0);
}

DESFire::Error DESFire::createLinearRecordFile(uint8_t fileNo, FileCommSet comm, uint16_t accessRights,
                                               uint32_t recordSize, uint32_t maxRecords)
{
    return createFile(0xC1, fileNo, comm, accessRights, {recordSize, maxRecords});
}

DESFire::Error DESFire::createCyclicRecordFile(uint8_t fileNo, FileCommSet comm, uint16_t accessRights,
                                               uint32_t recordSize, uint32_t maxRecords)
{
    return createFile(0xC0, fileNo, comm, accessRights, {recordSize, maxRecords});
}

DESFire::Error DESFire::deleteFile(uint8_t fileNo)
{
    return command({0xDF, fileNo}, 0);
}

// ---- data and records ----

DESFire::Error DESFire::readSecured(const Bytes& frame, unsigned plainSize, Bytes& out, bool enciphered)
{
    if (enciphered && !hasSam())
        return UnknownError;
    if (!enciphered)
        return readFrames(frame, out);
    // Cipher text is of no use to the caller: only the deciphered data reach the output.
    Bytes data;
    Error result = readFrames(frame, data);
    if (result != OperationOK)
        return result;
    result = decipherData(data, plainSize);
    if (result == OperationOK)
        out.insert(out.end(), data.begin(), data.end());
    return result;
}

DESFire::Error DESFire::readData(uint8_t fileNo, uint32_t offset, uint32_t length, Bytes& out,
                                 bool enciphered)
{
    Bytes tx = {0xBD};
    ByteWriter w(tx);
    w.u8(fileNo);
    u24le(w, offset);
    u24le(w, length);
    return readSecured(tx, length, out, enciphered);
}

DESFire::Error DESFire::readRecords(uint8_t fileNo, uint32_t offset, uint32_t count, uint32_t length,
                                    Bytes& out, bool enciphered)
{
    Bytes tx = {0xBB};
    ByteWriter w(tx);
    w.u8(fileNo);
    u24le(w, offset);
    u24le(w, count);
    return readSecured(tx, length, out, enciphered);
}

DESFire::Error DESFire::writeSecured(uint8_t cmd, uint8_t fileNo, uint32_t offset, const Bytes& data,
                                     bool encipher, bool withMac, const Bytes& givenMac, bool macFirst)
{
    if ((encipher || withMac) && !hasSam())
        return UnknownError;
    if (data.size() > Max24)
        return LengthError;
    Bytes header = {cmd};
    ByteWriter w(header);
    w.u8(fileNo);
    u24le(w, offset);
    u24le(w, static_cast<uint32_t>(data.size()));
    Bytes payload = data;
    Error result;
    // Data files encipher first and MAC the cipher text; records MAC the plain data and encipher both.
    if (encipher && !macFirst && (result = encipherData(payload, 0)) != OperationOK)
        return result;
    if (withMac) {
        Bytes mac = givenMac;
        if (mac.empty()) {
            Bytes covered = header;
            covered.insert(covered.end(), payload.begin(), payload.end());
            if ((result = generateMAC(covered, mac)) != OperationOK)
                return result;
        }
        payload.insert(payload.end(), mac.begin(), mac.end());
    }
    if (encipher && macFirst && (result = encipherData(payload, 0)) != OperationOK)
        return result;
    Bytes frame = std::move(header);
    frame.insert(frame.end(), payload.begin(), payload.end());
    Bytes last;
    result = writeFrames(frame, last);
    if (result == OperationOK && withMac)
        return verifyMAC(last);
    return result;
}

DESFire::Error DESFire::writeData(uint8_t fileNo, uint32_t offset, const Bytes& data, bool encipher,
                                  bool withMac, const Bytes& givenMac)
{
    return writeSecured(0x3D, fileNo, offset, data, encipher, withMac, givenMac, false);
}

DESFire::Error DESFire::writeRecord(uint8_t fileNo, uint32_t offset, const Bytes& data, bool encipher,
                                    bool withMac)
{
    return writeSecured(0x3B, fileNo, offset, data, encipher, withMac, {}, true);
}

DESFire::Error DESFire::clearRecordFile(uint8_t fileNo)
{
    return command({0xEB, fileNo}, 0);
}

DESFire::Error DESFire::commitTransaction()
{
    return command({0xC7}, 0);
}

DESFire::Error DESFire::abortTransaction()
{
    return command({0xA7}, 0);
}

// ---- values ----

DESFire::Error DESFire::getValue(uint8_t fileNo, uint32_t& value, bool enciphered)
{
    if (enciphered && !hasSam())
        return UnknownError;
    Bytes rx;
    Error result = command({0x6C, fileNo}, 5, &rx);
    if (result != OperationOK)
        return result;
    Bytes v(rx.begin() + 1, rx.end());
    if (enciphered && (result = decipherData(v, 4)) != OperationOK)
        return result;
    ByteReader r(v);
    const uint32_t read = u32le(r);
    if (!r.ok())
        return InvalidResponseSize;
    value = read;
    return OperationOK;
}

DESFire::Error DESFire::valueChange(uint8_t cmd, uint8_t fileNo, uint32_t amount, bool encipher, bool withMac,
                                    bool reloadMac, const Bytes& givenMac)
{
    if ((encipher || withMac) && !hasSam())
        return UnknownError;
    Bytes v;
    ByteWriter(v).u32le(amount);
    Error result;
    if (encipher && (result = encipherData(v, 0)) != OperationOK)
        return result;
    Bytes frame = {cmd, fileNo};
    frame.insert(frame.end(), v.begin(), v.end());
    if (withMac) {
        Bytes mac = givenMac;
        if (mac.empty() && reloadMac && m_lgSam) {
            const int code = m_lgSam->generateMACforReload(frame, mac);
            if (code != 0) {
                m_lgSamError = code;
                return SamFailure;
            }
        } else if (mac.empty() && !reloadMac && (result = generateMAC(frame, mac)) != OperationOK) {
            return result;
        }
        frame.insert(frame.end(), mac.begin(), mac.end());
    }
    Bytes rx;
    result = command(frame, 0, &rx);
    if (result == OperationOK && withMac)
        return verifyMAC(rx);
    return result;
}

DESFire::Error DESFire::credit(uint8_t fileNo, uint32_t amount, bool encipher, bool withMac, bool reloadMac,
                               const Bytes& givenMac)
{
    return valueChange(0x0C, fileNo, amount, encipher, withMac, reloadMac, givenMac);
}

DESFire::Error DESFire::debit(uint8_t fileNo, uint32_t amount, bool encipher, bool withMac, bool reloadMac,
                              const Bytes& givenMac)
{
    return valueChange(0xDC, fileNo, amount, encipher, withMac, reloadMac, givenMac);
}

DESFire::Error DESFire::limitedCredit(uint8_t fileNo, uint32_t amount)
{
    if (!hasSam())
        return UnknownError;
    Bytes v;
    ByteWriter(v).u32le(amount);
    const Error result = encipherData(v, 0);
    if (result != OperationOK)
        return result;
    Bytes frame = {0x1C, fileNo};
    frame.insert(frame.end(), v.begin(), v.end());
    return command(frame, 0);
}

}  // namespace NFC
