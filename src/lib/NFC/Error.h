// The reader's last failure: the operation that failed, a code and a text. Plain value type.
#pragma once

#include <string>

namespace NFC {

class Error
{
public:
    Error() = default;
    Error(const std::string& function, int code, const std::string& message)
        : function(function), code(code), message(message)
    {
    }

    const std::string& what() const { return message; }

    std::string function;
    int code = 0;
    std::string message;
};

}  // namespace NFC
