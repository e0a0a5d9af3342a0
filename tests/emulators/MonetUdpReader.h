// An emulated Monet reader's B- or N-protocol endpoint on 127.0.0.1 at a system-chosen port. It
// answers each request to the driver's listen port (not the request's source port) with its own
// terminal id, from scripts per command that a test may replace, and can be told to misbehave:
// silence, late answers, the previous answer first, duplicates, extra datagrams (odd sizes, from
// 127.0.0.2). Every request is recorded. It runs on a thread of its own; every public call is
// thread-safe. Written from the wire format, independent of the program's codec.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace emulators {

class MonetUdpReader
{
public:
    using Pairs = std::vector<std::pair<char, std::string>>;

    struct Request
    {
        char letter = 0;
        int type = -1;
        std::string header;  // the 36 characters after STX
        std::string terminalId;
        uint8_t command = 0;  // from field 'T'
        Pairs fields;
        Pairs subFields;
        size_t size = 0;
    };

    struct Answer
    {
        int type = 1;
        Pairs fields;
        Pairs subFields;
    };

    struct Datagram
    {
        std::vector<uint8_t> bytes;
        bool fromOtherAddress = false;  // sent from 127.0.0.2
    };

    // What the default handlers answer.
    struct Script
    {
        std::string version = "MON-4.4.1";
        int termClessIntermediates = 0;       // type-0 answers before the last
        std::string termClessResult = "000";  // of the last answer ("030": already switched)
        std::string tapStartResult = "000";
        std::string tapStopResult = "000";
        std::string pollResult = "000";
        std::string uid = "04A1B2C3";
        std::string token = "TOKEN-5F2A";
        std::string brand = "VISA";
        std::string pan = "4111********1111";
        std::vector<Answer> callParams;  // all sent at once to each opening CallParams ('T' added)
    };

    struct Knobs
    {
        bool silent = false;
        int lateMs = 0;
        bool previousFirst = false;
        bool duplicate = false;
        std::vector<Datagram> before;  // sent ahead of every answer
    };

    using Handler = std::function<std::vector<Datagram>(const Request&)>;

    explicit MonetUdpReader(char letter, std::string terminalId = "TID01234");
    ~MonetUdpReader();
    MonetUdpReader(const MonetUdpReader&) = delete;
    MonetUdpReader& operator=(const MonetUdpReader&) = delete;

    uint16_t port() const { return m_port; }
    const std::string& terminalId() const { return m_terminalId; }
    void replyTo(uint16_t port);
    void setScript(Script script);
    void setKnobs(Knobs knobs);
    // Replaces the default answers to one command code.
    void onCommand(uint8_t command, Handler handler);
    // Sends at once, to the reply port, copies times over.
    void send(const Datagram& datagram, size_t copies = 1);

    // Off for long runs (benchmarks): requests are then not kept, only counted as answered.
    void setRecording(bool on);
    std::vector<Request> requests() const;
    bool waitForRequests(size_t count, int timeoutMs) const;
    // Requests whose answers (or silence) are done with, late ones included.
    bool waitForAnswered(size_t count, int timeoutMs) const;
    // Trip data of each TapModePoll that carried 'F', Base64-decoded and inflated.
    std::vector<std::string> tripData() const;

    // A frame as the reader sends it.
    std::vector<uint8_t> frame(const Answer& answer) const;
    std::vector<uint8_t> frameWithBody(int type, const std::vector<uint8_t>& body) const;

private:
    void run();
    void handle(const std::vector<uint8_t>& datagram);
    std::vector<Datagram> defaultAnswers(const Request& request);
    void sendLocked(const Datagram& datagram, size_t copies = 1);

    const char m_letter;
    const std::string m_terminalId;
    int m_fd = -1;
    int m_otherFd = -1;
    int m_wake[2] = {-1, -1};
    uint16_t m_port = 0;
    uint16_t m_replyPort = 0;
    Script m_script;
    Knobs m_knobs;
    std::vector<std::pair<uint8_t, Handler>> m_handlers;
    std::vector<Datagram> m_previous;
    std::vector<Request> m_requests;
    std::vector<std::string> m_tripData;
    size_t m_answered = 0;
    bool m_recording = true;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::thread m_thread;
};

}  // namespace emulators
