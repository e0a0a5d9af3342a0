#include "NFC/T0.h"

namespace NFC {

namespace {

constexpr int SwOk = 0x9000;

T0::Result status(int sw)
{
    return {T0::Outcome::Status, sw};
}

}  // namespace

size_t T0::announced(int sw)
{
    if ((sw & 0xFF00) != 0x6100)
        return 0;
    const size_t xx = static_cast<size_t>(sw & 0xFF);
    return xx == 0 ? MaxAnswer : xx;
}

T0::Result T0::exchange(ISO7816& link, Driver::TPDUHeader header, const Bytes* data, Bytes& answer)
{
    if (data) {
        if (data->size() > MaxData)
            return {Outcome::TooLong, 0};
        header.P3 = static_cast<uint8_t>(data->size());
    }
    answer.clear();
    int sw = 0;
    if (!link.exchangeTPDU(header, data, &answer, sw))
        return {Outcome::LinkFailure, 0};
    return {Outcome::Done, sw};
}

T0::Result T0::receive(ISO7816& link, Driver::TPDUHeader header, size_t expected, Bytes& answer,
                       bool retryWrongLe)
{
    Bytes scratch;
    Result result = exchange(link, header, nullptr, scratch);
    // Only once: a SAM that keeps asking for another length is not followed round in circles.
    if (result.ok() && retryWrongLe && (result.sw & 0xFF00) == 0x6C00) {
        header.P3 = static_cast<uint8_t>(result.sw & 0xFF);
        result = exchange(link, header, nullptr, scratch);
    }
    if (!result.ok())
        return result;
    if (result.sw != SwOk)
        return status(result.sw);
    if (scratch.size() != expected)
        return {Outcome::WrongLength, result.sw};
    answer.swap(scratch);
    return result;
}

T0::Result T0::send(ISO7816& link, Driver::TPDUHeader header, const Bytes& data)
{
    Bytes scratch;
    const Result result = exchange(link, header, &data, scratch);
    if (!result.ok())
        return result;
    if (result.sw != SwOk)
        return status(result.sw);
    return result;
}

T0::Result T0::sendAndFetch(ISO7816& link, Driver::TPDUHeader header, const Bytes& data, size_t minLength,
                            size_t maxLength, Bytes& answer)
{
    Bytes scratch;
    const Result result = exchange(link, header, &data, scratch);
    if (!result.ok())
        return result;
    const size_t length = announced(result.sw);
    if (length == 0 || length < minLength || length > maxLength)
        return status(result.sw);
    return getResponse(link, length, answer);
}

T0::Result T0::getResponse(ISO7816& link, size_t length, Bytes& answer, int alsoOk)
{
    if (length == 0 || length > MaxAnswer)
        return {Outcome::TooLong, 0};
    Driver::TPDUHeader header{0x00, 0xC0, 0x00, 0x00, static_cast<uint8_t>(length & 0xFF)};
    Bytes scratch;
    const Result result = exchange(link, header, nullptr, scratch);
    if (!result.ok())
        return result;
    if (result.sw != SwOk && result.sw != alsoOk)
        return status(result.sw);
    if (scratch.size() != length)
        return {Outcome::WrongLength, result.sw};
    answer.swap(scratch);
    return result;
}

}  // namespace NFC
