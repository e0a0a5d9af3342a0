#include "NFC/Reader.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "NFC/Classic.h"
#include "NFC/EMV.h"
#include "NFC/Log.h"
#include "NFC/Protocols/DESFire.h"
#include "NFC/Protocols/LGsam.h"
#include "NFC/Protocols/MifareSAM.h"
#include "NFC/Protocols/Ultralight.h"
#include "core/Log.h"
#include "core/SerialPort.h"
#include "core/String.h"
#include "drivers/ElatecTWN/Driver.h"
#include "drivers/Monet/Factory.h"
#include "drivers/VUrurRemote/Driver.h"
#include "drivers/YarusRemote/Driver.h"

namespace NFC {

namespace {

const size_t MaxErrorMessage = 512;

// The liveness beep: volume 50, 2600 Hz, 70 ms on, nothing off.
const uint8_t BeepVolume = 50;
const uint16_t BeepFrequency = 2600;
const uint16_t BeepOnTime = 70;
const uint16_t BeepOffTime = 0;

// Only to see that the path is a serial device at all; the drivers choose their own settings.
const int ProbeBaud = 9600;

template <class D>
Reader::DriverFactory family(Reader::DriverFactory::Family kind, const char* name)
{
    return {kind, name, [] { return std::static_pointer_cast<Driver>(std::make_shared<D>()); }};
}

// A port is a decimal number from 1 to 65535, digits only; anything else is no port at all
// (rather than a number cut to 16 bits that would reach some other service).
bool parsePort(const std::string& text, int& port)
{
    if (text.empty() || text.size() > 5)
        return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535)
        return false;
    port = value;
    return true;
}

// What the networked families take for an address: a dotted IPv4 address, "localhost" standing for
// 127.0.0.1. Host names are never resolved.
bool numericHost(const std::string& host)
{
    in_addr address{};
    return host == "localhost" || ::inet_pton(AF_INET, host.c_str(), &address) == 1;
}

std::shared_ptr<Tag> makeDESFire(std::shared_ptr<ISO14443> link, const std::vector<uint8_t>& uid,
                                 const std::vector<uint8_t>& ats)
{
    return std::make_shared<DESFire>(std::move(link), uid, ats);
}

const std::map<uint32_t, std::string>& typeNames()
{
    static const std::map<uint32_t, std::string> names = {
        {Driver::Unknown, "unknown"},
        {Driver::Local, "local"},
        {Driver::Serial, "serial"},
        {Driver::USB, "usb"},
    };
    return names;
}

}  // namespace

Reader::DriverFactories Reader::defaultDriverFactories()
{
    Monet::Driver::Setup monet;
    return {
        family<VUrurRemote::Driver>(DriverFactory::Networked, "VUrurRemote"),
        family<ElatecTWN::Driver>(DriverFactory::Serial, "ElatecTWN"),
        family<YarusRemote::Driver>(DriverFactory::Serial, "YarusRemote"),
        Monet::driverFactory(std::move(monet)),
    };
}

Reader::Reader() : Reader(defaultDriverFactories()) {}

Reader::Reader(DriverFactories factories, const std::string& lockDirectory)
    : m_factories(std::move(factories)),
      m_hold(lockDirectory, [this](const std::string& device) { return claimant(device) != nullptr; })
{
}

Reader::~Reader()
{
    if (m_driver && m_driver->close()) {
        m_slots.clear();
        m_iso14443.reset();
        m_driver.reset();
    }
}

const Reader::DriverFactory* Reader::claimant(const std::string& device) const
{
    for (const DriverFactory& factory : m_factories)
        if (factory.family == DriverFactory::Serial && factory.claims && factory.claims(device))
            return &factory;
    return nullptr;
}

bool Reader::open(const std::string& device, int baud)
{
    return openDevice(device, baud);
}

std::shared_ptr<Driver> Reader::makeDevice(const std::string& device, int baud)
{
    Log::print(Log::Reader, "Probing for NFC devices...");

    std::shared_ptr<Driver> found;
    const size_t colon = device.find(':');
    const std::string host = device.substr(0, colon);
    int port = DefaultNetworkPort;
    bool portValid = true;
    if (colon != std::string::npos && colon + 1 < device.size())
        portValid = parsePort(device.substr(colon + 1), port);
    // The device is the user's text, shown bounded and escaped wherever it goes.
    const std::string shownDevice = String::escaped(device, String::MaxPathExcerptBytes);
    if (!portValid)
        Log::print(Log::Reader, "Not a network port in '%s'", shownDevice.c_str());

    // A path is never a host: a serial device makes no networked try and no name lookup.
    const bool path = !device.empty() && device[0] == '/';
    // host:port, and a host alone that is "localhost" or a dotted IPv4 address, name the networked
    // reader: when it fails, its cause is the one reported, not that of opening the same text as a
    // serial line.
    const bool networked = !path && ((colon != std::string::npos && colon > 0) ||
                                     (colon == std::string::npos && numericHost(device)));
    if (networked)
        m_hold.takeNone();
    std::string networkError;
    if (!portValid)
        networkError = "bad port '" + String::escaped(device.substr(colon + 1)) + "'";
    else if (networked && !numericHost(host))
        networkError = "'" + String::escaped(host, String::MaxPathExcerptBytes) +
                       "' is not a numeric IPv4 address";
    for (const DriverFactory& factory : m_factories) {
        if (factory.family != DriverFactory::Networked || !portValid || path)
            continue;
        std::shared_ptr<Driver> driver = factory.make();
        std::string error;
        if (driver && driver->open(host, port, &error)) {
            found = std::move(driver);
            break;
        }
        if (networkError.empty())
            networkError = error.empty() ? "no answer from the reader" : error;
    }
    // A failure keeps the hold: the program tries this device again (the manager does every 2 s),
    // and a stalled reader let go between two tries would be another program's to take.
    const auto failed = [&](const std::string& serialError) {
        if (networked && !networkError.empty())
            setError("makeDevice", -1, "networked reader '" + shownDevice + "': " + networkError);
        else
            setError("makeDevice", -1, serialError);
        return nullptr;
    };

    // Every serial family, the one that claims the device included, works behind the hold: a
    // device another program holds is never probed, and its line never touched.
    std::string refused;
    if (!found && !networked && !m_hold.take(device, refused))
        return failed(refused);

    const DriverFactory* const holder = claimant(device);
    if (!found && holder) {
        Log::print(Log::Reader, "'%s' is held by %s", shownDevice.c_str(), holder->name.c_str());
        std::shared_ptr<Driver> driver = holder->make();
        if (driver && driver->open(device, baud, nullptr))
            found = std::move(driver);
    } else if (!found) {
        SerialPort port;
        if (!port.open(device, ProbeBaud, -1, 8, 1, 0))
            return failed(port.errorStr());
        port.close();

        for (const DriverFactory& factory : m_factories) {
            if (factory.family != DriverFactory::Serial)
                continue;
            std::shared_ptr<Driver> driver = factory.make();
            if (driver && driver->open(device, baud, nullptr)) {
                found = std::move(driver);
                break;
            }
        }
    }

    if (!found)
        return failed("NFC device not found");
    const Driver::Info info = found->info();
    Log::print(Log::Reader, "Found '%s' device : %s",
               String::escaped(info.manufacturer, String::MaxTextExcerptBytes).c_str(),
               String::escaped(info.firmware, String::MaxTextExcerptBytes).c_str());
    return found;
}

bool Reader::openDevice(const std::string& device, int baud)
{
    if (m_driver && m_driver->isOpen()) {
        Log::print(Log::Reader, "NFC Driver already open. Closing...");
        m_driver->close();
        m_driver.reset();
    }

    m_driver = makeDevice(device, baud);
    if (!m_driver)
        return false;

    if (!m_driver->beep(BeepVolume, BeepFrequency, BeepOnTime, BeepOffTime)) {
        setError("openDevice", -1, "Device not responding");
        m_driver.reset();
        return false;
    }

    m_iso14443 = std::make_shared<ISO14443>(m_driver);
    const int slots = m_driver->ISO7816_slots();
    for (int slot = 0; slot < slots; ++slot) m_slots[slot] = std::make_shared<ISO7816>(m_driver, slot);
    return true;
}

bool Reader::isOpen() const
{
    return m_driver && m_driver->status();
}

std::string Reader::manufacturer() const
{
    return m_driver ? m_driver->info().manufacturer : std::string();
}

std::string Reader::model() const
{
    return m_driver ? m_driver->info().model : std::string();
}

std::string Reader::firmware() const
{
    return m_driver ? m_driver->info().firmware : std::string();
}

std::string Reader::deviceUID() const
{
    return m_driver ? m_driver->info().deviceUID : std::string();
}

std::string Reader::appUpdateResult() const
{
    return m_driver ? m_driver->info().appUpdateResult : std::string();
}

std::string Reader::sysUpdateResult() const
{
    return m_driver ? m_driver->info().sysUpdateResult : std::string();
}

std::string Reader::type() const
{
    if (!m_driver)
        return std::string();
    const auto& names = typeNames();
    const auto it = names.find(m_driver->info().type);
    return it == names.end() ? std::string() : it->second;
}

bool Reader::enableRF()
{
    return m_driver && m_driver->enableRF();
}

bool Reader::disableRF()
{
    return m_driver && m_driver->disableRF();
}

bool Reader::beep(uint8_t volume, uint16_t frequency, uint16_t onTime, uint16_t offTime)
{
    return m_driver && m_driver->beep(volume, frequency, onTime, offTime);
}

bool Reader::setLEDs(uint8_t mask)
{
    return m_driver && m_driver->setLEDs(mask);
}

bool Reader::setScreen(Driver::Screen screen)
{
    return m_driver && m_driver->setScreen(screen);
}

bool Reader::setTagTypes(uint32_t lfTypes, uint32_t hfTypes)
{
    if (!m_driver)
        return false;
    if (!m_driver->setTagTypes(lfTypes, hfTypes)) {
        setError("setTagTypes", -1, "Failed to set allowed Tag types");
        return false;
    }
    return true;
}

int Reader::numberOfSlots() const
{
    return m_driver ? m_driver->ISO7816_slots() : 0;
}

bool Reader::isSlotEmpty(int slot)
{
    const auto it = m_slots.find(slot);
    if (it == m_slots.end())
        return false;
    return it->second->state() == 0;
}

bool Reader::updateFirmware(const std::string& file, bool& flag,
                            const std::function<void(int, int, int)>& progress)
{
    return m_driver && m_driver->updateFirmware(file, flag, progress);
}

void Reader::setError(const std::string& function, int code, const char* format, ...)
{
    char buffer[MaxErrorMessage];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    setError(function, code, std::string(buffer));
}

void Reader::setError(const std::string& function, int code, const std::string& message)
{
    m_lastError = Error(function, code, message);
    Log::print(Log::Reader, "ERROR: (%i) %s: %s", code, function.c_str(), message.c_str());
}

std::shared_ptr<Tag> Reader::searchTag(int timeout)
{
    if (!m_driver)
        return nullptr;
    int type = 0;
    std::vector<uint8_t> uid;
    std::vector<uint8_t> ats;
    if (!m_driver->searchTag(type, uid, ats, timeout))
        return nullptr;
    return makeTag(type, uid, ats);
}

std::shared_ptr<Tag> Reader::makeTag(int type, const std::vector<uint8_t>& uid,
                                     const std::vector<uint8_t>& ats)
{
    switch (type) {
        case Tag::MifareClassic1K:
        case Tag::MifareClassic4K:
            return Classic::make(m_iso14443, uid, ats);
        case Tag::MifareUltralight:
            return Ultralight::make(m_iso14443, uid, ats);
        case Tag::MifareDESFire:
            return makeDESFire(m_iso14443, uid, ats);
        case Tag::EMV:
            return EMV::make(m_iso14443, uid, ats);
        default:
            return Tag::make(m_iso14443, static_cast<Tag::Type>(type), uid, ats);
    }
}

std::shared_ptr<SAM> Reader::makeSAM(std::shared_ptr<ISO7816> link, const std::vector<uint8_t>& atr)
{
    // Whole-ATR matches only: a SAM that differs in any byte is not one we know how to drive.
    if (atr == MifareSAM::ExpectedATR_AV2 || atr == MifareSAM::ExpectedATR_AV3)
        return std::make_shared<MifareSAM>(std::move(link), atr);
    if (atr == LGsam::ExpectedATR)
        return std::make_shared<LGsam>(std::move(link), atr);
    return SAM::make(std::move(link), atr, SAM::Plain);
}

std::shared_ptr<SAM> Reader::turnOnSam(int slot)
{
    const auto it = m_slots.find(slot);
    if (it == m_slots.end())
        return nullptr;
    const std::shared_ptr<ISO7816> link = it->second;

    Log::print(Log::Reader, "[Slot#%d] Turning on SAM", slot);
    std::vector<uint8_t> atr;
    if (!link->powerOn(&atr)) {
        Log::print(Log::Reader, "[Slot#%d] Could not turn on SAM", slot);
        return nullptr;
    }
    if (::Log::enabled(::Log::LevelDebug))
        Log::print(Log::Reader, "[Slot#%d] ATR : %s", slot, String::toHexExcerptSized(atr).c_str());
    Log::print(Log::Reader, "[Slot#%d] Setting PPS", slot);

    std::shared_ptr<SAM> sam = makeSAM(link, atr);
    if (!sam->setDefaultPPS()) {
        Log::print(Log::Reader, "[Slot#%d] Failed to set PPS", slot);
        return nullptr;
    }
    Log::print(Log::Reader, "[Slot#%d] SAM turned on (type=%d)", slot, static_cast<int>(sam->type()));
    return sam;
}

}  // namespace NFC
