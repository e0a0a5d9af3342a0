#include "drivers/Monet/Driver.h"

#include <atomic>
#include <exception>
#include <utility>

#include "core/Log.h"
#include "core/String.h"

namespace Monet {

namespace {

std::atomic<bool> tmsUpdateSucceeded{false};

const char* const MifareSamNames[] = {"MIFARE Plus SAM", "MIFARE SAM AV30"};
const size_t SamNameLength = 15;
const int Slots = 4;
const uint8_t NonEMVcardReleased = 2;
const int PassThroughTimeoutMs = 1000;
const int Iso14443_3ReaderTimeout = 30;
const size_t DesfireSplitLength = 56;
const size_t DesfireSplitTail = 16;
const uint8_t DesfireWriteRecord = 0x3B;
const uint8_t DesfireGetVersion = 0x60;
const uint8_t DesfireMoreFrames = 0xAF;
const uint8_t PpsRequest = 0xFF;

template <typename R, typename F>
R guarded(const char* operation, R failure, F&& body)
{
    try {
        return body();
    } catch (const std::exception& e) {
        Log::error("[Monet] ERROR: %s failed: %s", operation,
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        Log::error("[Monet] ERROR: %s failed", operation);
    }
    return failure;
}

Driver::Setup complete(Driver::Setup setup)
{
    if (!setup.platform)
        setup.platform = nullPlatform();
    if (!setup.clock)
        setup.clock = Clock::system();
    if (!setup.configuration)
        setup.configuration = fileConfiguration();
    return setup;
}


MonetReader::SideChannelReader::Times sideTimes(const Timing& timing)
{
    MonetReader::SideChannelReader::Times times;
    times.requestMs = static_cast<int>(timing.sideRequestMs);
    times.presenceMs = static_cast<int>(timing.sidePollMs);
    times.echoMs = static_cast<int>(timing.sidePollMs);
    times.failSafeMs = timing.searchFailSafeMs;
    return times;
}

bool validSlot(int slot)
{
    return slot >= 0 && slot < Slots;
}

std::string samText(const std::vector<uint8_t>& atr)
{
    if (atr.size() < SamNameLength)
        return std::string();
    return std::string(atr.end() - SamNameLength, atr.end());
}

bool isMifareName(const std::string& text)
{
    for (const char* name : MifareSamNames)
        if (text == name)
            return true;
    return false;
}

}  // namespace

Driver::Driver() : Driver(Setup()) {}

Driver::Driver(Setup setup)
    : m_setup(complete(std::move(setup))),
      m_bTransport(m_bClient, m_bServer),
      m_nTransport(m_nClient, m_nServer),
      m_sideTransport(m_sideClient, m_setup.clock,
                      MonetReader::SideChannelTransport::Limits{m_setup.timing.drainFrames, m_setup.timing.drainMs}),
      m_bReader(m_bTransport, m_setup.timing, m_setup.clock, m_setup.configuration),
      m_nReader(m_nTransport, m_setup.timing, m_setup.clock, m_setup.configuration),
      m_sideReader(
          m_sideTransport, m_setup.clock, m_setup.configuration,
          [platform = m_setup.platform] { platform->restartService(); },
          sideTimes(m_setup.timing))
{
    m_enableTimer.timeout.connect_member(this, &Driver::onEnableDelay);
    m_emvTimer.timeout.connect_member(this, &Driver::onEmvDeadline);
}

Driver::~Driver()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_enableArming.armed = m_emvArming.armed = false;
    }
    stopTimers();
    m_enableTimer.timeout.disconnect_all();
    m_emvTimer.timeout.disconnect_all();
    closeSockets();
}

bool Driver::TMSupdateSucceeded()
{
    return tmsUpdateSucceeded;
}

void Driver::resetTMSupdateSucceeded()
{
    tmsUpdateSucceeded = false;
}

// ---- timers ----

void Driver::arm(Arming& arming, int64_t ms)
{
    // Due before the timer's own deadline, so its expiry always finds the arming due.
    arming.dueMs = Monet::Clock::steadyMillis() + ms;
    arming.armed = true;
    arming.startMs = ms;
}

void Driver::disarm(Timer& timer, Arming& arming)
{
    arming.armed = false;
    arming.startMs = -1;
    timer.stop();
}

void Driver::startArmedTimers()
{
    // Outside the mutex: starting a timer waits for an expiry still being handled on its thread,
    // and that callback may be waiting for the mutex.
    int64_t enableMs = -1;
    int64_t emvMs = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::swap(enableMs, m_enableArming.startMs);
        std::swap(emvMs, m_emvArming.startMs);
    }
    if (enableMs >= 0)
        m_enableTimer.start(static_cast<int>(enableMs));
    if (emvMs >= 0)
        m_emvTimer.start(static_cast<int>(emvMs));
}

void Driver::stopTimers()
{
    m_enableTimer.stop();
    m_emvTimer.stop();
    std::unique_lock<std::mutex> lock(m_callbackMutex);
    m_callbackDone.wait(lock, [this] { return m_callbacksRunning == 0; });
}

namespace {

// Counts a callback as running from before it waits for the driver until it is done, so that
// close can wait for it without holding the driver's mutex.
class CallbackScope
{
public:
    CallbackScope(std::mutex& mutex, std::condition_variable& done, int& running)
        : m_mutex(mutex), m_done(done), m_running(running)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_running;
    }
    ~CallbackScope()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_running;
        m_done.notify_all();
    }

private:
    std::mutex& m_mutex;
    std::condition_variable& m_done;
    int& m_running;
};

}  // namespace

void Driver::onEnableDelay()
{
    CallbackScope scope(m_callbackMutex, m_callbackDone, m_callbacksRunning);
    std::lock_guard<std::mutex> lock(m_mutex);
    // Disabled, closed or re-armed while this expiry waited for the driver.
    if (!m_enableArming.armed || Monet::Clock::steadyMillis() < m_enableArming.dueMs || !m_open)
        return;
    guarded("EMV_enableReader", 0, [this] {
        EMV_enableReader();
        return 0;
    });
}

void Driver::onEmvDeadline()
{
    CallbackScope scope(m_callbackMutex, m_callbackDone, m_callbacksRunning);
    std::lock_guard<std::mutex> lock(m_mutex);
    // Completed, released or a later tap's deadline: not this expiry's business.
    if (!m_emvArming.armed || Monet::Clock::steadyMillis() < m_emvArming.dueMs || !m_emvPending || !m_open)
        return;
    guarded("EMV_terminateTransaction", 0, [this] {
        EMV_terminateTransaction();
        return 0;
    });
}

void Driver::EMV_enableReader()
{
    Log::debug("[Monet] Inside %s()", "EMV_enableReader");
    disarm(m_enableTimer, m_enableArming);
    Log::debug("[Monet] Timeout waiting reader initialization! ===> Enabling reader (initialization delay elapsed)");
    if (enableLocked())
        return;
    Log::debug("[Monet] Failed to enable reader after initialization! ===> Retry");
    if (enableLocked())
        return;
    Log::debug("[Monet] Failed to enable reader again! ===> Set m_failedToEnableReader to reconnect");
    m_failedToEnableReader = true;
}

void Driver::EMV_terminateTransaction()
{
    disarm(m_emvTimer, m_emvArming);
    Log::error("[Monet] Timeout waiting write card message from BLM detected ===> Terminate transaction (Use empty "
               "tripData)!");
    std::vector<std::string> cardData;
    const int result = m_bReader.completeEMVtransaction(std::string(), cardData);
    if (result != 0)
        Log::error("[Monet] ERROR (%d) during EMV transaction termination", result);
    m_emvPending = false;
}

// ---- link and channels ----

bool Driver::linkCheck()
{
    if (!m_setup.platform->linkUp(m_setup.endpoints.interface))
        return false;
    Log::info("[Monet] ppp0 interface is up");
    return true;
}

bool Driver::initPPPd(const std::string& device, int baud)
{
    Log::info("[Monet] Inside %s()", "initPPPd");
    Platform& platform = *m_setup.platform;
    const std::string& interface = m_setup.endpoints.interface;
    if (!platform.bringUpAllowed(m_setup.clock->nowMillis())) {
        Log::error("[Monet] PPP bring-up failed recently ===> Not trying again yet");
        return false;
    }
    if (platform.interfaceExists(interface) && linkCheck()) {
        Log::debug("[Monet] ppp0 interface exists and it's up ===> Return true!");
        return true;
    }

    Log::info("[Monet] Setting serial low_latency...");
    platform.setLowLatency(device);
    Log::info("[Monet] Starting pppd...");
    bool up = false;
    if (platform.startPppd(device, baud)) {
        for (int check = 0; check < m_setup.timing.linkChecks && !up; ++check) {
            if (platform.interfaceExists(interface)) {
                Log::debug("[Monet] ppp0 interface exists ===> Checking if it's up...");
                up = linkCheck();
            } else {
                Log::debug("[Monet] ppp0 interface does not exist");
            }
            m_setup.clock->sleepMillis(m_setup.timing.linkCheckIntervalMs);
        }
    }
    if (!up) {
        Log::error("[Monet] Failed to init pppd ===> kill pppd");
        platform.stopPppd();
        platform.bringUpFailed(m_setup.clock->nowMillis(), m_setup.timing.bringUpBackoffMs,
                               m_setup.timing.bringUpBackoffMaxMs);
    }
    return up;
}

bool Driver::connectUdp(UDPClient& client, UDPServer& server, uint16_t port, uint16_t listenPort, const char* name)
{
    const Endpoints& e = m_setup.endpoints;
    if (!client.connect(e.host, port)) {
        Log::error("[Monet] UDP Client Failed to connect to port %d", port);
        Log::error("[Monet] Failed to connect to %s (port %d)", name, port);
        return false;
    }
    if (!server.listen(listenPort, e.bindAddress)) {
        Log::error("[Monet] UDP Server Failed to listen to port %d", listenPort);
        client.close();
        Log::error("[Monet] Failed to connect to %s (port %d)", name, port);
        return false;
    }
    return true;
}

bool Driver::connectSideChannel()
{
    Log::info("[Monet] Side Channel connection init");
    const int ioMs = static_cast<int>(m_setup.timing.sideChannelIoMs);
    try {
        m_sideClient.setConnectTimeout(ioMs);
        m_sideClient.setReadTimeout(ioMs);
        m_sideClient.setWriteTimeout(ioMs);
        m_sideClient.connect(m_setup.endpoints.host, m_setup.endpoints.sideChannelPort);
        m_sideTransport.connected();
    } catch (const std::exception& e) {
        Log::error("[Monet] An exception occurred while connecting to Side Channel (port %d)%s",
                   m_setup.endpoints.sideChannelPort,
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
        return false;
    }
    if (m_sideReader.echo() != 0) {
        Log::error("[Monet] Failed to Initialize Side Channel Comms");
        return false;
    }
    if (m_sideReader.configAIDs() != 0) {
        Log::error("[Monet] Failed to set AIDs");
        return false;
    }
    if (m_sideReader.setHardwareUIconfig(3) != 0) {
        Log::error("[Monet] Failed to enable reader's LEDs/Beeper");
        return false;
    }
    if (m_sideReader.passThroughEnable(1) != 0) {
        Log::error("[Monet] Failed to enable reader's Pass-Through mode");
        return false;
    }
    if (m_sideReader.setPassBackTimeout(Bytes{0, 0, 0, 0}) != 0) {
        Log::error("[Monet] Failed to set PassBackTimeout");
        return false;
    }
    (void)m_sideReader.nonEMVcardOver(NonEMVcardReleased);
    return true;
}

bool Driver::connectNprotocol()
{
    Log::info("[Monet] N-protocol connection init");
    const Endpoints& e = m_setup.endpoints;
    if (!connectUdp(m_nClient, m_nServer, e.nPort, e.nListenPort, "N-protocol"))
        return false;
    if (tmsUpdateSucceeded)
        return true;

    if (m_nReader.setTerminalDateTime() != 0)
        Log::error("[Monet] Failed to set Monet's terminal date/time ===> Continue ...");
    std::string version;
    if (m_nReader.getMaintenanceAppVersion(version) != 0)
        Log::error("[Monet] Failed to get maintenance app version ===> Continue ...");
    else
        Log::info("[Monet] Maintenance Application Version: %s",
                  String::escaped(version, String::MaxTextExcerptBytes).c_str());

    bool rebootNotified = false;
    bool firmwareNotified = false;
    for (int attempt = 1; attempt <= m_setup.timing.tmsAttempts; ++attempt) {
        const int result = m_nReader.updateParamsFirmware(rebootNotified, static_cast<int>(m_setup.timing.tmsTimeoutS),
                                                          [](int, int, int) {}, firmwareNotified);
        if (result == MonetReader::Success) {
            tmsUpdateSucceeded = true;
            Log::info("[Monet] TMS update succeeded!");
            break;
        }
        if (result == MonetReader::FirmwareDownloadStarted) {
            m_firmwareDownload = true;
            Log::info("[Monet] FW download started!");
            break;
        }
        Log::error("[Monet] Failed to download params and/or update firmware from TMS (No of tries: %d)", attempt);
        if (!linkCheck())
            return false;
        if (attempt < m_setup.timing.tmsAttempts)
            Log::info("[Monet] PPP is up ===> Retry...");
    }
    return true;
}

void Driver::closeSockets()
{
    m_bClient.close();
    m_bServer.close();
    m_nClient.close();
    m_nServer.close();
    m_sideClient.close();
}

bool Driver::openLocked(const std::string& device, int baud)
{
    m_firmwareDownload = false;
    if (m_open) {
        Log::info("[Monet] Closing UDP/TCP connections");
        m_open = false;
    }
    closeSockets();
    m_sideReader.clearRecordData();

    if (!initPPPd(device, baud)) {
        Log::error("[Monet] Failed to start pppd");
        return false;
    }
    if (!linkCheck())
        return false;

    Log::info("[Monet] B-protocol connection init");
    const Endpoints& e = m_setup.endpoints;
    if (!connectUdp(m_bClient, m_bServer, e.bPort, e.bListenPort, "B-protocol"))
        return false;
    if (m_bReader.getInfo(m_info) != 0) {
        Log::error("[Monet] Failed to retrieve reader info");
        return false;
    }
    if (m_bReader.switchAntenna() != 0) {
        Log::error("[Monet] Failed to switch the antenna to reader");
        return false;
    }
    if (m_bReader.disableRF() != 0) {
        Log::error("[Monet] Failed to disable RF");
        return false;
    }
    if (!linkCheck() || !connectSideChannel())
        return false;
    if (!linkCheck() || !connectNprotocol())
        return false;

    m_open = true;
    m_sideChannelLossLogged = false;
    for (int& state : m_slotStates) state = 0;
    m_setup.platform->bringUpSucceeded();
    return true;
}

// ---- operations ----

bool Driver::open(const std::string& device, int baud, std::string*)
{
    // A reopen must not find the previous session's timers still armed.
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_enableArming.armed = m_emvArming.armed = false;
    }
    stopTimers();
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool opened = guarded("open", false, [&] { return openLocked(device, baud); });
    if (!opened) {
        m_open = false;
        closeSockets();
    }
    return opened;
}

bool Driver::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_enableArming.armed = m_emvArming.armed = false;
        if (m_open)
            Log::info("[Monet] Closing UDP/TCP connections");
        closeSockets();
        m_open = false;
    }
    stopTimers();
    return true;
}

bool Driver::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open;
}

NFC::Driver::Info Driver::info() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Info info;
    info.type = Local;
    info.model = m_info.product;
    info.manufacturer = m_info.vendor;
    info.firmware = m_info.version;
    info.infoValue1 = m_info.values.first;
    info.infoValue2 = m_info.values.second;
    info.deviceUID = m_info.terminalId;
    info.appUpdateResult = "n/a";
    info.sysUpdateResult = "n/a";
    return info;
}

bool Driver::status()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "status");
    if (m_failedToEnableReader) {
        m_failedToEnableReader = false;
        return false;
    }
    // Asking the B-protocol would say the reader is fine while no card can ever be seen: the user
    // must reopen it, after its own pause.
    if (sideChannelLost())
        return false;
    if (m_card.served() || m_emvPending)
        return true;
    return guarded("status", false, [&] { return m_bReader.getInfo(m_info) == 0; });
}

bool Driver::sideChannelLost()
{
    if (!m_open || m_sideClient.connected())
        return false;
    if (!m_sideChannelLossLogged) {
        m_sideChannelLossLogged = true;
        Log::error(
            "[Monet] Side channel to %s:%d lost (closed by the reader or after a broken frame) ===> Reader "
            "must be reopened",
            String::escaped(m_setup.endpoints.host, String::MaxPathExcerptBytes).c_str(),
            m_setup.endpoints.sideChannelPort);
    }
    return true;
}

bool Driver::reset()
{
    Log::debug("[Monet] Inside %s()", "reset");
    return true;
}

bool Driver::setLEDs(uint8_t mask)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "setLEDs");
    if (mask == 1 || !m_card.served())
        return true;
    return guarded("setLEDs", false, [&] { return m_sideReader.setLEDs(mask) == 0; });
}

bool Driver::setScreen(Screen)
{
    Log::debug("[Monet] Inside %s()", "setScreen");
    return true;
}

bool Driver::beep(uint8_t, uint16_t, uint16_t, uint16_t)
{
    Log::debug("[Monet] Inside %s()", "beep");
    return true;
}

bool Driver::setTagTypes(uint32_t, uint32_t)
{
    Log::debug("[Monet] Inside %s()", "setTagTypes");
    return false;
}

bool Driver::enableLocked()
{
    if (!m_initialEnable) {
        m_initialEnable = true;
        arm(m_enableArming, m_setup.timing.enableDelayMs);
        Log::debug("[Monet] Initial Enable Received ===> Enabling after 3'' (wait to complete initialization)");
        return true;
    }
    if (m_enableArming.armed) {
        Log::debug("[Monet] Enable received while waiting to complete initialization ===> Ignore!");
        return true;
    }

    m_suppress = false;
    bool release = m_card.served();
    if (m_cardReported) {
        m_cardReported = false;
        if (m_sideReader.getIdleMessages(static_cast<int>(m_setup.timing.idleMessagesMs))) {
            Log::error("[Monet] NonEMVcardPresent message dropped! ===> Terminate non-EMV transaction!");
            release = true;
            m_suppress = true;
        }
    }
    if (m_emvPending) {
        m_emvPending = false;
        std::vector<std::string> cardData;
        if (m_bReader.completeEMVtransaction(std::string(), cardData) != 0 && !disableLocked())
            return false;
    }
    if (release)
        (void)m_sideReader.nonEMVcardOver(NonEMVcardReleased);
    cardStep(CardStep::Released);
    m_isEV1 = false;
    m_tapResult = 0;
    m_token.clear();
    disarm(m_emvTimer, m_emvArming);
    m_sideReader.clearRecordData();

    Log::debug("[Monet] Enabling reader");
    return m_bReader.enableRF() == 0;
}

bool Driver::disableLocked()
{
    if (m_enableArming.armed) {
        Log::debug("[Monet] Disable Received During Initialization! ===> Do not enable reader!");
        disarm(m_enableTimer, m_enableArming);
    }
    if (m_firmwareDownload) {
        Log::debug("[Monet] FW Download In Progress ===> Ignore disableRF command");
        return true;
    }
    return m_bReader.disableRF() == 0;
}

bool Driver::enableRF()
{
    bool enabled = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Log::debug("[Monet] Inside %s()", "enableRF");
        enabled = guarded("enableRF", false, [this] { return enableLocked(); });
    }
    startArmedTimers();
    return enabled;
}

bool Driver::disableRF()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "disableRF");
    return guarded("disableRF", false, [this] { return disableLocked(); });
}

bool Driver::searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout)
{
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        found = searchLocked(type, uid, ats, timeout);
    }
    startArmedTimers();
    return found;
}

bool Driver::searchLocked(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout)
{
    Log::debug("[Monet] Inside %s()", "searchTag");
    return guarded("searchTag", false, [&] {
        if (sideChannelLost()) {
            // No card event can come: wait as a search that found nothing would, so that a caller
            // searching again at once does not turn into a flood of requests to the reader.
            m_setup.clock->sleepMillis(timeout);
            return false;
        }
        if (m_card.served()) {
            if (m_sideReader.isLUCcardPresent(timeout)) {
                cardStep(CardStep::Answered);
                uid = m_card.uid;
                type = m_card.type;
                return true;
            }
            cardStep(CardStep::Absent);
            return false;
        }
        const int result =
            m_sideReader.searchTag(type, uid, ats, timeout, m_tapResult, m_token, m_suppress);
        m_suppress = false;
        if (result != MonetReader::EMVresult && result != MonetReader::NonEMVcardDetected && sideChannelLost())
            return false;
        switch (result) {
            case MonetReader::EMVresult:
                arm(m_emvArming, m_setup.timing.emvCompletionMs);
                m_emvPending = true;
                m_cardReported = true;
                return true;
            case MonetReader::NonEMVcardDetected:
                m_cardReported = true;
                cardStep(CardStep::Found, type, uid);
                return true;
            case MonetReader::TapError:
                return true;
            default:
                return false;
        }
    });
}

void Driver::cardStep(CardStep step, int type, const Bytes& uid)
{
    using Phase = ServedCard::Phase;
    switch (step) {
        case CardStep::Found:
            // The same card announced more than once before this search: one tap.
            m_card = ServedCard{Phase::Served, type, uid};
            break;
        case CardStep::Answered:
            // Announced before this answer: of the tap being read, whatever a reselect in between
            // found.
            break;
        case CardStep::Absent:
            // Announced after its last answer, even together with this one: the card left and came
            // back, a new tap. Still the card being read: a reselect in its read may end here, and
            // the answers of the rest of the read still spend what comes before them.
            if (m_card.served())
                m_card.phase = Phase::Gone;
            return;
        case CardStep::Released:
            // The release exchange is the reader's, not an answer of the card's: what comes during
            // it is a new tap.
            m_card = ServedCard{};
            return;
    }
    m_sideReader.spendCardEvents(m_card.uid, m_sideReader.keptSoFar());
}

bool Driver::ISO14443_checkPresence()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "ISO14443_checkPresence");
    return guarded("ISO14443_checkPresence", false, [this] {
        if (m_sideReader.checkDESFirePresence()) {
            cardStep(CardStep::Answered);
            return true;
        }
        (void)m_sideReader.nonEMVcardOver(NonEMVcardReleased);
        cardStep(CardStep::Absent);
        return false;
    });
}

bool Driver::ISO14443_TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "ISO14443_TDX3");
    return guarded("ISO14443_TDX3", false, [&] {
        if (m_sideReader.sendCmdISO14443_3(tx, rx, Iso14443_3ReaderTimeout) != 0)
            return false;
        cardStep(CardStep::Answered);
        return true;
    });
}

bool Driver::ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "ISO14443_TDX4");
    return guarded("ISO14443_TDX4", false, [&] {
        if (tx.empty())
            return false;
        Log::debug("[Monet] Sending command( %d ): %02X", static_cast<int>(tx.size()), tx[0]);
        Log::debug("[Monet] m_isEV1 = %d", m_isEV1 ? 1 : 0);
        // A long record write held back for its continuation went nowhere: no answer of the card's.
        const auto exchange = [this](const Bytes& frame, Bytes& reply) {
            if (m_sideReader.passThroughAPDU(frame, reply, PassThroughTimeoutMs) != 0)
                return false;
            if (m_sideReader.recordData().empty())
                cardStep(CardStep::Answered);
            return true;
        };
        const bool split = tx[0] == DesfireWriteRecord &&
                           (tx.size() == DesfireSplitLength || (tx.size() > DesfireSplitLength && m_isEV1));
        if (split) {
            m_isEV1 = false;
            const Bytes first(tx.begin(), tx.end() - DesfireSplitTail);
            Bytes reply;
            if (!exchange(first, reply))
                return false;
            if (reply != Bytes{DesfireMoreFrames}) {
                rx = std::move(reply);
                return true;
            }
            Bytes rest{DesfireMoreFrames};
            rest.insert(rest.end(), tx.end() - DesfireSplitTail, tx.end());
            reply.clear();
            if (!exchange(rest, reply))
                return false;
            rx = std::move(reply);
            return true;
        }
        Bytes reply;
        if (!exchange(tx, reply))
            return false;
        if (tx[0] == DesfireGetVersion) {
            // A short answer makes no EV1 decision; it goes up as it came.
            m_isEV1 = reply.size() >= 5 && reply[4] == 1;
            if (m_isEV1)
                Log::info("[Monet] DESFire EV1 card!");
        }
        rx = std::move(reply);
        return true;
    });
}

bool Driver::ISO14443_getATS(std::vector<uint8_t>&)
{
    return false;
}

bool Driver::ISO14443_getATQA(uint16_t&)
{
    return false;
}

bool Driver::ISO14443_getSAK(uint8_t&)
{
    return false;
}

bool Driver::ISO14443_getATQB(std::vector<uint8_t>&)
{
    return false;
}

int Driver::ISO7816_slots() const
{
    return Slots;
}

int Driver::ISO7816_slotState(int slot)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Log::debug("[Monet] Inside %s()", "ISO7816_slotState");
        if (!validSlot(slot))
            return 0;
        if (m_slotStates[slot] != 0)
            return m_slotStates[slot];
    }
    return ISO7816_powerOn(slot, nullptr) ? 2 : 0;
}

bool Driver::knownMifareSamATR(const std::vector<uint8_t>& atr)
{
    if (isMifareName(samText(atr)))
        return true;
    return atr.size() > SamNameLength && isMifareName(samText(Bytes(atr.begin(), atr.end() - 1)));
}

bool Driver::ISO7816_powerOn(int slot, std::vector<uint8_t>* atr)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "ISO7816_powerOn");
    if (!validSlot(slot))
        return false;
    return guarded("ISO7816_powerOn", false, [&] {
        m_slotStates[slot] = 0;
        const uint8_t wireSlot = static_cast<uint8_t>(slot + 1);
        Bytes received;
        if (m_sideReader.setSAMclock(wireSlot) != 0 || m_sideReader.powerOnSAM(wireSlot, received) != 0) {
            Log::info("[Monet] Failed to activate SAM in slot(%d)", slot);
            return false;
        }
        const auto logATR = [&received] {
            Log::info("[Monet] Received ATR(% 5d): %s", static_cast<int>(received.size()),
                      String::toHexExcerpt(received).c_str());
            Log::info("[Monet] ATR historical bytes: %s", String::escaped(samText(received)).c_str());
        };
        logATR();
        const auto accept = [&] {
            *atr = received;
            m_slotStates[slot] = 2;
            return true;
        };
        if (!atr) {
            m_slotStates[slot] = 2;
            return true;
        }
        if (knownMifareSamATR(received)) {
            Log::info("[Monet] MIFARE SAM found!");
            return accept();
        }
        if (received == Bytes{0x3B, 0x72, 0x18, 0x00, 0x00, 0xAA, 0xDD}) {
            Log::info("[Monet] LG SAM found!");
            return accept();
        }
        received.clear();
        if (m_sideReader.powerOnSAM(wireSlot, received) != 0) {
            Log::info("[Monet] Failed to activate SAM in slot(%d)", slot);
            return false;
        }
        logATR();
        return knownMifareSamATR(received) ? accept() : false;
    });
}

bool Driver::ISO7816_powerOff(int slot)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "ISO7816_powerOff");
    if (!validSlot(slot))
        return false;
    return guarded("ISO7816_powerOff", false, [&] {
        if (m_sideReader.powerOffSAM(static_cast<uint8_t>(slot + 1)) != 0) {
            Log::error("[Monet] Failed to powerOff SAM in slot(%d)", slot);
            return false;
        }
        m_slotStates[slot] = 1;
        return true;
    });
}

bool Driver::ISO7816_setCommSettings(int, const CommSettings&)
{
    Log::debug("[Monet] Inside %s()", "ISO7816_setCommSettings");
    return true;
}

bool Driver::ISO7816_transceive(int, std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    Log::debug("[Monet] Inside %s()", "ISO7816_transceive");
    // The reader negotiates the SAM's speed itself: a PPS request is confirmed as the SAM would,
    // by its echo, so that the SAM classes that check for it accept the slot.
    if (!tx.empty() && tx[0] == PpsRequest)
        rx = tx;
    return true;
}

// The reader runs T=0 with its SAM itself and takes the command in short APDU form, which is what
// the TPDU's bytes already are (P3 as Lc with data, as Le without): a T=0 SAM such as the LG SAM
// is reached through the same 7816 command as the others. Any status word the SAM answered is a
// completed exchange (61xx and 6Cxx are how T=0 goes on), so only a missing answer fails.
bool Driver::ISO7816_exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>* data,
                                  std::vector<uint8_t>* response, int& sw)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "ISO7816_exchangeTPDU");
    if (!validSlot(slot)) {
        Log::error("[Monet] No SAM slot %d", slot);
        return false;
    }
    // With data, P3 is its length; a header unlike its data would reach the SAM as another command.
    if (data && !data->empty() && data->size() != header.P3) {
        Log::error("[Monet] P3 %d does not match the data's %d bytes", header.P3, static_cast<int>(data->size()));
        return false;
    }
    return guarded("ISO7816_exchangeTPDU", false, [&] {
        Bytes apdu{header.CLA, header.INS, header.P1, header.P2, header.P3};
        if (data)
            apdu.insert(apdu.end(), data->begin(), data->end());
        Bytes reply;
        int answered = -1;
        m_sideReader.SAMpassThroughTPDU(static_cast<uint8_t>(slot + 1), apdu, reply, answered);
        if (answered < 0)
            return false;
        sw = answered;
        if (response)
            *response = std::move(reply);
        return true;
    });
}

bool Driver::ISO7816_exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>* data,
                                  std::vector<uint8_t>* response, int& sw)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "ISO7816_exchangeAPDU");
    Log::debug("[Monet] APDU Header: CLA(%02X) INS(%02X) P1(%02X) P2(%02X) Lc(%02X) Le(%02X)", header.CLA, header.INS,
               header.P1, header.P2, header.Lc, header.Le);
    Log::debug("[Monet] LePresent: %d - ExtAPDU: %d", header.hasLe ? 1 : 0, header.option ? 1 : 0);
    if (!validSlot(slot)) {
        Log::error("[Monet] No SAM slot %d", slot);
        return false;
    }
    if (header.Lc > 255) {
        Log::error("[Monet] Lc length %d > 255", header.Lc);
        return false;
    }
    if (header.hasLe && header.Le > 255) {
        Log::error("[Monet] Le length %d > 255", header.Le);
        return false;
    }
    const size_t dataSize = data ? data->size() : 0;
    if (dataSize != header.Lc) {
        Log::error("[Monet] Lc %d does not match the data's %d bytes", header.Lc, static_cast<int>(dataSize));
        return false;
    }
    return guarded("ISO7816_exchangeAPDU", false, [&] {
        Bytes apdu{header.CLA, header.INS, header.P1, header.P2};
        if (header.Lc > 0)
            apdu.push_back(static_cast<uint8_t>(header.Lc));
        if (data && !data->empty()) {
            if (Log::enabled(Log::LevelDebug))
                Log::debug("[Monet] APDU data(%d): %s", static_cast<int>(data->size()),
                           String::toHexExcerpt(*data).c_str());
            apdu.insert(apdu.end(), data->begin(), data->end());
        }
        if (header.hasLe)
            apdu.push_back(static_cast<uint8_t>(header.Le));
        Bytes reply;
        if (m_sideReader.SAMpassThroughAPDU(static_cast<uint8_t>(slot + 1), apdu, reply, sw) != 0)
            return false;
        if (response)
            *response = std::move(reply);
        return true;
    });
}

bool Driver::updateFirmware(const std::string&, bool& flag, const std::function<void(int, int, int)>& progress)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "updateFirmware");
    return guarded("updateFirmware", false, [&] {
        m_firmwareDownload = false;
        flag = false;
        const MonetReader::BprotocolReader::Progress report = [&progress](int p, int m, int s) {
            if (progress)
                progress(p, m, s);
        };
        for (int attempt = 0; attempt < m_setup.timing.firmwareAttempts; ++attempt) {
            Log::info("[Monet] Starting FW download: Try(%d)", attempt);
            // Already told: a "Might reboot" notice must not end this download.
            bool firmwareNotified = true;
            if (m_nReader.updateParamsFirmware(flag, static_cast<int>(m_setup.timing.tmsTimeoutS), report,
                                               firmwareNotified) == 0) {
                if (flag)
                    tmsUpdateSucceeded = false;
                Log::info("[Monet] FW download succeeded ===> Return true");
                return true;
            }
        }
        Log::info("[Monet] FW download failed ===> Return false");
        return false;
    });
}

bool Driver::EMV_getToken(std::vector<std::string>& token, int& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "EMV_getToken");
    error = m_tapResult;
    if (!m_token.empty())
        token.push_back(m_token);
    if (m_tapResult <= 0)
        return true;
    Log::error("[Monet] 'Tap Result' notification contains error %d", m_tapResult);
    return false;
}

bool Driver::EMV_completeTransaction(std::string& data, std::vector<std::string>& result, int& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Log::debug("[Monet] Inside %s()", "EMV_completeTransaction");
    error = 0;
    disarm(m_emvTimer, m_emvArming);
    const bool completed = guarded("EMV_completeTransaction", false, [&] {
        int code = m_bReader.completeEMVtransaction(data, result);
        if (code == 0)
            return true;
        Log::error("[Monet] ERROR (%d) during EMV transaction completion", code);
        if (code == MonetReader::ErrorNoAnswer) {
            code = m_bReader.completeEMVtransaction(data, result);
            if (code == 0)
                return true;
            if (code == MonetReader::ErrorNoAnswer) {
                Log::error("[Monet] Timeout during EMV transaction completion ===> Abort transaction (Use empty "
                           "tripData)");
                std::vector<std::string> ignored;
                (void)m_bReader.completeEMVtransaction(std::string(), ignored);
            }
        }
        error = code;
        return false;
    });
    if (!completed && error == 0)
        error = MonetReader::ErrorNotSent;
    m_emvPending = false;
    return completed;
}

bool Driver::EMV_checkPresence()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_emvPending;
}

}  // namespace Monet
