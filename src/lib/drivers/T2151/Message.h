// The TLV message that every T2151 request and answer carries: tag, 16-bit big-endian length and
// value, back to back. Always held as a shared object (make); popping consumes the message. Not
// thread-safe: a message belongs to the one command that builds or reads it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace T2151 {

class Message
{
public:
    using Ptr = std::shared_ptr<Message>;

    struct Tlv
    {
        int32_t tag = 0;     // only the low 8 bits go on the wire
        int32_t length = 0;  // only the low 16 bits go on the wire
        std::vector<uint8_t> value;
    };

    // What a pop of a tag that is not there does: give 0, empty bytes or an empty text, or throw
    // std::out_of_range (for a link whose answers must carry every tag they are read for).
    enum class Missing
    {
        Default,
        Throw
    };

    static Ptr make();
    static Ptr make(const std::vector<uint8_t>& payload);

    void pushInt(int tag, int width, int value);
    void pushVec(int tag, const std::vector<uint8_t>& value);

    int popInt(int tag);
    std::vector<uint8_t> popVec(int tag);
    std::string popStr(int tag);
    bool has(int tag) const;

    std::vector<uint8_t> serialize() const;
    void deserialize(const std::vector<uint8_t>& payload);
    bool valid() const { return m_valid; }

    const std::vector<Tlv>& tlvs() const { return m_tlvs; }
    void setMissing(Missing missing) { m_missing = missing; }

    // The answer the receiver makes up when the reader opens a ZMODEM exchange ("rz") instead of
    // answering: tag 1 = 7 and no result. Only the wait for a firmware report takes it as an answer.
    static Ptr zmodemStart();
    bool isZmodemStart() const { return m_zmodemStart; }

private:
    // The first TLV with the tag, taken out of the list; false when there is none.
    bool take(int tag, std::vector<uint8_t>& value);

    std::vector<Tlv> m_tlvs;
    bool m_valid = false;
    bool m_zmodemStart = false;
    Missing m_missing = Missing::Default;
};

}  // namespace T2151
