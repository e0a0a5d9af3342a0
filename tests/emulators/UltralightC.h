// A MIFARE Ultralight C card (48 pages, MF0ICU2) for the reader emulator: READ with roll-over,
// WRITE with static and dynamic lock bits and the OTP page OR-ed, the 16-bit one-way counter in
// page 41, AUTH0 (page 42) and AUTH1 (page 43), and the two-key 3DES mutual authentication with
// the key held in pages 44-47 (write-only, each key half stored byte-reversed). It knows no
// GET_VERSION and stays silent to it. The 3DES is OpenSSL's own. Thread-safe (see UltralightCard).
#pragma once

#include "emulators/UltralightCard.h"

namespace emulators {

class UltralightC : public UltralightCard
{
public:
    static constexpr int Pages = 48;
    static constexpr int DynamicLockPage = 0x28;
    static constexpr int CounterPage = 0x29;
    static constexpr int Auth0Page = 0x2A;
    static constexpr int Auth1Page = 0x2B;
    static constexpr int KeyPage = 0x2C;

    explicit UltralightC(const Bytes& uid = {0x04, 0x3A, 0x91, 0x0C, 0x22, 0x5D, 0x81});

    // The 16-byte key as the host uses it; stored into pages 44-47 the way the card keeps it.
    void setKey(const Bytes& key);
    // AUTH0: first protected page (0x30 and above: none). AUTH1 bit 0 set: only writes protected.
    void protect(uint8_t auth0, bool writeOnly);
    // The next RndB the card draws (8 bytes), for reproducible runs; otherwise random.
    void setNextRndB(const Bytes& rndB);
    uint16_t counter() const;

protected:
    Reply command(const Bytes& frame) override;
    void dropSession() override;
    bool pageLocked(int page) const override;

private:
    Reply read(const Bytes& frame);
    Reply write(const Bytes& frame);
    Reply authenticate1(const Bytes& frame);
    Reply authenticate2(const Bytes& frame);

    Bytes key() const;
    uint8_t auth0() const;
    bool readProtected(int page) const;
    bool writeProtected(int page) const;

    bool m_awaitingAnswer = false;
    Bytes m_rndB;
    Bytes m_ekRndB;
    Bytes m_nextRndB;
};

}  // namespace emulators
