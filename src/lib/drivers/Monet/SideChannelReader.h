// The command layer of the Monet reader's TCP side channel: channel set-up (echo, AID list, UI,
// pass-through, pass-back time-out), the card search that turns reader events into a card type,
// UID and ATS or a bank-card tap result, DESFire and Ultralight frames through the reader's
// pass-through, and the SAM slots. The Monet driver owns one and is its only user, on the thread
// that drives the reader; the reader keeps a reference to the driver's transport. Every command
// returns an int result: 0 success, 200-208 failures, 900/901 search outcomes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "drivers/Monet/Clock.h"
#include "drivers/Monet/Result.h"
#include "drivers/Monet/Configuration.h"
#include "drivers/Monet/SideChannelTransport.h"

namespace MonetReader {

enum SideChannelCommands : uint8_t
{
    ECHO = 0x00,
    IDLE_EVENT = 0x01,
    DISPLAY_STATE = 0x03,
    SET_HARDWARE_UI_CONFIG = 0x08,
    SET_LEDS = 0x0C,
    INIT_AID_LIST = 0x30,
    ADD_AID = 0x31,
    NON_EMV_CARD_PRESENT = 0x38,
    NON_EMV_CARD_OVER = 0x39,
    PASS_THROUGH_ENABLE = 0x40,
    PASS_THROUGH_APDU = 0x41,
    ISO14443_3 = 0x4F,
    EMV_CARD_DETECTED = 0x50,
    ERROR_NOTIFICATION_1 = 0x51,
    ERROR_NOTIFICATION_2 = 0x52,
    TAP_RESULT = 0x53,
    SET_PASS_BACK_TIMEOUT = 0x55,
    SAM_POWER_ON = 0x60,
    SAM_POWER_OFF = 0x61,
    SAM_COMMAND = 0x62,
    SAM_CONFIGURE = 0x63,
};


class SideChannelReader
{
public:
    using Bytes = std::vector<uint8_t>;
    // Stands in for restarting the whole service when the reader's SAM stopped answering; called
    // at most once in the life of the process.
    using RestartHook = std::function<void()>;

    struct Times
    {
        int requestMs = 3000;        // answer to one command
        int presenceMs = 1000;       // DESFire presence check
        int echoMs = 1000;           // each receive while waiting for the echo
        int64_t failSafeMs = 10000;  // echo and search end while unrelated frames keep coming
    };

    // The AIDs come from configuration ("rfid/cardTypes/desfire"); without one, from "tapgate.conf" in
    // the working directory.
    SideChannelReader(SideChannelTransport& transport, std::shared_ptr<Monet::Clock> clock,
                      Monet::ConfigurationProvider configuration, RestartHook restart, Times times);
    SideChannelReader(SideChannelTransport& transport, std::shared_ptr<Monet::Clock> clock,
                      Monet::ConfigurationProvider configuration, RestartHook restart)
        : SideChannelReader(transport, std::move(clock), std::move(configuration), std::move(restart),
                            Times{})
    {
    }

    // 0 for an answered message with no or a zero status; 200 for another status; 201 when the
    // answer cannot be decoded; 202 when there is none.
    static int checkMsgResponse(const SideChannelMsg::Ptr& msg);
    static int getResult(const SideChannelMsg::Ptr& msg);

    int echo();
    int configAIDs();
    int setHardwareUIconfig(uint8_t config);
    int setLEDs(uint8_t mask);
    int nonEMVcardOver(uint8_t reason);
    int passThroughEnable(uint8_t enable);
    int setPassBackTimeout(const Bytes& timeout);
    // On success the SAM's ATR goes in front of atr.
    int powerOnSAM(uint8_t slot, Bytes& atr);
    int powerOffSAM(uint8_t slot);
    int setSAMclock(uint8_t slot);

    // Reads idle events for up to timeoutMs; true when a card event came outside a search.
    bool getIdleMessages(int timeoutMs);
    int searchTag(int& type, Bytes& uid, Bytes& ats, int timeoutMs, int& tapResult, std::string& token,
                  bool suppress);
    bool isLUCcardPresent(int timeoutMs);
    bool checkDESFirePresence();
    int passThroughAPDU(const Bytes& command, Bytes& reply, int timeoutMs);
    int sendCmdISO14443_3(const Bytes& frame, Bytes& reply, int readerTimeout);
    int SAMpassThroughAPDU(uint8_t slot, const Bytes& apdu, Bytes& reply, int& statusWord);
    // The same for a T=0 command (header and data), whose 61xx and 6Cxx are no failure to log.
    int SAMpassThroughTPDU(uint8_t slot, const Bytes& tpdu, Bytes& reply, int& statusWord);

    // The first part of a long DESFire 0x3B held back for its continuation; it never outlives the
    // card it was meant for.
    const Bytes& recordData() const { return m_recordData; }
    void clearRecordData() { m_recordData.clear(); }
    bool samCommandTimedOut() const { return m_SAMcmdTimeout; }
    // The card with this UID has answered: its announcements kept up to the stamp keptUpTo (a
    // keptSoFar taken with its answer) stand for the tap being read and are not served to a search
    // as new ones. One kept later is a new tap unless a later answer of the card's spends it.
    void spendCardEvents(const Bytes& uid, uint64_t keptUpTo);
    uint64_t keptSoFar() const { return m_transport.keptSoFar(); }

    // The card description of a 0x38 event: 900 with the UID and ATS appended and the type set,
    // 201 (nothing written) when its lengths point past its end.
    static int readCardDescription(const Bytes& data, int& type, Bytes& uid, Bytes& ats);
    // The data of a 'Tap Result' event into the tap result and token; always 901.
    static int readTapResult(const Bytes& data, int& tapResult, std::string& token);

private:
    // Sends the command and evaluates its answer; logs errorText (when given) on a failure.
    int command(uint8_t code, const Bytes& data, const char* errorText, SideChannelMsg::Ptr* answer = nullptr,
                int timeoutMs = -1);
    int samCommand(uint8_t slot, const Bytes& apdu, Bytes& reply, int& statusWord, bool t0);
    // A display state during the search: the result, with type and tap result set.
    int displayState(uint8_t state, int& type, int& tapResult, bool suppress);
    Bytes desfireAIDs();
    int64_t elapsedMs(int64_t start) const { return m_clock->nowMillis() - start; }

    SideChannelTransport& m_transport;
    std::shared_ptr<Monet::Clock> m_clock;
    Monet::ConfigurationProvider m_configuration;
    RestartHook m_restart;
    Times m_times;
    bool m_SAMcmdTimeout = false;
    Bytes m_recordData;
};

}  // namespace MonetReader
