// The driver of Monet payment readers (EMV kernel, SAM slots, DESFire and Ultralight
// pass-through) reached over a PPP link on the serial device: B- and N-protocol over UDP, card
// events, cards and SAMs over the TCP side channel. Owns the five sockets, the three protocol
// readers and two single-shot timers (the delayed first enable, the bank-card completion
// deadline). Held by std::shared_ptr; the owner's thread calls the operations, the timers call
// back on their own threads, and one mutex keeps the two from ever overlapping on the reader.
// No operation or callback lets an exception out.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "NFC/Driver.h"
#include "core/TCPClient.h"
#include "core/Timer.h"
#include "core/UDPClient.h"
#include "core/UDPServer.h"
#include "drivers/Monet/BprotocolReader.h"
#include "drivers/Monet/BprotocolTransport.h"
#include "drivers/Monet/Clock.h"
#include "drivers/Monet/Configuration.h"
#include "drivers/Monet/Endpoints.h"
#include "drivers/Monet/Platform.h"
#include "drivers/Monet/SideChannelReader.h"
#include "drivers/Monet/SideChannelTransport.h"
#include "drivers/Monet/Timing.h"

namespace Monet {

class Driver final : public NFC::Driver
{
public:
    struct Setup
    {
        Endpoints endpoints;
        Timing timing;
        std::shared_ptr<Platform> platform = nullPlatform();
        // Null: "tapgate.conf" in the working directory.
        ConfigurationProvider configuration;
        std::shared_ptr<Clock> clock = Clock::system();
    };

    Driver();
    explicit Driver(Setup setup);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // The TMS download succeeded in this process; later connections skip it.
    static bool TMSupdateSucceeded();
    static void resetTMSupdateSucceeded();

    bool open(const std::string& device, int baud, std::string* error) override;
    bool close() override;
    bool isOpen() const override;
    Info info() const override;
    bool status() override;
    bool reset() override;
    bool setLEDs(uint8_t mask) override;
    bool setScreen(Screen screen) override;
    bool beep(uint8_t volume, uint16_t frequency, uint16_t onTime, uint16_t offTime) override;
    bool setTagTypes(uint32_t lfTypes, uint32_t hfTypes) override;
    bool enableRF() override;
    bool disableRF() override;
    bool searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout) override;
    bool ISO14443_checkPresence() override;
    bool ISO14443_TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override;
    bool ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override;
    bool ISO14443_getATS(std::vector<uint8_t>& ats) override;
    bool ISO14443_getATQA(uint16_t& atqa) override;
    bool ISO14443_getSAK(uint8_t& sak) override;
    bool ISO14443_getATQB(std::vector<uint8_t>& atqb) override;
    int ISO7816_slots() const override;
    int ISO7816_slotState(int slot) override;
    bool ISO7816_powerOn(int slot, std::vector<uint8_t>* atr) override;
    bool ISO7816_powerOff(int slot) override;
    bool ISO7816_setCommSettings(int slot, const CommSettings& settings) override;
    bool ISO7816_transceive(int slot, std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override;
    bool ISO7816_exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* response, int& sw) override;
    bool ISO7816_exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* response, int& sw) override;
    bool updateFirmware(const std::string& file, bool& flag,
                        const std::function<void(int, int, int)>& progress) override;
    bool EMV_getToken(std::vector<std::string>& token, int& error) override;
    bool EMV_completeTransaction(std::string& data, std::vector<std::string>& result, int& error) override;
    bool EMV_checkPresence() override;

    // A SAM name the driver accepts sits in the ATR's last 15 bytes or in the 15 before its last.
    static bool knownMifareSamATR(const std::vector<uint8_t>& atr);

private:
    using Bytes = std::vector<uint8_t>;

    // A timer's current arming: a callback acts only for the arming it was started for.
    struct Arming
    {
        bool armed = false;
        int64_t dueMs = 0;     // steady milliseconds
        int64_t startMs = -1;  // the timer still to be started with this interval
    };

    bool openLocked(const std::string& device, int baud);
    void closeSockets();
    bool initPPPd(const std::string& device, int baud);
    bool linkCheck();
    bool connectUdp(UDPClient& client, UDPServer& server, uint16_t port, uint16_t listenPort, const char* name);
    bool connectSideChannel();
    bool connectNprotocol();
    // True once the side channel is gone while the reader is open (the reader hung up, or a frame
    // broke the stream and it was closed): nothing of the card side works until a reopen. The
    // first call after each loss logs it.
    bool sideChannelLost();
    bool enableLocked();
    bool disableLocked();

    bool searchLocked(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout);

    // The non-EMV card (DESFire, Ultralight, ISO 14443-4B) the last search reported. While it is
    // served, a search only checks that it is still there; a presence check that finds it gone
    // ends that, but not its read: a search made while the card is read (a reselect) may find it
    // gone and the read go on. Whatever the reader announced of it before one of its answers (to
    // a frame, a reselect or a presence check) is of its one tap; an announcement after its last
    // answer is a new tap. The card is forgotten when another is found or the reader is enabled.
    struct ServedCard
    {
        enum class Phase
        {
            None,    // no card since the last enable
            Served,  // reported by a search and not found gone since
            Gone     // a presence check found it gone; its read may still be going on
        };
        Phase phase = Phase::None;
        int type = 0;
        Bytes uid;
        bool served() const { return phase == Phase::Served; }
    };
    enum class CardStep
    {
        Found,     // a search reported it (type and uid given)
        Answered,  // an exchange with it succeeded: a frame, a reselect or a presence check
        Absent,    // a presence check found it gone
        Released   // the reader is enabled again
    };
    // Every change of m_card, with the spending of its announcements that goes with it.
    void cardStep(CardStep step, int type = 0, const Bytes& uid = {});
    // Arms under the mutex; the timer itself is started by startArmedTimers once it is released.
    void arm(Arming& arming, int64_t ms);
    void startArmedTimers();
    void disarm(Timer& timer, Arming& arming);
    // Stops both timers and waits for a running callback; called without the mutex.
    void stopTimers();
    void onEnableDelay();
    void onEmvDeadline();
    void EMV_enableReader();
    void EMV_terminateTransaction();

    Setup m_setup;
    mutable std::mutex m_mutex;

    UDPClient m_bClient;
    UDPClient m_nClient;
    UDPServer m_bServer;
    UDPServer m_nServer;
    TCPClient m_sideClient;
    MonetReader::BprotocolTransport m_bTransport;
    MonetReader::BprotocolTransport m_nTransport;
    MonetReader::SideChannelTransport m_sideTransport;
    MonetReader::BprotocolReader m_bReader;
    MonetReader::BprotocolReader m_nReader;
    MonetReader::SideChannelReader m_sideReader;
    MonetReader::Info m_info;

    bool m_open = false;
    ServedCard m_card;
    bool m_emvPending = false;
    int m_slotStates[4] = {0, 0, 0, 0};
    bool m_isEV1 = false;
    int m_tapResult = 0;
    std::string m_token;
    bool m_cardReported = false;
    bool m_initialEnable = false;
    bool m_failedToEnableReader = false;
    bool m_firmwareDownload = false;
    bool m_suppress = false;
    bool m_sideChannelLossLogged = false;

    Arming m_enableArming;
    Arming m_emvArming;
    std::mutex m_callbackMutex;
    std::condition_variable m_callbackDone;
    int m_callbacksRunning = 0;
    // Last, so that they stop (and their threads end) before anything a callback uses goes.
    Timer m_emvTimer{Timer::SingleShot};
    Timer m_enableTimer{Timer::SingleShot};
};

}  // namespace Monet
