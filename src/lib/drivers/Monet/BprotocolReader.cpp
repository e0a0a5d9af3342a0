#include "drivers/Monet/BprotocolReader.h"

#include <zlib.h>

#include <climits>
#include <fstream>
#include <stdexcept>

#include "core/Base64.h"
#include "core/Log.h"
#include "core/String.h"

namespace MonetReader {

namespace {

constexpr const char* MarkerName = "MonetFW.mfh";

// No exception leaves a command: the driver above must keep running whatever the peer sent.
template <typename F>
int guarded(const char* what, F&& body)
{
    try {
        return body();
    } catch (const std::exception& e) {
        Log::error("[Monet] ERROR: %s failed: %s", what,
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        Log::error("[Monet] ERROR: %s failed", what);
    }
    return ErrorNotSent;
}

// The reader's code is the text after its first character; a tail without leading digits is no
// code at all, which must not pass for success.
int parseResultTail(const std::string& text)
{
    int64_t value = 0;
    size_t digits = 0;
    for (size_t i = 1; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX)
            return ErrorNotSent;
    }
    return digits == 0 ? static_cast<int>(ErrorNotSent) : static_cast<int>(value);
}

}  // namespace

BprotocolReader::BprotocolReader(BprotocolTransport& transport, const Monet::Timing& timing,
                                 std::shared_ptr<Monet::Clock> clock,
                                 Monet::ConfigurationProvider configuration)
    : m_transport(transport),
      m_timing(timing),
      m_clock(clock ? std::move(clock) : Monet::Clock::system()),
      m_configuration(std::move(configuration)),
      m_compress(&BprotocolReader::gzipCompress)
{
}

BprotocolMsg::Ptr BprotocolReader::makeCommand(Command command, int type, bool nProtocol)
{
    BprotocolMsg::Ptr msg = BprotocolMsg::make();
    msg->setType(type);
    msg->setNprotocol(nProtocol);
    const uint8_t code = command;
    msg->pushFID(FidCommand, String::toHex(&code, 1));
    return msg;
}

int BprotocolReader::getResult(const BprotocolMsg& msg)
{
    const std::string text = msg.popFID(FidResult);
    if (text.empty() || text == "000")
        return Success;
    if (text.size() == 3 && text[0] == '0' && text[1] == '0' && text[2] >= '1' && text[2] <= '9') {
        Log::error("[Monet] Reader returned approval code: %s", text.c_str());  // three digits
        return Success;
    }
    Log::error("[Monet] Reader returned error: %s",
               String::escaped(text, String::MaxTextExcerptBytes).c_str());
    return parseResultTail(text);
}

int BprotocolReader::checkMsgResponse(const BprotocolMsg::Ptr& msg)
{
    if (!msg)
        return ErrorNoAnswer;
    if (!msg->valid()) {
        Log::info("[Monet] Malformed Message");
        return ErrorMalformed;
    }
    return getResult(*msg);
}

int BprotocolReader::requestWithResend(Command command, bool nProtocol, const char* sending,
                                       const char* resending, BprotocolMsg::Ptr& answer)
{
    Log::debug("%s", sending);
    const BprotocolMsg::Ptr request = makeCommand(command, Request, nProtocol);
    answer = m_transport.transceive(request, static_cast<int>(m_timing.requestMs));
    int result = checkMsgResponse(answer);
    const uint8_t code = command;
    if (result == Success && answer && answer->popFID(FidCommand) == String::toHex(&code, 1))
        return result;
    Log::debug("%s", resending);
    answer = m_transport.transceive(request, static_cast<int>(m_timing.requestMs));
    return checkMsgResponse(answer);
}

int BprotocolReader::getInfo(Info& info)
{
    return guarded("getInfo", [&] {
        info.values = {4, 4};
        info.product = "Monet";
        info.vendor = "Terminal Technologies";
        BprotocolMsg::Ptr answer;
        const int result = requestWithResend(GetAppInfo, false, "[Monet] Sending command GetAppInfo...",
                                             "[Monet] Re-sending command GetAppInfo...", answer);
        info.version = result == Success && answer ? answer->popFID(FidText) : std::string();
        m_transport.getTerminalId(info.terminalId);
        return result;
    });
}

int BprotocolReader::setTerminalDateTime()
{
    return guarded("setTerminalDateTime", [&] {
        BprotocolMsg::Ptr answer;
        return requestWithResend(SyncTime, true, "[Monet] Sending command SyncTime to N-protocol...",
                                 "[Monet] Re-sending command SyncTime...", answer);
    });
}

int BprotocolReader::getMaintenanceAppVersion(std::string& version)
{
    return guarded("getMaintenanceAppVersion", [&] {
        BprotocolMsg::Ptr answer;
        const int result =
            requestWithResend(GetAppInfo, true, "[Monet] Sending command GetAppInfo to N-protocol...",
                              "[Monet] Re-sending command GetAppInfo...", answer);
        if (result == Success && answer)
            version = answer->popFID(FidText);
        return result;
    });
}

int64_t BprotocolReader::elapsedSeconds(int64_t startMs) const
{
    return (m_clock->nowMillis() - startMs) / 1000;
}

int BprotocolReader::switchAntenna()
{
    return guarded("switchAntenna", [&] {
        const int64_t start = m_clock->nowMillis();
        BprotocolMsg::Ptr request = makeCommand(TermCless, Request, false);
        request->pushsFID(SfidCless, "3");
        Log::debug("[Monet] Sending command TermCless...");
        if (!m_transport.transmit(request))
            return static_cast<int>(ErrorNotSent);
        while (true) {
            const int64_t elapsed = elapsedSeconds(start);
            const BprotocolMsg::Ptr answer = m_transport.receive(static_cast<int>(m_timing.antennaReceiveMs));
            const int result = checkMsgResponse(answer);
            if (result == 30) {
                Log::info("[Monet] Already in TAP mode ===> Return Success");
                return static_cast<int>(Success);
            }
            if (result != Success)
                return result;
            if (elapsed > m_timing.antennaLimitMs / 1000) {
                Log::error("[Monet] Timeout occurred during antenna switching");
                return static_cast<int>(ErrorNoAnswer);
            }
            if (answer->type() != Intermediate)
                return static_cast<int>(Success);
        }
    });
}

int BprotocolReader::enableRF()
{
    return guarded("enableRF", [&] {
        Log::debug("[Monet] Sending command TapModeStart...");
        if (m_tapMode) {
            Log::info("Tap Mode already enabled ===> Return Success");
            return static_cast<int>(Success);
        }
        BprotocolMsg::Ptr request = makeCommand(TapModeStart, Request, false);
        request->pushFID(FidTapKind, "2");
        int result = checkMsgResponse(m_transport.transceive(request, static_cast<int>(m_timing.requestMs)));
        if (result == ErrorNoAnswer)
            result = checkMsgResponse(m_transport.transceive(request, static_cast<int>(m_timing.requestMs)));
        if (result == 22) {
            Log::info("[Monet] Already in Tap Mode ===> Return Success");
            result = Success;
        }
        if (result == Success)
            m_tapMode = true;
        return result;
    });
}

int BprotocolReader::disableRF()
{
    m_tapMode = false;
    return guarded("disableRF", [&] {
        Log::debug("[Monet] Sending command TapModeStop...");
        const BprotocolMsg::Ptr request = makeCommand(TapModeStop, Request, false);
        int result = checkMsgResponse(m_transport.transceive(request, static_cast<int>(m_timing.requestMs)));
        if (result == 22) {
            Log::info("[Monet] Not in Tap mode (Already disabled) ===> Return Success");
            result = Success;
        }
        return result;
    });
}

std::vector<uint8_t> BprotocolReader::gzipCompress(const std::string& text)
{
    if (text.size() > 2000000000u)
        throw std::runtime_error("size may use more memory than intended when decompressing");
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflate init failed");
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    std::vector<uint8_t> out;
    const size_t step = text.size() / 2 + 1024;
    int rc = Z_OK;
    do {
        const size_t produced = out.size();
        out.resize(produced + step);
        stream.next_out = out.data() + produced;
        stream.avail_out = static_cast<uInt>(step);
        rc = deflate(&stream, Z_FINISH);
        out.resize(produced + (step - stream.avail_out));
        if (rc == Z_STREAM_ERROR)
            break;
    } while (rc != Z_STREAM_END);
    deflateEnd(&stream);
    if (rc != Z_STREAM_END)
        throw std::runtime_error("deflate failed");
    return out;
}

int BprotocolReader::completeEMVtransaction(const std::string& tripData, std::vector<std::string>& cardData)
{
    return guarded("completeEMVtransaction", [&] {
        BprotocolMsg::Ptr request = makeCommand(TapModePoll, Request, false);
        int result = Success;
        bool added = false;
        if (tripData.empty()) {
            Log::error("No tripData received! ===> Return ERROR: NoTicketsSelected");
            result = ErrorNoTripData;
        } else {
            Log::info("tripData received: %s",
                      String::escaped(tripData, String::MaxPayloadExcerptBytes).c_str());
            std::string base64;
            try {
                base64 = Base64::encodeV(m_compress(tripData));
            } catch (const std::exception& e) {
                // The poll still goes out, so that the reader's transaction is closed.
                Log::error("[Monet] ERROR: Cannot compress tripData: %s",
                           String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
                result = ErrorNotSent;
            }
            if (result == Success) {
                Log::info("tripDataBase64(%d): %s", static_cast<int>(base64.size()),
                          String::escaped(base64, String::MaxPayloadExcerptBytes).c_str());
                if (base64.size() > MaxTripDataBase64) {
                    Log::error("tripData > 256 bytes! ===> Return ERROR: TripDataTooBig");
                    result = ErrorTripDataTooBig;
                } else {
                    Log::info("//Add Base64 data to message");
                    request->pushsFID(SfidTripData, base64);
                    added = true;
                }
            }
        }
        Log::debug("[Monet] Sending command TapModePoll...");
        const BprotocolMsg::Ptr answer =
            m_transport.transceive(request, static_cast<int>(m_timing.requestMs));
        if (added) {
            result = checkMsgResponse(answer);
            if (result != Success)
                Log::error("An error occured during EMV transaction completion: %d", result);
        }
        if (!answer) {
            Log::info("[Monet] No Card Data Received!");
            return result;
        }
        Log::info("[Monet] Card Data Received:");
        const std::pair<const char*, std::string> items[] = {
            {"UID", answer->popsFID(SfidCardUID)},
            {"EMVcardToken", answer->popFID(FidCardToken)},
            {"CardBrand", answer->popFID(FidCardBrand)},
            {"MaskedPAN", answer->popFID(FidMaskedPAN)},
        };
        for (const auto& item : items) {
            cardData.push_back(item.second);
            Log::info("[Monet] %s: %s", item.first,
                      String::escaped(item.second, String::MaxTextExcerptBytes).c_str());
        }
        return result;
    });
}

BprotocolReader::Marker BprotocolReader::firmwareMarker()
{
    const nlohmann::json value = Monet::configurationValue(m_configuration, "rfid/firmwarePath");
    std::string directory = ".";
    if (!value.is_null()) {
        if (!value.is_string()) {
            Log::error("[Monet] ERROR: \"firmwarePath\" is not a text");
            return Marker::BadPath;
        }
        directory = value.get<std::string>();
    }
    // An empty path names no directory; the configuration takes it as the working one, and so does
    // the marker, which would otherwise land at the filesystem's root.
    if (directory.empty())
        directory = ".";
    std::string path = directory;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += MarkerName;
    Log::error("[Monet] Creating Monet FW file %s",
               String::excerpt(path, String::MaxPathExcerptBytes).c_str());
    std::ofstream file(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file) {
        Log::error("[Monet] Failed to create Monet FW file");
        return Marker::NotCreated;
    }
    return Marker::Created;
}

bool BprotocolReader::createFirmwareFile()
{
    return guarded("createFirmwareFile", [&] { return firmwareMarker() == Marker::Created ? 1 : 0; }) == 1;
}

int BprotocolReader::updateParamsFirmware(bool& rebootNotified, int timeoutS, const Progress& progress,
                                          bool& firmwareNotified)
{
    return guarded("updateParamsFirmware",
                   [&] { return download(rebootNotified, timeoutS, progress, firmwareNotified); });
}

int BprotocolReader::download(bool& rebootNotified, int timeoutS, const Progress& progress,
                              bool& firmwareNotified)
{
    const auto report = [&](int percent, int minutes, int seconds) {
        if (progress)
            progress(percent, minutes, seconds);
    };
    const int64_t start = m_clock->nowMillis();
    report(0, 0, 0);

    Log::debug("[Monet] Sending command CallParams...");
    BprotocolMsg::Ptr opening = makeCommand(CallParams, Request, true);
    opening->pushFID(FidParams, "1");
    if (!m_transport.transmit(opening))
        return static_cast<int>(ErrorNotSent);

    int percent = 0;
    int minutes = 1;
    int seconds = 50;
    BprotocolMsg::Ptr answer;
    int64_t elapsed = 0;
    do {
        elapsed = elapsedSeconds(start);
        if (percent > 93) {
            percent = 95;
        } else {
            --seconds;
            ++percent;
            if (seconds == 0) {
                if (minutes == 1) {
                    minutes = 0;
                    seconds = 59;
                } else {
                    seconds = 1;
                }
            }
        }
        report(percent, minutes, seconds);

        answer = m_transport.receive(static_cast<int>(m_timing.tmsReceiveMs));
        const int result = checkMsgResponse(answer);
        if (result == 99) {
            const std::string text = answer->popFID(FidText);
            if (text == "Will reboot" && !rebootNotified) {
                rebootNotified = true;
                Log::warning("[Monet] WARNING: RFID Device will reboot. Waiting for 1 min...");
                if (minutes == 1)
                    seconds = 60;
                if (percent < 40)
                    percent = 40;
                for (int step = 0; step < m_timing.rebootSteps; ++step) {
                    m_clock->sleepMillis(m_timing.rebootStepMs);
                    if (seconds > 9)
                        seconds -= 10;
                    percent = percent <= 85 ? percent + 10 : 95;
                    report(percent, 0, seconds);
                }
                Log::info("[Monet] 1 min elapsed! Continue waiting for N2 message ...");
                minutes = 0;
            } else if (text == "Might reboot" && !firmwareNotified) {
                firmwareNotified = true;
                Log::info(
                    "[Monet] Reader FW udate notification received (might reboot) ===> Create MonetFW.mfh "
                    "to continue downloading");
                const Marker marker = firmwareMarker();
                if (marker == Marker::Created)
                    return static_cast<int>(FirmwareDownloadStarted);
                if (marker == Marker::BadPath)
                    return static_cast<int>(ErrorNotSent);
                Log::error("[Monet] Failed to display taskbar ===> Continue downloading ...");
            } else {
                Log::info("[Monet] Reader reboot notification received: %s ===> Continue downloading",
                          String::escaped(text, String::MaxTextExcerptBytes).c_str());
            }
        } else if (result != Success) {
            return result;
        }
    } while (elapsed <= timeoutS && answer->type() == Intermediate);

    const BprotocolMsg::Ptr closing = makeCommand(CallParams, Intermediate, true);
    if (!m_transport.transmit(closing)) {
        Log::error("[Monet] TMS update failed!");
        return static_cast<int>(ErrorNotSent);
    }
    report(100, 0, 0);
    Log::info("[Monet] TMS update successful!");
    return static_cast<int>(Success);
}

}  // namespace MonetReader
