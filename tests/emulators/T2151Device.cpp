#include "emulators/T2151Device.h"

#include <chrono>

namespace emulators {

namespace {

const size_t MaxRecorded = 10000;
// The reader's own codes in answers: no card, no SAM, unknown command.
const uint32_t ResultFailed = 1;
const uint32_t ResultUnknown = 3;

T2151Device::Tlv tlv(uint8_t tag, Bytes value)
{
    return {tag, std::move(value)};
}

}  // namespace

T2151Device::Tlvs T2151Device::parse(const Bytes& payload, bool& ok)
{
    Tlvs out;
    size_t pos = 0;
    ok = true;
    while (pos < payload.size()) {
        if (payload.size() - pos < 3) {
            ok = false;
            break;
        }
        const size_t length = static_cast<size_t>(payload[pos + 1] << 8 | payload[pos + 2]);
        if (payload.size() - pos - 3 < length) {
            ok = false;
            break;
        }
        out.push_back({payload[pos], Bytes(payload.begin() + static_cast<long>(pos + 3),
                                           payload.begin() + static_cast<long>(pos + 3 + length))});
        pos += 3 + length;
    }
    return out;
}

Bytes T2151Device::encode(const Tlvs& tlvs)
{
    Bytes out;
    for (const Tlv& t : tlvs) {
        out.push_back(t.tag);
        out.push_back(static_cast<uint8_t>(t.value.size() >> 8));
        out.push_back(static_cast<uint8_t>(t.value.size()));
        out.insert(out.end(), t.value.begin(), t.value.end());
    }
    return out;
}

Bytes T2151Device::integer(uint32_t value, int width)
{
    Bytes out;
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return out;
}

const T2151Device::Tlv* T2151Device::find(const Tlvs& tlvs, uint8_t tag)
{
    for (const Tlv& t : tlvs)
        if (t.tag == tag)
            return &t;
    return nullptr;
}

uint32_t T2151Device::intOf(const Tlvs& tlvs, uint8_t tag, uint32_t fallback)
{
    const Tlv* t = find(tlvs, tag);
    if (!t)
        return fallback;
    uint32_t value = 0;
    for (uint8_t b : t->value) value = value << 8 | b;
    return value;
}

T2151Device::T2151Device() = default;

T2151Device::Tlvs T2151Device::handle(const Bytes& payload, int baud, int& switchTo, double atMs)
{
    bool ok = false;
    const Tlvs request = parse(payload, ok);
    const int command = static_cast<int>(intOf(request, 1, 0xFFFFFFFF));

    std::unique_lock<std::mutex> lock(m_mutex);
    record(request, payload, baud, true, atMs);

    auto result = [](uint32_t code) { return tlv(2, integer(code, 1)); };
    if (!ok)
        return {result(ResultUnknown)};

    switch (command) {
        case 1: {  // getInfo
            Tlvs out = {result(0),
                        tlv(3, integer(static_cast<uint32_t>(m_value3), 4)),
                        tlv(4, integer(static_cast<uint32_t>(m_value4), 4)),
                        tlv(5, Bytes(m_firmware.begin(), m_firmware.end())),
                        tlv(6, Bytes(m_manufacturer.begin(), m_manufacturer.end())),
                        tlv(7, Bytes(m_model.begin(), m_model.end()))};
            if (m_networked) {
                out.push_back(tlv(35, Bytes(m_appUpdate.begin(), m_appUpdate.end())));
                out.push_back(tlv(35, Bytes(m_sysUpdate.begin(), m_sysUpdate.end())));
            }
            Tlvs kept;
            for (Tlv& t : out) {
                bool dropped = false;
                for (uint8_t d : m_droppedInfoTags) dropped = dropped || d == t.tag;
                if (!dropped)
                    kept.push_back(std::move(t));
            }
            return kept;
        }
        case 2:  // getStatus
            return {result(0), tlv(8, integer(static_cast<uint32_t>(m_hardwareStatus), 1)),
                    tlv(9, integer(m_rf ? 1 : 0, 1)), tlv(10, integer(m_leds, 1))};
        case 4:  // setConfig: the new speed after this answer
            if (m_networked)
                return {result(ResultUnknown)};
            if (m_configResult == 0)
                switchTo = static_cast<int>(intOf(request, 12));
            return {result(static_cast<uint32_t>(m_configResult))};
        case 5:  // beep
        case 8:  // reboot
            return {result(0)};
        case 6:
            m_leds = static_cast<uint8_t>(intOf(request, 10));
            return {result(0)};
        case 9: {  // ping: echo the bytes
            const Tlv* data = find(request, 21);
            return {result(static_cast<uint32_t>(m_pingResult)), tlv(21, data ? data->value : Bytes{})};
        }
        case 17:
            m_rf = true;
            return {result(0)};
        case 18:
            if (!m_networked)
                return {result(ResultUnknown)};
            m_rf = false;
            return {result(0)};
        case 19: {  // searchTag
            if (!m_card && m_holdSearch) {
                const auto until =
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(intOf(request, 16));
                m_fieldChanged.wait_until(lock, until, [&] { return m_card || m_closed; });
            }
            if (!m_card)
                return {result(ResultFailed)};
            m_rf = true;
            const FieldCard::Identity id = m_card->identity();
            m_card->selected();
            return {result(0), tlv(18, integer(static_cast<uint32_t>(m_cardType), 4)), tlv(19, id.uid),
                    tlv(20, id.ats)};
        }
        case 32:
            return {result(m_card && m_rf ? 0 : ResultFailed)};
        case 33:
        case 34: {
            const Tlv* data = find(request, 21);
            if (!m_card || !m_rf || !data)
                return {result(ResultFailed)};
            const std::optional<Bytes> rx =
                command == 33 ? m_card->exchange3(data->value) : m_card->exchange4(data->value);
            if (!rx)
                return {result(ResultFailed)};
            return {result(0), tlv(21, *rx)};
        }
        default:
            if (command >= 48 && command <= 54)
                return handleSlot(command, request);
            return {result(ResultUnknown)};
    }
}

void T2151Device::misheard(const Bytes& payload, int baud, double atMs)
{
    bool ok = false;
    const Tlvs request = parse(payload, ok);
    std::lock_guard<std::mutex> lock(m_mutex);
    record(request, payload, baud, false, atMs);
}

void T2151Device::record(const Tlvs& request, const Bytes& payload, int baud, bool heard, double atMs)
{
    using namespace std::chrono;
    const double now =
        atMs >= 0 ? atMs : duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
    m_requests.push_back(
        {find(request, 1) ? static_cast<int>(intOf(request, 1)) : -1, request, payload, baud, heard, now});
    if (m_requests.size() > MaxRecorded)
        m_requests.pop_front();
    m_recorded.notify_all();
}

T2151Device::Tlvs T2151Device::handleSlot(int command, const Tlvs& request)
{
    auto result = [](uint32_t code) { return tlv(2, integer(code, 1)); };
    const uint32_t slot = intOf(request, 23, Slots);
    if (slot >= Slots)
        return {result(ResultFailed)};
    const std::shared_ptr<SlotCard>& sam = m_sams[slot];
    if (command == 48)
        return {result(0), tlv(32, integer(sam ? 1 : 0, 1))};
    if (!sam)
        return {result(ResultFailed)};
    const Tlv* data = find(request, 21);
    const Bytes noData;
    const Bytes& bytes = data ? data->value : noData;
    switch (command) {
        case 49: {
            const std::optional<Bytes> atr = sam->powerOn();
            if (!atr)
                return {result(ResultFailed)};
            return {result(0), tlv(22, *atr)};
        }
        case 50:
            sam->powerOff();
            return {result(0)};
        case 51:
            sam->setCommSettings(integer(intOf(request, 14), 1));
            return {result(0)};
        case 52: {
            const std::optional<Bytes> rx = sam->transceive(bytes);
            if (!rx)
                return {result(ResultFailed)};
            return {result(0), tlv(21, *rx)};
        }
        case 53:
        case 54: {
            std::optional<SlotCard::Response> response;
            if (command == 53) {
                const Bytes header = {
                    static_cast<uint8_t>(intOf(request, 25)), static_cast<uint8_t>(intOf(request, 26)),
                    static_cast<uint8_t>(intOf(request, 27)), static_cast<uint8_t>(intOf(request, 28)),
                    static_cast<uint8_t>(intOf(request, 29))};
                response = sam->tpdu(header, bytes);
            } else {
                SlotCard::Apdu apdu;
                apdu.cla = static_cast<uint8_t>(intOf(request, 25));
                apdu.ins = static_cast<uint8_t>(intOf(request, 26));
                apdu.p1 = static_cast<uint8_t>(intOf(request, 27));
                apdu.p2 = static_cast<uint8_t>(intOf(request, 28));
                apdu.hasLe = find(request, 31) != nullptr;
                apdu.le = static_cast<uint16_t>(intOf(request, 31));
                apdu.data = bytes;
                response = sam->apdu(apdu);
            }
            if (!response)
                return {result(ResultFailed)};
            return {result(0), tlv(24, integer(response->sw, 2)), tlv(21, response->data)};
        }
        default:
            return {result(ResultUnknown)};
    }
}

void T2151Device::setInfo(int value3, int value4, const std::string& firmware,
                          const std::string& manufacturer, const std::string& model)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_value3 = value3;
    m_value4 = value4;
    m_firmware = firmware;
    m_manufacturer = manufacturer;
    m_model = model;
}

void T2151Device::setNetworked(const std::string& appUpdate, const std::string& sysUpdate)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_networked = true;
    m_appUpdate = appUpdate;
    m_sysUpdate = sysUpdate;
}

void T2151Device::dropInfoTag(uint8_t tag)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_droppedInfoTags.push_back(tag);
}

void T2151Device::setHardwareStatus(int status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hardwareStatus = status;
}

void T2151Device::setPingResult(int result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pingResult = result;
}

void T2151Device::setConfigResult(int result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_configResult = result;
}

void T2151Device::setCard(std::shared_ptr<FieldCard> card, int typeCode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_card = std::move(card);
    m_cardType = typeCode;
    m_fieldChanged.notify_all();
}

void T2151Device::setSearchHold(bool hold)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holdSearch = hold;
}

void T2151Device::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_fieldChanged.notify_all();
}

void T2151Device::setSam(int slot, std::shared_ptr<SlotCard> sam)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (slot >= 0 && slot < Slots)
        m_sams[slot] = std::move(sam);
}

std::vector<T2151Device::Request> T2151Device::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<Request>(m_requests.begin(), m_requests.end());
}

std::vector<int> T2151Device::commands() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<int> out;
    for (const Request& r : m_requests) out.push_back(r.command);
    return out;
}

void T2151Device::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

bool T2151Device::waitForRequests(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_recorded.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_requests.size() >= count; });
}

bool T2151Device::rfOn() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rf;
}

uint8_t T2151Device::leds() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_leds;
}

}  // namespace emulators
