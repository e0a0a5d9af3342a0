#include "NFC/Log.h"

#include <cstdarg>
#include <string>

#include "core/Log.h"
#include "core/String.h"

namespace {

// Which modules write; nothing switches any of them off today.
const uint32_t Modules = 0xFF;

const char* prefixOf(uint32_t module)
{
    switch (module) {
        case NFC::Log::Reader:
            return "[NFCReader] ";
        case NFC::Log::Crypto:
            return "[NFCCrypto] ";
        case NFC::Log::Card:
            return "[Card]      ";
        case NFC::Log::SAM:
            return "[SAM]       ";
        case NFC::Log::ISO7816:
            return "[ISO7816]   ";
        case NFC::Log::ISO14443:
            return "[ISO14443]  ";
        default:
            return "";
    }
}

// The header bytes and the data as the trace shows them; length counts the bytes shown.
std::string pduText(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, uint8_t p3,
                    const std::vector<uint8_t>* data, size_t& length)
{
    std::string text = String::format("%02X%02X%02X%02X%02X", cla, ins, p1, p2, p3);
    length = 5;
    if (data) {
        text += String::toHexExcerpt(*data);
        length += data->size();
    }
    return text;
}

}  // namespace

namespace NFC {

// The prefix is a constant of ours without '%', so joining it to the caller's (constant) format
// leaves the caller's conversions to match the caller's arguments.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void Log::print(Module module, const char* format, ...)
{
    if ((module & Modules) == 0 || !::Log::enabled(::Log::LevelDebug))
        return;
    const std::string joined = std::string(prefixOf(module)) + (format ? format : "");
    va_list args;
    va_start(args, format);
    ::Log::vprint(::Log::LevelDebug, joined.c_str(), args);
    va_end(args);
}
#pragma GCC diagnostic pop

void Log::outgoingPICC(const std::vector<uint8_t>& frame)
{
    if (!::Log::enabled(::Log::LevelDebug))
        return;
    print(ISO14443, "> (% 3d) %s", static_cast<int>(frame.size()), String::toHexExcerpt(frame).c_str());
}

void Log::incomingPICC(const std::vector<uint8_t>& frame)
{
    if (!::Log::enabled(::Log::LevelDebug))
        return;
    print(ISO14443, "< (% 3d) %s", static_cast<int>(frame.size()), String::toHexExcerpt(frame).c_str());
}

void Log::outgoingPDU(const Driver::TPDUHeader& header, const std::vector<uint8_t>* data)
{
    if (!::Log::enabled(::Log::LevelDebug))
        return;
    size_t length = 0;
    const std::string text = pduText(header.CLA, header.INS, header.P1, header.P2, header.P3, data, length);
    print(ISO7816, "> (% 3d) %s", static_cast<int>(length), text.c_str());
}

void Log::outgoingPDU(const Driver::APDUHeader& header, const std::vector<uint8_t>* data)
{
    if (!::Log::enabled(::Log::LevelDebug))
        return;
    size_t length = 0;
    std::string text = pduText(header.CLA, header.INS, header.P1, header.P2,
                               static_cast<uint8_t>(header.Lc & 0xFF), data, length);
    if (header.hasLe) {
        text += String::format("%02X", header.Le);
        length += 1;
    }
    print(ISO7816, "> (% 3d) %s", static_cast<int>(length), text.c_str());
}

void Log::incomingPDU(const std::vector<uint8_t>* response, int sw)
{
    if (!::Log::enabled(::Log::LevelDebug))
        return;
    const int length = static_cast<int>(response ? response->size() : 0) + 2;
    const std::string text = response ? String::toHexExcerpt(*response) : std::string();
    print(ISO7816, "< (% 3d) %s%04X", length, text.c_str(), sw);
}

}  // namespace NFC
