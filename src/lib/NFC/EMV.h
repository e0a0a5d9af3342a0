// A contactless payment card that the reader's own EMV kernel handles: this class sends no card
// commands, it asks the driver for the card's payment token, hands it the data that completes a
// fare transaction, and turns the kernel's result codes into texts. Lives in a std::shared_ptr;
// used on the reader's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NFC/Tag.h"

namespace NFC {

class EMV : public Tag
{
public:
    // The kernel's codes; 1 to 39 come from the transport application, 200 and up from the kernel.
    enum Error : int
    {
        Success = 0,
        GeneralError = 200,
        MalformedMessage = 201,
        TimeoutError = 202,
        UseOnlyOneCard = 203,
        TapError = 204,
        SeePhone = 205,
        TripDataTooBig = 206,
        NoTicketsSelected = 207,
        AIDsConfigurationFailure = 208,
        IOError = 209,
    };

    EMV(std::shared_ptr<ISO14443> link, const std::vector<uint8_t>& uid, const std::vector<uint8_t>& ats);

    static std::shared_ptr<EMV> make(std::shared_ptr<ISO14443> link, const std::vector<uint8_t>& uid,
                                     const std::vector<uint8_t>& ats);

    // The card's payment token (text fields) into token; 0 or a kernel code. A kernel that fails
    // without saying why gives GeneralError, never 0.
    int read(std::vector<std::string>& token);
    // Completes the transaction with data; the kernel's answer fields into result. Codes as read.
    int write(std::string& data, std::vector<std::string>& result);

    // The text of a code; a code the kernel is not known to give reads "Unknown error (<code>)".
    static std::string errorstr(Error error);
};

}  // namespace NFC
