#include "drivers/Monet/SideChannelReader.h"

#include <atomic>
#include <stdexcept>

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"
#include "NFC/Crc16.h"
#include "NFC/Tag.h"
#include "core/Log.h"
#include "core/String.h"

namespace MonetReader {

namespace {

constexpr int TypeISO14443B = NFC::Tag::ISO14443B;
constexpr int TypeUltralight = NFC::Tag::MifareUltralight;
constexpr int TypeDESFire = NFC::Tag::MifareDESFire;
constexpr int TypeEMV = NFC::Tag::EMV;

constexpr uint8_t DesfireWriteRecord = 0x3B;
constexpr uint8_t DesfireMergedRecord = 0x8B;
constexpr uint8_t AdditionalFrame = 0xAF;
constexpr size_t LongestUnsplitRecordWrite = 56;
constexpr uint8_t UltralightWrite = 0xA2;
constexpr uint8_t UltralightGetVersion = 0x60;

const std::vector<std::string> DefaultAIDs = {"A9C002", "A9C003"};

// The last two bytes of an answer's data (SW1 SW2); false when it has fewer.
bool statusWord(const std::vector<uint8_t>& data, uint8_t& sw1, uint8_t& sw2)
{
    if (data.size() < 2)
        return false;
    NFC::ByteReader tail(data.data() + data.size() - 2, 2);
    sw1 = tail.u8();
    sw2 = tail.u8();
    return true;
}

// Exact for the default 10 s: the wait ends once the whole seconds elapsed exceed the limit's.
bool beyond(int64_t elapsedMs, int64_t limitMs)
{
    return elapsedMs / 1000 * 1000 > limitMs;
}

}  // namespace

SideChannelReader::SideChannelReader(SideChannelTransport& transport, std::shared_ptr<Monet::Clock> clock,
                                     Monet::ConfigurationProvider configuration, RestartHook restart,
                                     Times times)
    : m_transport(transport),
      m_clock(clock ? std::move(clock) : Monet::Clock::system()),
      m_configuration(configuration ? std::move(configuration) : Monet::fileConfiguration()),
      m_restart(std::move(restart)),
      m_times(times)
{
}

int SideChannelReader::getResult(const SideChannelMsg::Ptr& msg)
{
    if (!msg->has(TAG_STATUS))
        return CardOK;
    const SideChannelMsg::Bytes status = msg->popTAG(TAG_STATUS);
    const uint8_t code = status.empty() ? 0 : status[0];
    if (code == 0)
        return CardOK;
    if (code != 0x56)
        Log::error("[Monet] Erroneous status received: %d", code);
    return GeneralError;
}

int SideChannelReader::checkMsgResponse(const SideChannelMsg::Ptr& msg)
{
    if (!msg)
        return NoAnswer;
    if (!msg->valid()) {
        Log::error("[Monet] Malformed message received");
        return MalformedMessage;
    }
    return getResult(msg);
}

int SideChannelReader::command(uint8_t code, const Bytes& data, const char* errorText,
                               SideChannelMsg::Ptr* answer, int timeoutMs)
{
    SideChannelMsg::Ptr request = SideChannelMsg::make();
    request->pushTAG(TAG_COMMAND, {code});
    if (!data.empty())
        request->pushTAG(TAG_DATA, data);
    SideChannelMsg::Ptr reply =
        m_transport.transceive(request, timeoutMs < 0 ? m_times.requestMs : timeoutMs);
    const int result = checkMsgResponse(reply);
    if (result != 0 && errorText)
        Log::error(errorText, result);
    if (answer)
        *answer = reply;
    return result;
}

int SideChannelReader::setHardwareUIconfig(uint8_t config)
{
    Log::debug("[Monet] Sending setHardwareUIconfig command...");
    return command(SET_HARDWARE_UI_CONFIG, {config},
                   "[Monet] Error received in setHardwareUIconfig response: %d");
}

int SideChannelReader::setLEDs(uint8_t mask)
{
    Log::debug("[Monet] Sending SET_LEDS command with mask: 0x%02X", mask);
    return command(SET_LEDS, {mask}, "[Monet] Error received in SET_LEDS response: %d");
}

int SideChannelReader::nonEMVcardOver(uint8_t reason)
{
    // The card is gone for good: a held-back part must not reach the next one.
    clearRecordData();
    Log::debug("[Monet] Sending NonEMVcardOver command...");
    return command(NON_EMV_CARD_OVER, {reason}, "[Monet] Error received in NonEMVcardOver response: %d");
}

int SideChannelReader::passThroughEnable(uint8_t enable)
{
    Log::debug("[Monet] Sending passThroughEnable command...");
    return command(PASS_THROUGH_ENABLE, {enable}, nullptr);
}

int SideChannelReader::setPassBackTimeout(const Bytes& timeout)
{
    Log::debug("[Monet] Sending SetPassBackTimeout command...");
    return command(SET_PASS_BACK_TIMEOUT, timeout,
                   "[Monet] Error received in SetPassBackTimeout response: %d");
}

int SideChannelReader::powerOnSAM(uint8_t slot, Bytes& atr)
{
    Log::debug("[Monet] Sending SAMPowerOn command...");
    SideChannelMsg::Ptr answer;
    const int result =
        command(SAM_POWER_ON, {slot}, "[Monet] Error received in SAMPowerOn response: %d", &answer);
    if (result == 0) {
        const Bytes data = answer->data();
        atr.insert(atr.begin(), data.begin(), data.end());
    }
    return result;
}

int SideChannelReader::powerOffSAM(uint8_t slot)
{
    Log::debug("[Monet] Sending SAMPowerOff command...");
    return command(SAM_POWER_OFF, {slot}, nullptr);
}

int SideChannelReader::setSAMclock(uint8_t slot)
{
    Log::debug("[Monet] Sending SAM configure command (clock)...");
    return command(SAM_CONFIGURE, {slot, 0x01, 0x01, 0x01, 0x1A, 0x02, 0x01, 0x96}, nullptr);
}

int SideChannelReader::echo()
{
    const int64_t start = m_clock->nowMillis();
    Log::debug("[Monet] Sending ECHO command...");
    SideChannelMsg::Ptr request = SideChannelMsg::make();
    request->pushTAG(TAG_COMMAND, {ECHO});
    request->pushTAG(TAG_DATA, {0x99});
    if (!m_transport.transmit(request)) {
        Log::error("[Monet] Failed to connect to Side Channel");
        return GeneralError;
    }
    for (;;) {
        const int64_t waited = elapsedMs(start);
        SideChannelMsg::Ptr msg = m_transport.receiveAnswer(m_times.echoMs);
        const int result = checkMsgResponse(msg);
        if (result != 0) {
            Log::error("[Monet] Error %d occurred while receiving message", result);
            return result;
        }
        if (msg->command() == ECHO) {
            Log::info("[Monet] ECHO command received ===> Check echo byte");
            const Bytes data = msg->data();
            if (!data.empty() && data[0] == 0x99)
                return CardOK;
            Log::error("[Monet] ECHO command error");
            return GeneralError;
        }
        // Reader events that came before the echo are skipped, but not for ever.
        if (beyond(waited, m_times.failSafeMs)) {
            Log::error("[Monet] Timeout occurred while waiting for card");
            return NoAnswer;
        }
    }
}

SideChannelReader::Bytes SideChannelReader::desfireAIDs()
{
    Bytes entries;
    int count = 0;
    bool usable = true;
    const nlohmann::json desfire = Monet::configurationValue(m_configuration, "rfid/cardTypes/desfire");
    if (desfire.is_object()) {
        // The object's members come sorted by name, which is the order the reader is given.
        for (auto it = desfire.begin(); it != desfire.end() && usable; ++it) {
            Bytes aid;
            try {
                aid = String::fromHex(it.key());
            } catch (const std::exception& e) {
                Log::error("[Monet] ERROR: AID %s in the configuration is not hexadecimal: %s",
                           String::excerpt(it.key()).c_str(),
                           String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
                usable = false;
                break;
            }
            if (aid.empty() || aid.size() > 255) {
                Log::error("[Monet] ERROR: AID %s in the configuration has %zu bytes",
                           String::excerpt(it.key()).c_str(), aid.size());
                usable = false;
                break;
            }
            NFC::ByteWriter(entries).u8(0x01).u8(static_cast<uint8_t>(aid.size())).bytes(aid);
            ++count;
        }
    } else if (!desfire.is_null()) {
        Log::error("[Monet] ERROR: \"desfire\" in the configuration is not an object");
    }
    if (!usable) {
        entries.clear();
        count = 0;
    }
    Log::info("[Monet] AIDs Number Found: %d", count);
    if (count == 0) {
        for (const std::string& aid : DefaultAIDs)
            NFC::ByteWriter(entries).u8(0x01).u8(0x03).bytes(String::fromHex(aid));
        Log::info("[Monet] No AIDs Found ===> Using default AIDs (A9C002, A9C003)");
    }
    return entries;
}

int SideChannelReader::configAIDs()
{
    static const char* const errorText = "[Monet] Error received in InitAIDlist response: %d";
    const Bytes prefix = {0x01, 0x02, 0x03, 0x04};
    Log::debug("[Monet] Sending InitAIDlist command...");
    int result = command(INIT_AID_LIST, prefix, errorText);
    if (result != 0)
        return result;

    const Bytes entries = desfireAIDs();
    // Each entry is 01, its length and the AID, so the entries count themselves.
    size_t count = 0;
    for (NFC::ByteReader r(entries); r.remaining() > 0; ++count) {
        r.skip(1);
        r.skip(r.u8());
    }
    Bytes data = prefix;
    data.insert(data.end(), entries.begin(), entries.end());

    Log::debug("[Monet] Sending AddAID command...");
    SideChannelMsg::Ptr answer;
    result = command(ADD_AID, data, errorText, &answer);
    if (result != 0)
        return result;
    const Bytes results = answer->data();
    if (results.size() != count) {
        Log::error("[Monet] AIDs Config Failure (Wrong Results Number)");
        return AIDsConfigFailure;
    }
    for (uint8_t r : results) {
        if (r != 0) {
            Log::error("[Monet] AIDs Config Failure: %d", r);
            return AIDsConfigFailure;
        }
    }
    return CardOK;
}

bool SideChannelReader::getIdleMessages(int timeoutMs)
{
    bool cardSeen = false;
    bool idleSeen = false;
    bool stateSeen = false;
    for (int i = 0; i < 10 && !(idleSeen && stateSeen); ++i) {
        // Off the stream: a card event kept earlier stands for a tap the next search reads, or one
        // that the card just served spends; either way not a message missed now.
        SideChannelMsg::Ptr msg = m_transport.receiveFrame(timeoutMs / 10);
        if (checkMsgResponse(msg) != 0)
            continue;
        const Bytes data = msg->data();
        if (data.empty())
            continue;
        const uint8_t code = msg->command();
        if (code == IDLE_EVENT && data[0] == 2)
            idleSeen = true;
        else if (code == DISPLAY_STATE && data[0] == 1)
            stateSeen = true;
        else if (code == NON_EMV_CARD_PRESENT) {
            Log::error("[Monet] NonEMVcardPresent message received outside searchTag()");
            cardSeen = true;
        }
    }
    return cardSeen;
}

int SideChannelReader::displayState(uint8_t state, int& type, int& tapResult, bool suppress)
{
    Log::error("[Monet] State %d received in 'Display State' command", state);
    if (m_SAMcmdTimeout && state == 4) {
        Log::error("[Monet] State 0x04 received after SAM command timeout ===> RESTART RFID!");
        // A driver is made anew on each open, so the guard belongs to the process.
        static std::atomic<bool> restarted{false};
        if (restarted.exchange(true)) {
            Log::error("[Monet] Restart already requested ===> Not again");
        } else if (m_restart) {
            try {
                m_restart();
            } catch (const std::exception& e) {
                Log::error("[Monet] ERROR: Restart failed: %s",
                           String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
            }
        }
    }
    type = TypeEMV;
    switch (state) {
        case 3:
            Log::error("[Monet] Send UseOneCard error");
            tapResult = UseOneCard;
            return EMVresult;
        case 4:
            Log::error("[Monet] Error 'Attach another card' received");
            if (suppress) {
                Log::error(
                    "[Monet] Set 'type = MIFARE_DESFire' to suppress UI message and return GeneralError");
                type = TypeDESFire;
                return GeneralError;
            }
            Log::error("[Monet] Send GeneralError");
            tapResult = GeneralError;
            return EMVresult;
        case 6:
            Log::error("[Monet] Send SeePhone error");
            tapResult = SeePhone;
            return EMVresult;
        case 9:
            Log::error("[Monet] Send TapError error");
            tapResult = TapError;
            return EMVresult;
        default:
            Log::error("[Monet] Send GeneralError error");
            tapResult = GeneralError;
            return EMVresult;
    }
}

int SideChannelReader::readCardDescription(const Bytes& data, int& type, Bytes& uid, Bytes& ats)
{
    NFC::ByteReader r(data);
    r.skip(4);
    const Bytes id = r.bytes(r.u8());
    r.skip(r.u8());
    const Bytes answerToSelect = r.bytes(r.u8());
    // The card kind sits in the last three bytes, after everything the lengths announce.
    if (data.size() < 11 || !r.ok() || r.remaining() < 3) {
        Log::error("[Monet] Malformed Non EMV card message received");
        return MalformedMessage;
    }
    NFC::ByteReader kind(data.data() + data.size() - 3, 3);
    const uint8_t x = kind.u8();
    const uint8_t y = kind.u8();
    const uint8_t z = kind.u8();

    uid.insert(uid.end(), id.begin(), id.end());
    type = z;
    const bool ultralight = (z == 0x40 && y == 1) || (x == 2 && y == 4 && z == 0);
    const bool desfire = (z == 1 && y == 1) || (x == 2 && y == 1 && z == 10);
    if (ultralight) {
        Log::info("[Monet] UL card detected");
        type = TypeUltralight;
    } else if (desfire) {
        Log::info("[Monet] DESFire card detected");
        type = TypeDESFire;
        ats.insert(ats.end(), answerToSelect.begin(), answerToSelect.end());
    } else if (x == 2 && y == 1 && z == 11) {
        Log::info("[Monet] ISO14443_4B card detected");
        type = TypeISO14443B;
    }
    return NonEMVcardDetected;
}

int SideChannelReader::readTapResult(const Bytes& data, int& tapResult, std::string& token)
{
    Log::info("[Monet] 'Tap Result' received!");
    NFC::ByteReader r(data);
    r.skip(1);
    const uint8_t errorHigh = r.u8();
    const uint8_t errorLow = r.u8();
    if (!r.ok()) {
        Log::error("[Monet] No token received ===> Return MalformedMessage!");
        tapResult = MalformedMessage;
        return EMVresult;
    }
    if (errorHigh != 0 || errorLow != 0) {
        tapResult = 256 - errorLow;
        Log::error("[Monet] Error %d received in 'Tap Result'", tapResult);
    } else {
        Log::info("[Monet] Card OK! ===> Return Success");
        tapResult = CardOK;
    }
    if (r.remaining() < 2) {
        if (r.remaining() == 0) {
            Log::error("[Monet] No token received ===> Return MalformedMessage!");
        } else {
            Log::info("[Monet] Token size: %d", r.u8());
            Log::error("[Monet] Token NOT present in Tap Result ===> Return MalformedMessage!");
        }
        if (tapResult == CardOK)
            tapResult = MalformedMessage;
        return EMVresult;
    }
    // The size byte is only reported: the token is everything after it.
    Log::info("[Monet] Token size: %d", r.u8());
    const Bytes received = r.bytes(r.remaining());
    token = String::toHex(received);
    Log::info("[Monet] EMVtoken received: %s", String::toHexExcerptSized(received).c_str());
    return EMVresult;
}

void SideChannelReader::spendCardEvents(const Bytes& uid, uint64_t keptUpTo)
{
    if (uid.empty())
        return;
    const size_t spent = m_transport.forgetKept(keptUpTo, [&uid](const Bytes& payload) {
        NFC::ByteReader r(payload);
        const uint8_t first = r.u8();
        if ((first & 0x7F) != NON_EMV_CARD_PRESENT)
            return false;
        if (first & 0x80)
            r.skip(1);
        r.skip(4);
        const Bytes id = r.bytes(r.u8());
        return r.ok() && id == uid;
    });
    if (spent > 0)
        Log::debug("[Monet] %zu kept announcement(s) of the card just read spent", spent);
}

int SideChannelReader::searchTag(int& type, Bytes& uid, Bytes& ats, int timeoutMs, int& tapResult,
                                 std::string& token, bool suppress)
{
    const int64_t start = m_clock->nowMillis();
    tapResult = CardOK;
    token.clear();
    clearRecordData();

    SideChannelMsg::Ptr msg;
    uint8_t code = 0;
    for (;;) {
        const int64_t waited = elapsedMs(start);
        msg = m_transport.receive(timeoutMs);
        const int result = checkMsgResponse(msg);
        if (result != 0) {
            if (result != NoAnswer)
                Log::error("[Monet] Error %d occurred while receiving message", result);
            return result;
        }
        code = msg->command();
        const Bytes data = msg->data();
        if (code == DISPLAY_STATE && !data.empty() && data[0] >= 3 && data[0] <= 10 && data[0] != 8)
            return displayState(data[0], type, tapResult, suppress);
        if (code == NON_EMV_CARD_PRESENT || code == EMV_CARD_DETECTED || code == ERROR_NOTIFICATION_1 ||
            code == ERROR_NOTIFICATION_2)
            break;
        if (beyond(waited, m_times.failSafeMs))
            break;
    }

    switch (code) {
        case EMV_CARD_DETECTED:
            break;
        case NON_EMV_CARD_PRESENT:
            Log::info("[Monet] Non EMV card detected");
            return readCardDescription(msg->data(), type, uid, ats);
        case ERROR_NOTIFICATION_1:
        case ERROR_NOTIFICATION_2:
            Log::error("[Monet] Error notification received:");
            return TapError;
        default:
            Log::error("[Monet] Fail-Safe timeout occurred while waiting for card");
            return NoAnswer;
    }

    Log::info("[Monet] EMV card detected ===> Wait %d ms for 'Tap Result' notification...", timeoutMs);
    type = TypeEMV;
    SideChannelMsg::Ptr tap = m_transport.receive(timeoutMs);
    if (!tap) {
        Log::error("[Monet] Timeout waiting for 'Tap Result'");
        Log::error(
            "[Monet] Not supported DESFIRE card detected after timeout ===> Return nonEMVcardDetected");
        type = TypeDESFire;
        return NonEMVcardDetected;
    }
    const Bytes data = tap->data();
    if (tap->command() == TAP_RESULT)
        return readTapResult(data, tapResult, token);
    if (tap->command() == DISPLAY_STATE) {
        if (data.empty())
            return EMVresult;
        Log::info("[Monet] 'Display State' received with state: 0x%02X", data[0]);
        if (data[0] == 3 || data[0] == 6 || data[0] == 9)
            return displayState(data[0], type, tapResult, suppress);
        Log::error("[Monet] Not supported DESFIRE card detected ===> Return nonEMVcardDetected");
        type = TypeDESFire;
        return NonEMVcardDetected;
    }
    Log::error("[Monet] Command 0x%02X received while waiting for 'Tap Result'!", tap->command());
    Log::error(
        "[Monet] Not supported DESFIRE card detected after unknown cmd ===> Return nonEMVcardDetected");
    type = TypeDESFire;
    return NonEMVcardDetected;
}

int SideChannelReader::sendCmdISO14443_3(const Bytes& frame, Bytes& reply, int readerTimeout)
{
    // The frame ends with its CRC_A, which the reader adds itself.
    if (frame.size() < 2 || (frame.size() - 2) * 8 > 0xFFFF) {
        Log::error("[Monet] ISO14443-3 frame of %zu bytes refused", frame.size());
        return GeneralError;
    }
    const size_t bodySize = frame.size() - 2;
    Bytes data;
    NFC::ByteWriter(data)
        .u16be(static_cast<uint16_t>(readerTimeout))
        .u8(frame[0] == UltralightWrite ? 5 : 7)
        .u16be(static_cast<uint16_t>(bodySize * 8))
        .bytes(frame.data(), bodySize);

    if (Log::enabled(Log::LevelDebug))
        Log::debug("[Monet] ISO14443-3 request(%d): %s", static_cast<int>(frame.size()),
                   String::toHexExcerpt(frame).c_str());
    Log::debug("[Monet] Sending ISO14443_3 command 0x%02X", frame[0]);
    SideChannelMsg::Ptr answer;
    const int result =
        command(ISO14443_3, data, "[Monet] Error received in ISO14443-3 response: %d", &answer);
    if (result != 0) {
        if (frame[0] == UltralightGetVersion && frame.size() >= 3 && frame[1] != 0 && frame[2] != 0) {
            Log::error("[Monet] Error during LUC Get Version command ===> Return dummy version!");
            reply.assign(8, 0x99);
        }
        return result;
    }
    const Bytes received = answer->data();
    if (Log::enabled(Log::LevelDebug))
        Log::debug("[Monet] Data received(%d): %s", static_cast<int>(received.size()),
                   String::toHexExcerpt(received).c_str());
    if (received.size() < 2) {
        Log::error("[Monet] ISO14443-3 answer of %zu bytes is too short", received.size());
        return MalformedMessage;
    }
    reply.assign(received.begin() + 2, received.end());
    if (frame[0] == UltralightWrite && reply.size() == 1 && reply[0] == 0x0A) {
        Log::debug("[Monet] Successful UL write execution ===> Return ACK (0x0A) without CRC");
        return CardOK;
    }
    // The reader drops the card's CRC_A; the Ultralight layer checks one.
    const uint16_t crc = NFC::crc16(reply.data(), reply.size(), 0x6363);
    NFC::ByteWriter(reply).u16le(crc);
    return CardOK;
}

bool SideChannelReader::isLUCcardPresent(int /*timeoutMs*/)
{
    Bytes reply;
    const int result = sendCmdISO14443_3({UltralightGetVersion, 0x00, 0x00}, reply, 30);
    if (result != 0) {
        Log::debug("[Monet] LUC card removed - error returned: %d", result);
        nonEMVcardOver(2);
    }
    return result == 0;
}

bool SideChannelReader::checkDESFirePresence()
{
    SideChannelMsg::Ptr answer;
    const int result = command(PASS_THROUGH_APDU, {0x90, 0x20, 0x00, 0x00, 0x00},
                               "[Monet] Card removed (Error returned: %d)", &answer, m_times.presenceMs);
    if (result != 0)
        return false;
    uint8_t sw1 = 0, sw2 = 0;
    if (!statusWord(answer->data(), sw1, sw2)) {
        Log::error("[Monet] Card removed (Error returned: %d)", MalformedMessage);
        return false;
    }
    if (sw1 == 0x91 && sw2 == 0x1C)
        return true;
    Log::error("[Monet] Card removed (SW1SW2 received: 0x%02X%02X)", sw1, sw2);
    return false;
}

int SideChannelReader::passThroughAPDU(const Bytes& commandFrame, Bytes& reply, int timeoutMs)
{
    if (Log::enabled(Log::LevelDebug))
        Log::debug("[Monet] APDU request(%d): %s", static_cast<int>(commandFrame.size()),
                   String::toHexExcerpt(commandFrame).c_str());
    if (commandFrame.empty()) {
        Log::error("[Monet] Empty passThroughAPDU command refused");
        return GeneralError;
    }
    if (commandFrame[0] == DesfireWriteRecord && commandFrame.size() > LongestUnsplitRecordWrite) {
        Log::info("[Monet] Store data of 0x3B command and return 0xAF");
        m_recordData = commandFrame;
        reply.assign(1, AdditionalFrame);
        return CardOK;
    }
    Bytes frame;
    if (commandFrame[0] == AdditionalFrame && !m_recordData.empty()) {
        Log::info("[Monet] APDU command = Stored first part data + Second part data");
        frame.reserve(m_recordData.size() + commandFrame.size() - 1);
        frame = m_recordData;
        frame.insert(frame.end(), commandFrame.begin() + 1, commandFrame.end());
        frame[0] = DesfireMergedRecord;
    } else {
        frame = commandFrame;
    }
    clearRecordData();

    const size_t parameters = frame.size() - 1;
    if (parameters > 255) {
        Log::error("[Monet] passThroughAPDU command of %zu bytes does not fit a short APDU", frame.size());
        return GeneralError;
    }
    Log::debug("[Monet] Sending passThroughAPDU command 0x%02X", frame[0]);
    Log::debug("[Monet] Sending command: %02X", frame[0]);
    Bytes data;
    NFC::ByteWriter wrap(data);
    wrap.u8(0x90).u8(frame[0]).u8(0x00).u8(0x00);
    if (parameters > 0)
        wrap.u8(static_cast<uint8_t>(parameters)).bytes(frame.data() + 1, parameters);
    wrap.u8(0x00);

    SideChannelMsg::Ptr answer;
    const int result = command(PASS_THROUGH_APDU, data,
                               "[Monet] Error received in passThroughAPDU response: %d", &answer, timeoutMs);
    if (result != 0)
        return result;
    const Bytes received = answer->data();
    uint8_t sw1 = 0, sw2 = 0;
    if (!statusWord(received, sw1, sw2)) {
        Log::error("[Monet] Error received in passThroughAPDU response: %d", MalformedMessage);
        return MalformedMessage;
    }
    if (sw1 != 0x91) {
        Log::error("[Monet] Error in passThroughAPDU - SW1SW2 received: 0x%02X%02X", sw1, sw2);
        reply.clear();
        return GeneralError;
    }
    // The DESFire native answer: status first, then the data.
    reply.clear();
    reply.reserve(received.size() - 1);
    reply.push_back(sw2);
    reply.insert(reply.end(), received.begin(), received.end() - 2);
    return CardOK;
}

int SideChannelReader::SAMpassThroughAPDU(uint8_t slot, const Bytes& apdu, Bytes& reply, int& statusWord)
{
    return samCommand(slot, apdu, reply, statusWord, false);
}

int SideChannelReader::SAMpassThroughTPDU(uint8_t slot, const Bytes& tpdu, Bytes& reply, int& statusWord)
{
    return samCommand(slot, tpdu, reply, statusWord, true);
}

int SideChannelReader::samCommand(uint8_t slot, const Bytes& apdu, Bytes& reply, int& statusWord, bool t0)
{
    if (apdu.size() < 4) {
        Log::error("[Monet] SAM APDU of %zu bytes refused", apdu.size());
        return GeneralError;
    }
    Log::debug("[Monet] Sending 7816 command 0x%02X", apdu[1]);
    Bytes data;
    data.reserve(apdu.size() + 1);
    NFC::ByteWriter(data).u8(slot).bytes(apdu);
    SideChannelMsg::Ptr answer;
    int result =
        command(SAM_COMMAND, data, "[Monet] Error received in passThroughAPDU response: %d", &answer);
    if (result != 0) {
        if (result == NoAnswer) {
            Log::error("[Monet] SAM command timeout ===> Set m_SAMcmdTimeout");
            m_SAMcmdTimeout = true;
        }
        return result;
    }
    m_SAMcmdTimeout = false;
    const Bytes received = answer->data();
    uint8_t sw1 = 0, sw2 = 0;
    if (!MonetReader::statusWord(received, sw1, sw2)) {
        Log::error("[Monet] Error received in passThroughAPDU response: %d", MalformedMessage);
        return MalformedMessage;
    }
    if (sw1 == 0x90) {
        Log::debug("[Monet] SW1SW2 received: 0x%02X%02X", sw1, sw2);
        reply.assign(received.begin(), received.end() - 2);
    } else {
        // 61xx (more to fetch) and 6Cxx (ask again with this length) are how a T=0 command goes on.
        if (t0 && (sw1 == 0x61 || sw1 == 0x6C))
            Log::debug("[Monet] SW1SW2 received: 0x%02X%02X", sw1, sw2);
        else
            Log::error("[Monet] Error in passThroughAPDU - SW1SW2 received: 0x%02X%02X", sw1, sw2);
        result = GeneralError;
    }
    statusWord = sw1 * 256 + sw2;
    Log::debug("[Monet] Status returned: %d", statusWord);
    return result;
}

}  // namespace MonetReader
