// The base of every card layout reader: one object serves one detected card for the manager's
// worker, which alone calls it. It keeps the layout's name, the tag, the SAM it may use, the card
// it last read or wrote (callers get clones of it) and the error of the last operation. Layouts
// implement create, read and write; each returns a card, or an empty pointer with the reason in
// error().
#pragma once

#include <cstdarg>
#include <exception>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Velmora/Card.h"
#include "Velmora/Error.h"
#include "core/Log.h"
#include "core/VariantMap.h"

namespace NFC {
class Tag;
class SAM;
}  // namespace NFC

namespace RFID {

// The SAMs that answered in the reader's slots, in slot order.
using SamList = std::vector<std::shared_ptr<NFC::SAM>>;

class CardReader
{
public:
    // What a layout says when it works without the SAM it would use.
    static constexpr const char* NoSam = "No active SAM";

    CardReader(std::string name, std::shared_ptr<NFC::Tag> tag, std::shared_ptr<NFC::SAM> sam);
    virtual ~CardReader();
    CardReader(const CardReader&) = delete;
    CardReader& operator=(const CardReader&) = delete;

    // The flag is the layout's to interpret; the counts are the usage-log and top-up-log entries
    // wanted. Each starts with a cleared error.
    virtual std::shared_ptr<Card> create(bool flag) = 0;
    virtual std::shared_ptr<Card> read(unsigned usageLogs, unsigned topupLogs) = 0;
    virtual std::shared_ptr<Card> write(const VariantMap& data) = 0;
    // Forgets what the card was told in this session (authentication); nothing in the base.
    virtual void resetCardState();
    // Logs "ERROR: Operation '<operation>' failed: <message>" and records error 202 with the text
    // "<operation>: <message>".
    virtual void setError(const std::string& operation, const std::string& message);

    // The same log line, and the given code.
    void setEMVerror(const std::string& operation, const std::string& message, Error::Code code);
    // Attaches what the SAM reports about itself to the current error.
    void addSamMetadata(const nlohmann::json& metadata);
    void clearError() { m_error.clear(); }

    // A line prefixed "[<name>] ". Text that comes from a card, a SAM or a client goes in as an
    // argument, never as the format.
    void log(Log::Level level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

    const std::string& name() const { return m_name; }
    const std::shared_ptr<NFC::Tag>& tag() const { return m_tag; }
    const std::shared_ptr<NFC::SAM>& sam() const { return m_sam; }
    const std::shared_ptr<Card>& activeCard() const { return m_activeCard; }
    const Error& error() const { return m_error; }

protected:
    // The opening of a create, read or write: clears the error, logs what (info) and returns the
    // start time for finishOperation.
    double startOperation(const char* what);
    // Logs "Operation completed in %.2f msec." since start.
    void finishOperation(double start) const;
    // The end of a read: a card of the tag holding data becomes the current card; the caller gets
    // a clone.
    std::shared_ptr<Card> finishRead(double start, const VariantMap& data);
    // The opening of a write that no read came before: the card is read first, and one that cannot
    // be read is written as a new one.
    void readBeforeWrite();
    // The end of a write: data becomes the current card's; the caller gets a clone.
    std::shared_ptr<Card> finishWrite(double start, const VariantMap& data);
    // True for a MIFARE SAM's success code; otherwise the SAM's text as the error of operation.
    bool mifareSamStep(const char* operation, int samCode);
    // Runs step, for the codecs of a client's map that throw on a missing or malformed key: what it
    // throws becomes the error of operation, and false.
    template <typename Step>
    bool guarded(const std::string& operation, Step&& step)
    {
        try {
            step();
            return true;
        } catch (const std::exception& e) {
            setError(operation, e.what());
            return false;
        }
    }

    std::string m_name;
    std::shared_ptr<NFC::Tag> m_tag;
    std::shared_ptr<NFC::SAM> m_sam;
    std::shared_ptr<Card> m_activeCard;
    Error m_error;
};

}  // namespace RFID
