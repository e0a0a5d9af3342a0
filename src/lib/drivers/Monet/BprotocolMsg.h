// One message of the Monet reader's UDP protocols (B and N): an ordered list of identified fields
// and one of sub-fields, with their body encoding. Always held through a shared pointer; the
// message owns copies of its values. Built and read by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace MonetReader {

// Field identifiers; a received message may carry any byte here.
enum FID : uint8_t
{
    FidCommand = 'T',
    FidResult = 'R',
    FidText = 'g',
    FidTapKind = 'k',
    FidParams = 'V',
    FidCardToken = '1',
    FidCardBrand = 'J',
    FidMaskedPAN = 'P',
    // Opens the sub-field section of a body; never a field of its own.
    FidSubFields = '9',
};

enum sFID : uint8_t
{
    SfidCless = 'c',
    SfidTripData = 'F',
    SfidCardUID = 'u',
};

// One decimal digit in the header; 0 marks an answer that further answers follow.
enum MessageType : uint8_t
{
    Intermediate = 0,
    Request = 1,
};

enum Command : uint8_t
{
    GetAppInfo = 0x80,
    SyncTime = 0x91,
    TermCless = 0x45,
    TapModeStart = 0x85,
    TapModeStop = 0x86,
    TapModePoll = 0x87,
    CallParams = 0x90,
};

class BprotocolMsg
{
public:
    static constexpr uint8_t FieldSeparator = 0x1C;
    static constexpr uint8_t SubFieldSeparator = 0x1D;

    struct FIDandValue
    {
        uint8_t id;
        std::string value;
    };
    using Ptr = std::shared_ptr<BprotocolMsg>;

    // An empty, valid message.
    static Ptr make();
    // A message parsed from a received body; valid() tells whether it parsed.
    static Ptr make(const uint8_t* body, size_t size);
    // A received message that cannot be trusted (no fields, valid() false).
    static Ptr makeMalformed();

    // A value holding a separator would split the body; such a message is refused as invalid.
    void pushFID(FID id, const std::string& value);
    void pushsFID(sFID id, const std::string& value);
    // The first value under the identifier, or an empty text.
    std::string popFID(FID id) const;
    std::string popsFID(sFID id) const;
    bool hasFID(FID id) const;

    std::vector<uint8_t> serialize() const;
    // Appends the body to out.
    void serialize(std::vector<uint8_t>& out) const;
    size_t serializedSize() const;
    bool deserialize(const uint8_t* body, size_t size);
    [[nodiscard]] bool valid() const { return m_valid; }

    bool isNprotocol() const { return m_nProtocol; }
    void setNprotocol(bool n) { m_nProtocol = n; }
    int type() const { return m_type; }
    void setType(int type) { m_type = type; }

    const std::vector<FIDandValue>& fields() const { return m_fields; }
    const std::vector<FIDandValue>& subFields() const { return m_subFields; }

private:
    bool parse(const uint8_t* body, size_t size);

    bool m_nProtocol = false;
    int m_type = Request;
    std::vector<FIDandValue> m_fields;
    std::vector<FIDandValue> m_subFields;
    bool m_valid = true;
};

}  // namespace MonetReader
