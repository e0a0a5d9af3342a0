// A MIFARE Ultralight EV1 card of 41 pages (MF0UL21) for the reader emulator: READ and FAST_READ
// with roll-over, WRITE with lock bits and the OTP page OR-ed, GET_VERSION, READ_SIG, three
// 24-bit one-way counters (READ_CNT, INCR_CNT, CHECK_TEARING_EVENT), PWD_AUTH with PACK, AUTH0,
// PROT, CFGLCK and AUTHLIM. PWD and PACK always read as zeros. Thread-safe (see UltralightCard).
#pragma once

#include "emulators/UltralightCard.h"

namespace emulators {

class UltralightEV1 : public UltralightCard
{
public:
    static constexpr int Pages = 41;
    static constexpr int DynamicLockPage = 0x24;
    static constexpr int Config0Page = 0x25;  // MOD, RFUI, RFUI, AUTH0
    static constexpr int Config1Page = 0x26;  // ACCESS, VCTID, RFUI, RFUI
    static constexpr int PwdPage = 0x27;
    static constexpr int PackPage = 0x28;

    // ACCESS bits.
    static constexpr uint8_t AccessProt = 0x80;    // reads of protected pages need the password too
    static constexpr uint8_t AccessCfgLck = 0x40;  // configuration pages locked for good
    static constexpr uint8_t AccessAuthLim = 0x07;

    explicit UltralightEV1(const Bytes& uid = {0x04, 0xE1, 0x5B, 0x72, 0x4A, 0x5C, 0x80});

    // Sets PWD, PACK, AUTH0 and ACCESS directly (test set-up).
    void protect(uint32_t password, uint16_t pack, uint8_t auth0, uint8_t access = 0);
    uint32_t counter(int counter) const;
    void setCounter(int counter, uint32_t value);
    bool tearingFlag(int counter) const;
    void setSignature(const Bytes& signature);
    int failedPasswordAttempts() const;

protected:
    Reply command(const Bytes& frame) override;
    bool pageLocked(int page) const override;

private:
    Reply read(const Bytes& frame);
    Reply fastRead(const Bytes& frame);
    Reply write(const Bytes& frame);
    Reply readCounter(const Bytes& frame);
    Reply incrCounter(const Bytes& frame);
    Reply pwdAuth(const Bytes& frame);
    Reply checkTearing(const Bytes& frame);

    uint8_t auth0() const;
    uint8_t access() const;
    bool readProtected(int page) const;
    bool writeProtected(int page) const;
    Bytes hideSecrets(int page, Bytes data) const;

    uint32_t m_counters[3] = {0, 0, 0};
    bool m_torn[3] = {false, false, false};
    Bytes m_signature = Bytes(32, 0x00);
    int m_failedAttempts = 0;
};

}  // namespace emulators
