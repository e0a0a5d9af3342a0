// An emulated Monet reader's TCP side channel: a listener on 127.0.0.1 at a port the system
// chooses, one client at a time (a new connection replaces the old). It answers the side-channel
// commands from the card in its field (DESFire through the ISO 7816 wrapping, Ultralight through
// raw frames) and the SAMs in its four slots, sends reader events when the test says so, and can be
// told to misbehave on its next answers. Every request payload is recorded. Its socket keeps
// Nagle's algorithm, as many readers' stacks do: a small frame waits until the one before is
// acknowledged. It runs on a thread of its own; every public call is thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulators/FieldCard.h"
#include "emulators/SlotCard.h"

namespace emulators {

class MonetSideChannel
{
public:
    struct Fault
    {
        enum Kind
        {
            Silence,        // no answer
            Partial,        // the frame announces the whole answer, only value payload bytes come
            CloseMidFrame,  // the length and value payload bytes, then the connection is closed
            Replace,        // payload goes out, framed, instead of the answer
            Raw,            // payload goes out as it is (no length) instead of the answer
            EventsFirst,    // the frames in events go out just before the answer
            Trickle,        // payload (or the answer's frame when empty) one byte every value ms
        };
        Kind kind;
        int value = 0;
        Bytes payload = {};
        std::vector<Bytes> events = {};
        // The command code whose next answer misbehaves; AnyCommand for the next answer of all.
        int command = AnyCommand;
    };
    static constexpr int AnyCommand = -1;

    // How a slot's SAM takes APDUs: whole (T=1), or as T=0 header and data.
    enum class SamLink
    {
        Apdu,
        T0
    };

    MonetSideChannel();
    ~MonetSideChannel();
    MonetSideChannel(const MonetSideChannel&) = delete;
    MonetSideChannel& operator=(const MonetSideChannel&) = delete;

    std::string host() const { return "127.0.0.1"; }
    uint16_t port() const { return m_port; }
    // Waits for a client; false on time-out.
    bool waitForClient(int timeoutMs) const;

    void setCard(std::shared_ptr<FieldCard> card);  // null: empty field
    // slot 0..3, sent on the wire as 1..4.
    void setSam(int slot, std::shared_ptr<SlotCard> sam, SamLink link = SamLink::Apdu);
    void setEchoByte(uint8_t byte);
    // The AddAID answer's result bytes; by default one 00 for each AID announced.
    void setAidResults(std::optional<Bytes> results);
    void inject(const Fault& fault);

    // Unsolicited frames: an event with status 00 and data, any payload, any bytes.
    void sendEvent(uint8_t code, const Bytes& data);
    void sendPayload(const Bytes& payload);
    void sendBytes(const Bytes& bytes);
    // count copies of the payload's frame in one write.
    void flood(size_t count, const Bytes& payload);
    // The 0x38 event for the card in the field, described from its identity.
    void presentCard();
    static Bytes cardDescription(const FieldCard::Identity& identity);

    // The next connection gets presentCard's event the moment it is accepted, before any request.
    void presentCardOnNextConnection();

    // Closes the connection from the reader's end, as a reader that hangs up.
    void hangUp();

    std::vector<Bytes> requests() const;
    void clearRequests();
    bool waitForRequests(size_t count, int timeoutMs) const;
    // The AIDs of the last AddAID, in the order given.
    std::vector<Bytes> aids() const;
    uint8_t leds() const;
    size_t connections() const;
    // Connections that ended, closed by either end.
    size_t endedConnections() const;
    bool waitForConnections(size_t count, int timeoutMs) const;
    bool waitForEnded(size_t count, int timeoutMs) const;
    // Stops recording requests (a benchmark would otherwise fill the record).
    void setRecording(bool on);

private:
    struct Answer
    {
        uint8_t status = 0;
        Bytes data;
    };

    void run();
    void serve(int fd);
    void handle(const Bytes& payload);
    Answer answer(uint8_t code, const Bytes& data);
    Answer passThrough(const Bytes& data);
    Answer iso14443_3(const Bytes& data);
    Answer sam(uint8_t code, const Bytes& data);
    void respond(uint8_t code, const Answer& answer);
    // Writes under the write lock to the current client; false when there is none.
    bool writeAll(const Bytes& bytes);
    // Under both locks.
    void closeClientLocked();
    std::optional<Fault> takeFault(uint8_t code);
    static Bytes frame(const Bytes& payload);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::mutex m_writeMutex;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    uint16_t m_port = 0;
    bool m_stop = false;

    // Under m_mutex.
    int m_client = -1;
    size_t m_connections = 0;
    size_t m_ended = 0;
    std::shared_ptr<FieldCard> m_card;
    std::shared_ptr<SlotCard> m_sams[4];
    SamLink m_links[4] = {SamLink::Apdu, SamLink::Apdu, SamLink::Apdu, SamLink::Apdu};
    uint8_t m_echo = 0x99;
    std::optional<Bytes> m_aidResults;
    std::vector<Bytes> m_aids;
    uint8_t m_leds = 0;
    std::deque<Fault> m_faults;
    std::vector<Bytes> m_requests;
    bool m_recording = true;
    bool m_presentOnConnection = false;

    std::thread m_thread;
};

}  // namespace emulators
