#include "emulators/LGSamResponder.h"

#include "emulators/Hex.h"

namespace emulators {

namespace {

bool isGetResponse(const Bytes& header)
{
    return header.size() == 5 && header[0] == 0x00 && header[1] == 0xC0 && header[2] == 0x00 &&
           header[3] == 0x00;
}

}  // namespace

const Bytes LGSamResponder::Atr = {0x3B, 0x72, 0x18, 0x00, 0x00, 0xAA, 0xDD};

void LGSamResponder::expect(const Bytes& command, const Bytes& answer, uint16_t sw)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.add({command, answer, sw});
}

void LGSamResponder::expectFetch(const Bytes& command, const Bytes& answer, uint16_t finalSw)
{
    const uint8_t xx = static_cast<uint8_t>(answer.size());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.add({command, {}, static_cast<uint16_t>(0x6100 | xx)});
    m_script.add({{0x00, 0xC0, 0x00, 0x00, xx}, answer, finalSw});
}

void LGSamResponder::load(std::vector<Exchange> script)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.assign(std::move(script));
    m_done.clear();
    m_waiting = 0;
}

std::vector<LGSamResponder::Exchange> LGSamResponder::exchanges() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_done;
}

std::vector<Bytes> LGSamResponder::ppsRequests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pps;
}

std::vector<Bytes> LGSamResponder::commSettings() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings;
}

bool LGSamResponder::allUsed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_script.allUsed();
}

bool LGSamResponder::clean() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_script.clean();
}

std::string LGSamResponder::report() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_script.report([](const Exchange& next) { return toHex(next.command); });
}

std::optional<Bytes> LGSamResponder::powerOn()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_powered = true;
    m_waiting = 0;
    return m_atr;
}

void LGSamResponder::powerOff()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_powered = false;
}

std::optional<Bytes> LGSamResponder::transceive(const Bytes& raw)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pps.push_back(raw);
    return raw;
}

void LGSamResponder::setCommSettings(const Bytes& settings)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings.push_back(settings);
}

std::optional<SlotCard::Response> LGSamResponder::apdu(const Apdu& command)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.offScript("APDU " + toHex(command.encode()) + " to a T=0 SAM");
    return std::nullopt;
}

std::optional<SlotCard::Response> LGSamResponder::tpdu(const Bytes& header, const Bytes& data)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Bytes command = header;
    command.insert(command.end(), data.begin(), data.end());
    const std::string text = toHex(command);
    if (!m_powered) {
        m_script.offScript("TPDU " + text + " to an unpowered SAM");
        return std::nullopt;
    }
    if (header.size() != 5) {
        m_script.offScript("TPDU header of " + std::to_string(header.size()) + " bytes: " + text);
        return std::nullopt;
    }
    // In T=0 P3 counts the data that follows the header; a P3 that disagrees would leave the SAM
    // waiting for bytes or taking the next command's bytes as data.
    if (!data.empty() && header[4] != data.size()) {
        m_script.offScript("P3 " + std::to_string(header[4]) + " with " + std::to_string(data.size()) +
                           " data bytes: " + text);
        return std::nullopt;
    }
    if (isGetResponse(header) && header[4] != (m_waiting & 0xFF)) {
        m_script.offScript("GET RESPONSE for " + std::to_string(header[4]) + " bytes where " +
                           std::to_string(m_waiting) + " wait: " + text);
        return std::nullopt;
    }
    std::optional<Exchange> taken = m_script.takeIf([&](const Exchange& e) { return e.command == command; });
    if (!taken) {
        const Exchange* next = m_script.next();
        m_script.offScript("unexpected TPDU " + text +
                           (next ? ", expected " + toHex(next->command) : std::string(", script done")));
        return std::nullopt;
    }
    Exchange& step = *taken;
    m_waiting = (step.sw & 0xFF00) == 0x6100 ? ((step.sw & 0xFF) == 0 ? 256 : (step.sw & 0xFF)) : 0;
    m_done.push_back(step);
    return Response{step.answer, step.sw};
}

}  // namespace emulators
