#include "NFC/EMV.h"

#include <map>
#include <utility>

#include "core/String.h"

namespace NFC {

namespace {

const std::map<int, std::string>& errorTable()
{
    static const std::map<int, std::string> table = {
        {1, "Transaction terminated buy USER"},
        {2, "Card not valid for transport acceptance"},
        {3, "Card parameters not defined"},
        {4, "Error in card parameters"},
        {5, "Error in table"},
        {6, "Cannot connect server"},
        {7, "Unknown card"},
        {8, "Insufficient privileges"},
        {9, "Invalid card"},
        {10, "Expired card"},
        {11, "Card not yet valid"},
        {12, "Amount too low"},
        {13, "Amount too high"},
        {14, "Same card used"},
        {15, "Error in service code"},
        {16, "Error on PIN Pad"},
        {17, "Transport key error"},
        {18, "Time for presenting the card has expired"},
        {19, "Authorization error"},
        {20, "Memory full"},
        {21, "Internal error"},
        {22, "Error in validator message"},
        {23, "Signs don't match"},
        {24, "EMV card - Not supported callback"},
        {25, "EMV card rejected after online auth"},
        {26, "EMV card from MENU"},
        {28, "Retry transaction"},
        {29, "EMV card blocked"},
        {30, "Terminal busy"},
        {31, "RFID reader error"},
        {32, "No denylist in terminal (Older than 24 hours)"},
        {33, "Card on denylist"},
        {34, "Internal error (TRANSPORT)"},
        {35, "JUST TOKEN, no TRANSACTION"},
        {36, "Card on denylist - User already informed"},
        {37, "ON_DENYLIST with time (Card has a time coupon on it)"},
        {38, "PSD2 SCA FALLBACK to CHIP (no Device CVM)"},
        {39, "PSD2 SCA 2nd TAP (on Device CVM)"},
        {200, "General Error"},
        {201, "Malformed Message"},
        {202, "Timeout Error"},
        {203, "Use Only One Card"},
        {204, "Tap Error. Try Again"},
        {205, "See Phone for Instructions"},
        {206, "Trip Data Too Big - Select Less Tickets"},
        {207, "No Tickets Selected - Select Tickets First"},
        {208, "AIDs Configuration Failure"},
        {209, "IO Error"},
    };
    return table;
}

// A failure must never read as success, whatever code the driver left behind.
int failureCode(int error)
{
    return error == EMV::Success ? EMV::GeneralError : error;
}

}  // namespace

EMV::EMV(std::shared_ptr<ISO14443> link, const std::vector<uint8_t>& uid, const std::vector<uint8_t>& ats)
    : Tag(std::move(link), Tag::EMV, uid, ats)
{
}

std::shared_ptr<EMV> EMV::make(std::shared_ptr<ISO14443> link, const std::vector<uint8_t>& uid,
                               const std::vector<uint8_t>& ats)
{
    return std::make_shared<EMV>(std::move(link), uid, ats);
}

int EMV::read(std::vector<std::string>& token)
{
    const std::shared_ptr<Driver> driver = m_iso14443->driver();
    int error = Success;
    if (driver->EMV_getToken(token, error))
        return Success;
    return failureCode(error);
}

int EMV::write(std::string& data, std::vector<std::string>& result)
{
    const std::shared_ptr<Driver> driver = m_iso14443->driver();
    int error = Success;
    if (driver->EMV_completeTransaction(data, result, error))
        return Success;
    return failureCode(error);
}

std::string EMV::errorstr(Error error)
{
    const auto& table = errorTable();
    const auto it = table.find(error);
    if (it != table.end())
        return it->second;
    return String::format("Unknown error (%d)", static_cast<int>(error));
}

}  // namespace NFC
