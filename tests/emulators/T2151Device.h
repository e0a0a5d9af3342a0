// The command side of an emulated T2151 reader: it takes a request payload (TLVs) and gives the
// answer TLVs, with a contactless field holding at most one card model and four contact slots
// holding SAM models. It knows nothing of framing or lines, so the serial front end (T2151Reader)
// and a network front end can share it. Written from the protocol; its TLV codec is its own.
// A search finding the field empty is held, as the hardware holds it, until a card is placed or
// the search time-out the request carries ends; handle then blocks the front end's thread.
// Thread-safe: the front end's thread handles requests, the test thread sets up and inspects.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulators/FieldCard.h"
#include "emulators/SlotCard.h"

namespace emulators {

class T2151Device
{
public:
    struct Tlv
    {
        uint8_t tag = 0;
        Bytes value;
    };
    using Tlvs = std::vector<Tlv>;

    struct Request
    {
        int command = -1;  // tag 1, -1 when missing
        Tlvs tlvs;
        Bytes payload;
        int baud = 0;       // the line speed it arrived at (0 off a serial line)
        bool heard = true;  // false: sent at a speed the reader does not listen at, so unanswered
        double atMs = 0;    // steady clock: when it was sent, where the front end can tell
    };

    static constexpr int Slots = 4;

    // Ok false when the payload does not parse cleanly (the TLVs before the fault are kept).
    static Tlvs parse(const Bytes& payload, bool& ok);
    static Bytes encode(const Tlvs& tlvs);
    // The low width bytes of value, most significant first.
    static Bytes integer(uint32_t value, int width);
    // The value of the first TLV with the tag as a big-endian integer; fallback when missing.
    static uint32_t intOf(const Tlvs& tlvs, uint8_t tag, uint32_t fallback = 0);
    static const Tlv* find(const Tlvs& tlvs, uint8_t tag);

    T2151Device();

    // The answer to one request, tag 2 first. A setConfig answer sets switchTo to the new speed.
    // atMs is when the request was sent, where the front end knows it (now otherwise).
    Tlvs handle(const Bytes& payload, int baud, int& switchTo, double atMs = -1);
    // Records a request that reached the line at the wrong speed, without answering it.
    void misheard(const Bytes& payload, int baud, double atMs = -1);

    void setInfo(int value3, int value4, const std::string& firmware, const std::string& manufacturer,
                 const std::string& model);
    void dropInfoTag(uint8_t tag);  // leave this tag out of getInfo answers
    // The networked reader's dialect: getInfo ends with the two update texts (tag 35), command 18
    // switches the field off and command 4 is unknown.
    void setNetworked(const std::string& appUpdate, const std::string& sysUpdate);
    void setHardwareStatus(int status);
    void setPingResult(int result);
    // null: empty field. A card placed wakes a held search at once.
    void setCard(std::shared_ptr<FieldCard> card, int typeCode);
    // False: an empty field is answered at once, whatever time-out the search carries (a reader
    // that does not hold its searches).
    void setSearchHold(bool hold);
    // Ends any held search and answers every later one at once; the front end calls it before it
    // stops its thread.
    void close();
    void setSam(int slot, std::shared_ptr<SlotCard> sam);
    // The reader's result in answers to setConfig (non-zero: it keeps its speed).
    void setConfigResult(int result);

    std::vector<Request> requests() const;
    std::vector<int> commands() const;
    void clearRequests();
    bool waitForRequests(size_t count, int timeoutMs) const;
    bool rfOn() const;
    uint8_t leds() const;

private:
    void record(const Tlvs& request, const Bytes& payload, int baud, bool heard, double atMs);
    Tlvs handleSlot(int command, const Tlvs& request);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_recorded;
    std::condition_variable m_fieldChanged;
    std::deque<Request> m_requests;

    int m_value3 = 0x0102;
    int m_value4 = 7;
    std::string m_firmware = "T2151 2.4.1";
    std::string m_manufacturer = "Yarus";
    std::string m_model = "YR-4";
    std::vector<uint8_t> m_droppedInfoTags;
    bool m_networked = false;
    std::string m_appUpdate;
    std::string m_sysUpdate;
    int m_hardwareStatus = 0;
    int m_pingResult = 0;
    int m_configResult = 0;
    std::shared_ptr<FieldCard> m_card;
    int m_cardType = 0;
    bool m_holdSearch = true;
    bool m_closed = false;
    std::shared_ptr<SlotCard> m_sams[Slots];
    bool m_rf = false;
    uint8_t m_leds = 0;
};

}  // namespace emulators
