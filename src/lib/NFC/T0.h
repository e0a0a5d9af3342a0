// The two command cases of ISO 7816-3 T=0 over a SAM slot link, with GET RESPONSE and the
// 0x6Cnn retry in one place: a command set says what it sends and what it expects, and gets
// back either the answer or why there is none (link, length, status). Stateless; it runs on the
// caller's thread (the reader's) and writes the caller's answer vector only on success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "NFC/Driver.h"
#include "NFC/ISO7816.h"

namespace NFC {

class T0
{
public:
    using Bytes = std::vector<uint8_t>;

    enum class Outcome
    {
        Done,
        LinkFailure,  // the exchange itself failed: nothing came back
        WrongLength,  // the answer is not as long as announced or asked
        Status,       // the SAM answered a status word other than the one required
        TooLong,      // the data does not fit a one-byte P3; nothing was sent
    };

    struct Result
    {
        Outcome outcome = Outcome::Done;
        int sw = 0;
        [[nodiscard]] bool ok() const { return outcome == Outcome::Done; }
    };

    static constexpr size_t MaxData = 255;
    // What 0x61xx or a P3 of 0 stands for.
    static constexpr size_t MaxAnswer = 256;

    // One exchange as it stands; P3 is set from the data when data is given.
    [[nodiscard]] static Result exchange(ISO7816& link, Driver::TPDUHeader header, const Bytes* data,
                                         Bytes& answer);

    // Incoming case: P3 asks for the answer; the SAM must give 0x9000 and exactly `expected` bytes.
    // With retryWrongLe, one 0x6Cnn answer makes the command go again with P3 = nn.
    [[nodiscard]] static Result receive(ISO7816& link, Driver::TPDUHeader header, size_t expected,
                                        Bytes& answer, bool retryWrongLe = false);

    // Outgoing case with no answer: the SAM must give 0x9000.
    [[nodiscard]] static Result send(ISO7816& link, Driver::TPDUHeader header, const Bytes& data);

    // Outgoing case whose answer waits behind 0x61xx: the announced length must lie in
    // [minLength, maxLength] (else the status word is the result and nothing more is sent), and
    // GET RESPONSE then has to deliver exactly that many bytes.
    [[nodiscard]] static Result sendAndFetch(ISO7816& link, Driver::TPDUHeader header, const Bytes& data,
                                             size_t minLength, size_t maxLength, Bytes& answer);

    // GET RESPONSE 00 C0 00 00 xx for `length` bytes (256 goes out as 00). Status 0x9000, or
    // `alsoOk`, with exactly `length` bytes.
    [[nodiscard]] static Result getResponse(ISO7816& link, size_t length, Bytes& answer, int alsoOk = 0x9000);

    // The answer length that a 0x61xx status announces; 0 for any other status.
    static size_t announced(int sw);
};

}  // namespace NFC
