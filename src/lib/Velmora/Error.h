// The result of a card-reader or manager operation: a code (0 for success), the text that says
// what failed, and optionally what the SAM reported about itself at that moment. Plain value
// type; copied freely between the worker and the threads that wait for its replies.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace RFID {

class Error
{
public:
    // Any int is a legal code: the payment kernel's results are carried as offsets into ranges.
    enum Code : int
    {
        Success = 0,
        EMVIOError = 100,          // the kernel's I/O error (209)
        UnsupportedCard = 201,     // no layout reader for the card that was found
        CardReadWriteError = 202,  // a layout operation failed
        EMVTransportBase = 400,    // kernel codes up to 199 are reported as 400 + code
        EMVKernelBase = 270,       // kernel codes from 200 up are reported as 270 + code
        EMVUnknownError = 900,     // the kernel's unknown error (999)
    };

    Error() = default;
    Error(Code code, std::string text) : m_code(code), m_text(std::move(text)) {}
    Error(int code, std::string text) : m_code(static_cast<Code>(code)), m_text(std::move(text)) {}

    Code code() const { return m_code; }
    const std::string& text() const { return m_text; }
    bool ok() const { return m_code == Success; }
    explicit operator bool() const { return m_code != Success; }

    // Null when the SAM said nothing.
    const nlohmann::json& samMetadata() const { return m_samMetadata; }
    void setSamMetadata(const nlohmann::json& metadata) { m_samMetadata = metadata; }

    void clear() { *this = Error(); }

    // {"code", "text"}, and "samMetadata" when there is some.
    nlohmann::json toJson() const;

    // The fixed name of a code ("Card read/write error" for 202); "Error <code>" for the others.
    static std::string codeToStr(int code);
    // The code under which a payment-kernel result is reported.
    static Code fromEMV(int kernelCode);

private:
    Code m_code = Success;
    std::string m_text;
    nlohmann::json m_samMetadata;
};

}  // namespace RFID
