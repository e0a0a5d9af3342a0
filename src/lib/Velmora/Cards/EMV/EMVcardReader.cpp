#include "Velmora/Cards/EMV/EMVcardReader.h"

#include <nlohmann/json.hpp>

#include "NFC/EMV.h"
#include "NFC/Tag.h"
#include "core/Clock.h"
#include "core/String.h"

namespace EMV {

namespace {

const char* const Name = "EMV";
using Json = nlohmann::json;

std::string compact(const Json& value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string field(const std::vector<std::string>& fields, size_t i)
{
    return i < fields.size() ? fields[i] : std::string();
}

const char* brandOf(const std::string& pan)
{
    if (pan.empty())
        return "";
    if (pan[0] == '4')
        return "VISA";
    if (pan[0] == '5')
        return "MASTERCARD";
    return "";
}

}  // namespace

CardReader::CardReader(std::shared_ptr<NFC::Tag> tag, std::shared_ptr<NFC::SAM> sam)
    : RFID::CardReader(Name, tag, std::move(sam))
{
    if (m_tag)
        m_emv = NFC::EMV::make(m_tag->iso14443(), m_tag->uid(), m_tag->ats());
}

CardReader::~CardReader() = default;

std::shared_ptr<CardReader> CardReader::make(std::shared_ptr<NFC::Tag> tag, std::shared_ptr<NFC::SAM> sam)
{
    return std::make_shared<CardReader>(std::move(tag), std::move(sam));
}

std::shared_ptr<RFID::Card> CardReader::create(bool)
{
    return read(0, 0);
}

std::shared_ptr<RFID::Card> CardReader::read(unsigned, unsigned)
{
    auto card = RFID::Card::make(m_tag, Name);
    const double start = startOperation("Reading EMV Card");
    std::vector<std::string> tokens;
    const int rc = m_emv ? m_emv->read(tokens) : NFC::EMV::GeneralError;
    if (rc != NFC::EMV::Success) {
        log(Log::LevelError, "Error received while Reading EMV Token: %d", rc);
        setEMVerror("readEMVtoken", NFC::EMV::errorstr(static_cast<NFC::EMV::Error>(rc)),
                    RFID::Error::fromEMV(rc));
    }
    VariantMap& data = card->data();
    data["EMVtoken"] = field(tokens, 0);
    data["expDate"] = field(tokens, 1);
    const std::string pan = field(tokens, 2);
    data["PAN"] = pan;
    data["cardBrand"] = brandOf(pan);
    finishOperation(start);
    m_activeCard = card;
    return card;
}

std::shared_ptr<RFID::Card> CardReader::write(const VariantMap& data)
{
    m_error.clear();
    // A "tripData" that is one value, or a map JSON cannot hold, is refused before the driver is
    // asked: the kernel would otherwise complete a payment with trip data nobody meant.
    std::string tickets = "null";
    std::string trip;
    try {
        const Json json = data.toJson();
        const auto member = json.find("tripData");
        if (member != json.end()) {
            if (!member->is_object())
                throw std::invalid_argument("\"tripData\" is not a group of members");
            const auto tk = member->find("tk");
            if (tk != member->end())
                tickets = compact(*tk);
            if (!tickets.empty() && tickets != "null")
                trip = compact(*member);
        }
    } catch (const std::exception& e) {
        setError("write", e.what());
        return nullptr;
    }
    if (!m_activeCard) {
        log(Log::LevelError, "m_activeCard is null ===> Return nullptr");
        setError("write", "No active card");
        return nullptr;
    }

    log(Log::LevelInfo, "Sending Trip Data to Monet Reader");
    const double start = Clock::millis();
    log(Log::LevelInfo, "Tickets received: %s",
        String::escaped(tickets, String::MaxPayloadExcerptBytes).c_str());
    std::vector<std::string> results;
    const int rc = m_emv ? m_emv->write(trip, results) : NFC::EMV::GeneralError;
    if (rc != NFC::EMV::Success) {
        log(Log::LevelError, "Error received while Sending Trip Data: %d", rc);
        setEMVerror("writeTripData", NFC::EMV::errorstr(static_cast<NFC::EMV::Error>(rc)),
                    RFID::Error::fromEMV(rc));
        return nullptr;
    }

    VariantMap written;
    // The text that was sent stands for its members: a key that is both a value and a parent
    // could not be shown as JSON.
    for (const auto& key : data.keys())
        if (trip.empty() || key.compare(0, 9, "tripData/") != 0)
            written[key] = data[key];
    if (!trip.empty())
        written["tripData"] = trip;
    if (!results.empty())
        m_activeCard->setUID(results[0]);
    if (results.size() > 1)
        written["EMVtoken"] = results[1];
    if (results.size() > 2)
        written["cardBrand"] = results[2];
    if (results.size() > 3)
        written["PAN"] = results[3];
    written["expDate"] = std::string();
    m_activeCard->setData(written);
    finishOperation(start);
    return m_activeCard;
}

}  // namespace EMV
