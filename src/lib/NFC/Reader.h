// The one object through which the program uses the RFID reader: it probes the reader families for
// a device string, checks that the reader answers, builds the contactless link and one contact
// link per SAM slot, turns detected cards into tag objects and powered SAMs into SAM objects,
// forwards the simple reader controls and keeps the last error. A serial device is held for this
// program alone from its first probe for as long as this facade keeps trying it, failed opens
// included, and a line our own link (pppd) runs on for as long as that link runs: the device's name
// and the node under it are both held, so another program's reader is refused before any driver
// touches the line, and so is a reader plugged in again under the name, however often, while the
// program that had it still wants it (the name where the lock directory lets it be held, the node
// alone elsewhere). Held by std::shared_ptr and used from the one thread that
// owns it; the driver, links, tags and SAMs it makes share the driver.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "NFC/DeviceHold.h"
#include "NFC/Driver.h"
#include "NFC/Error.h"
#include "NFC/ISO14443.h"
#include "NFC/ISO7816.h"
#include "NFC/SAM.h"
#include "NFC/Tag.h"

namespace NFC {

class Reader
{
public:
    // One reader family that makeDevice may try. A networked family is opened with the host and
    // port taken from the device string; a serial family with the device path and baud rate, and
    // only once the path opened as a serial port.
    struct DriverFactory
    {
        enum Family
        {
            Networked,
            Serial
        };
        Family family;
        std::string name;
        std::function<std::shared_ptr<Driver>()> make;
        // Optional: true while this family holds the device (its own link runs on it). The
        // device is then tried with this family alone and never opened by a serial probe.
        std::function<bool(const std::string& device)> claims = nullptr;
    };
    using DriverFactories = std::vector<DriverFactory>;

    // The families of this program in probing order: VUrur (networked), then Elatec TWN, Yarus
    // and Monet on the serial line.
    static DriverFactories defaultDriverFactories();

    static const int DefaultNetworkPort = 1973;

    Reader();
    // Probes only the given families, in the given order; device names are locked in lockDirectory.
    explicit Reader(DriverFactories factories, const std::string& lockDirectory = DeviceHold::SystemDirectory);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool open(const std::string& device, int baud);
    bool openDevice(const std::string& device, int baud);
    std::shared_ptr<Driver> makeDevice(const std::string& device, int baud);
    // A live query of the reader.
    bool isOpen() const;

    // Empty without a driver.
    std::string manufacturer() const;
    std::string model() const;
    std::string firmware() const;
    std::string deviceUID() const;
    std::string appUpdateResult() const;
    std::string sysUpdateResult() const;
    // "unknown", "local", "serial" or "usb"; empty without a driver or for a value outside these.
    std::string type() const;

    bool enableRF();
    bool disableRF();
    bool beep(uint8_t volume, uint16_t frequency, uint16_t onTime, uint16_t offTime);
    bool setLEDs(uint8_t mask);
    bool setScreen(Driver::Screen screen);
    bool setTagTypes(uint32_t lfTypes, uint32_t hfTypes);
    int numberOfSlots() const;
    // False for a slot the reader does not have.
    bool isSlotEmpty(int slot);
    bool updateFirmware(const std::string& file, bool& flag,
                        const std::function<void(int, int, int)>& progress);

    std::shared_ptr<ISO14443> iso14443() { return m_iso14443; }
    const Error& error() const { return m_lastError; }
    // Longer messages than 511 characters are cut.
    void setError(const std::string& function, int code, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    void setError(const std::string& function, int code, const std::string& message);

    // Empty when nothing was found within timeout ms or no reader is open.
    std::shared_ptr<Tag> searchTag(int timeout);
    std::shared_ptr<Tag> makeTag(int type, const std::vector<uint8_t>& uid, const std::vector<uint8_t>& ats);
    std::shared_ptr<SAM> makeSAM(std::shared_ptr<ISO7816> link, const std::vector<uint8_t>& atr);
    // Powers the SAM in the slot and sets its protocol; empty on failure (logged, not stored).
    std::shared_ptr<SAM> turnOnSam(int slot);

private:
    // The family that holds the device with its own link, or none.
    const DriverFactory* claimant(const std::string& device) const;

    std::shared_ptr<Driver> m_driver;
    std::shared_ptr<ISO14443> m_iso14443;
    std::map<int, std::shared_ptr<ISO7816>> m_slots;
    Error m_lastError;
    DriverFactories m_factories;
    // The device last asked for (held, or watched while another program holds it), and any line our
    // own link still runs on: a line is ours while that link runs, whichever device we turn to.
    DeviceHold m_hold;
};

}  // namespace NFC
