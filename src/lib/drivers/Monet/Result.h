// The result codes the Monet protocol readers and the driver share: 0 success, 200-208
// failures, 900-902 outcomes that are not failures. The reader's own codes pass through as they
// come. Both protocols' names are kept, so that each reader reads in its own terms.
#pragma once

namespace MonetReader {

enum Result : int
{
    Success = 0,
    CardOK = 0,
    ErrorNotSent = 200,
    GeneralError = 200,
    ErrorMalformed = 201,
    MalformedMessage = 201,
    ErrorNoAnswer = 202,
    NoAnswer = 202,
    UseOneCard = 203,
    TapError = 204,
    SeePhone = 205,
    ErrorTripDataTooBig = 206,
    ErrorNoTripData = 207,
    AIDsConfigFailure = 208,
    NonEMVcardDetected = 900,
    EMVresult = 901,
    FirmwareDownloadStarted = 902,
};

}  // namespace MonetReader
