// The field the KivoLUC and KivoLUCv2 tests and benchmarks run in: the Ultralight field (NFC::Reader
// over a pseudo-terminal to the emulated reader) with a blank Ultralight EV1 model and a MIFARE SAM
// model holding the tickets' offline keys: 0x15, AES-128, for the card password, and 0x16, two-key
// Triple-DES (an 8-byte full MAC), for the certificate and the copy signatures. Layout readers come
// from the factory on a fresh search, as the manager builds them. What the card should hold is
// computed by the emulators' KivoTicket on OpenSSL, apart from the code under test.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "MapEdits.h"
#include "UltralightField.h"
#include "Velmora/CardReaderFactory.h"
#include "emulators/ByteOps.h"
#include "emulators/KivoTicket.h"
#include "emulators/UltralightEV1.h"

namespace testsupport {

using emulators::operator+;

class KivoTicketField : public UltralightField
{
public:
    KivoTicketField()
    {
        auto model = std::make_shared<emulators::MifareSam>();
        emulators::kivo::loadKeys(*model);
        samClient = insertSam(model);
        ev1 = std::make_shared<emulators::UltralightEV1>();
        place(ev1);
    }

    // A layout reader for the card now in the field, built on a new search.
    std::shared_ptr<RFID::CardReader> reader(const std::string& name, bool withSam = true)
    {
        auto tag = reselect();
        mark();
        return RFID::CardReaderFactory::createFromTemplateName(
            name, tag, withSam ? RFID::SamList{samClient} : RFID::SamList{});
    }

    emulators::Bytes password() const { return emulators::kivo::password(ev1->identity().uid); }
    emulators::Bytes mac(const emulators::Bytes& data, size_t size) const
    {
        return emulators::kivo::mac(ev1->identity().uid, data, size);
    }

    // Pages first .. end - 1 as the card holds them.
    emulators::Bytes pages(int first, int end) const
    {
        emulators::Bytes out;
        for (int p = first; p < end; ++p) out = out + ev1->page(p);
        return out;
    }

    // From here on the counts below start again.
    void mark()
    {
        m_mark = card->commands().size();
        emulator.clearReceived();
    }

    std::vector<emulators::Bytes> frames() const
    {
        const auto all = card->commands();
        return std::vector<emulators::Bytes>(all.begin() + static_cast<long>(m_mark), all.end());
    }

    // The pages of the WRITE frames since the mark, in order.
    std::vector<int> pagesWritten() const
    {
        std::vector<int> out;
        for (const auto& f : frames())
            if (f.size() == 6 && f[0] == 0xA2)
                out.push_back(f[1]);
        return out;
    }

    size_t cardCommands(uint8_t code) const
    {
        size_t n = 0;
        for (const auto& f : frames()) n += !f.empty() && f[0] == code;
        return n;
    }

    // Every SAM APDU since the mark.
    size_t samApdus() const
    {
        size_t n = 0;
        for (const auto& r : emulator.received()) n += r.command == SamApdu;
        return n;
    }

    std::shared_ptr<emulators::UltralightEV1> ev1;
    std::shared_ptr<NFC::SAM> samClient;

private:
    size_t m_mark = 0;
};

}  // namespace testsupport
