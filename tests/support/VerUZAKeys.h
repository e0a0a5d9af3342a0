// The VerUZA layout's key file made from a key pair of the test's, in a directory of its own that
// goes with it; the layout reads its keys there while this lives.
#pragma once

#include "PeerProcess.h"
#include "SealKey.h"
#include "Velmora/Cards/VerUZA/VerUZACardReader.h"

namespace testsupport {

struct VerUZAKeys
{
    VerUZAKeys()
    {
        SealKey::writeFile(directory / VerUZA::CardReader::KeyFileName, seal.publicText(false));
        VerUZA::CardReader::setKeyDirectories({directory.path()});
    }
    const TempDir directory;
    const SealKey seal;
};

}  // namespace testsupport
