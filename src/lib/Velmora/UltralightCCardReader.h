// The base of the Ultralight C layout readers: the 3DES mutual authentication, computed here with
// a key or by a MIFARE SAM from its key entry; page READs of four pages and page WRITEs with a
// page cache that skips unchanged pages; the key pages, AUTH0/AUTH1 and the static lock bytes.
// Failures are recorded through setError with the operation's name. Worker thread only, like
// every layout reader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NFC/Protocols/Ultralight.h"
#include "Velmora/UltralightCardReader.h"

namespace RFID {

class UltralightCCardReader : public UltralightCardReader
{
public:
    // AUTH0 (page 42): the first page that needs authentication; AUTH1 (page 43) bit 0: only
    // writes need it. The defaults are the chip's own.
    struct Configuration
    {
        uint8_t auth0 = 0x30;
        uint8_t auth1 = 0x00;
    };

    static constexpr int LockPage = 2;
    static constexpr int Auth0Page = 42;
    static constexpr int Auth1Page = 43;
    static constexpr int KeyPage = 44;

    // The chip's factory key as the 3DES key ("BREAKMEIFYOUCAN!", each half byte-reversed).
    static const Bytes DefaultKey;

    UltralightCCardReader(std::string name, std::shared_ptr<NFC::Tag> tag, std::shared_ptr<NFC::SAM> sam);
    ~UltralightCCardReader() override;

    // Two-key 3DES mutual authentication with a 16-byte key.
    bool authenticate(const Bytes& key);
    // The same with a MIFARE SAM holding the key in an entry; the key is diversified by divInput
    // when that is not empty.
    bool authenticate(const std::shared_ptr<NFC::SAM>& sam, uint8_t keyNo, uint8_t keyVersion,
                      const Bytes& divInput);
    // READs of four pages over pages first to first + count - 1, appending 16 bytes a READ to out.
    bool normalReadPages(int first, int count, Bytes& out);
    // Pages first to first + count - 1 from data, 4 bytes a page; data shorter than that is refused
    // with nothing written. Pages the cache holds unchanged are not sent.
    bool writePages(int first, int count, const Bytes& data);
    // A 16-byte key into pages 44 to 47, each half byte-reversed as the chip keeps it.
    bool writeAuthKey(const Bytes& key);
    // AUTH1 (page 43), then AUTH0 (page 42), each as the first byte of its page.
    bool writeConfig(const Configuration& config);
    // Lock bytes 0 and 1 (page 2, bytes 2 and 3); the card OR-s them in.
    bool writeLockBytes01(uint8_t lock0, uint8_t lock1);

protected:
    // One WRITE, outside the cache; failures as "Error writing page (%d): %d".
    bool writePage(const char* operation, int page, const Bytes& bytes);

private:
    // True for the card's success; otherwise its error recorded under "authenticate".
    bool cardAuthenticationStep(NFC::Ultralight::Error error);
};

}  // namespace RFID
