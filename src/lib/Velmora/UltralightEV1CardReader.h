// The base of the Ultralight EV1 layout readers: page input and output through one FAST_READ
// and page WRITEs with a page cache that skips unchanged pages, the configuration pages 37 to 40,
// PWD_AUTH with its PACK check, and the OTP page. Failures are recorded through setError with
// the operation's name. Worker thread only, like every layout reader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Velmora/UltralightCardReader.h"

namespace RFID {

class UltralightEV1CardReader : public UltralightCardReader
{
public:
    // The chip's configuration pages: 37 = MOD, 0, 0, AUTH0; 38 = ACCESS, VCTID, 0, 0; 39 = PWD and
    // 40 = PACK, 0, 0, both most significant byte first. The defaults are the chip's own.
    struct Configuration
    {
        uint8_t MOD = 0x00;
        uint8_t AUTH0 = 0xFF;
        uint8_t ACCESS = 0x00;
        uint8_t VCTID = 0x05;
        uint32_t PWD = 0xFFFFFFFF;
        uint16_t PACK = 0xFFFF;

        // The defaults with a password that pages from auth0 on ask for (reads too when access has
        // bit 7 set).
        static Configuration protectedBy(uint8_t auth0, uint8_t access, uint32_t pwd, uint16_t pack)
        {
            Configuration config;
            config.AUTH0 = auth0;
            config.ACCESS = access;
            config.PWD = pwd;
            config.PACK = pack;
            return config;
        }
    };

    static constexpr int OtpPage = 3;
    static constexpr int ConfigPage = 37;
    static constexpr int ConfigPages = 4;

    UltralightEV1CardReader(std::string name, std::shared_ptr<NFC::Tag> tag, std::shared_ptr<NFC::SAM> sam);
    ~UltralightEV1CardReader() override;

    // One READ of page 37 (pages 37 to 40), cached.
    bool readConfig(Configuration& config);
    // Pages 38, 39, 40 and then 37: AUTH0 goes last, since from that write on the card refuses
    // unauthenticated writes to the protected pages.
    bool writeConfig(const Configuration& config);
    // One FAST_READ of count pages from first; out is replaced by their 4 * count bytes.
    bool fastReadPages(int first, int count, Bytes& out);
    // Pages first to first + count - 1 from data, 4 bytes a page; data of another length is cut or
    // filled with 0x00 to count * 4 first. Pages the cache holds unchanged are not sent.
    bool writePages(int first, int count, const Bytes& data);
    bool verifyPassword(uint32_t password, uint16_t pack);
    // The 4 bytes of page 3.
    bool readOTP(Bytes& otp);
    // The card OR-s the 4 bytes into page 3.
    bool writeOTP(const Bytes& otp);

    // For the layout readers that hold their own card object. writeConfig's writes, log lines and
    // errors on reader; cache, when given, keeps the pages.
    static bool writeConfigPages(CardReader& reader, NFC::Ultralight& ultralight, const Configuration& config,
                                 UltralightPageCache* cache);
    // PWD_AUTH and the PACK check, failing as "Error authenticating password : %d" or "Password
    // authenticate mismatch (exp=%04x, recv=%04x)" on reader.
    static bool authenticatePassword(CardReader& reader, NFC::Ultralight& ultralight, uint32_t password,
                                     uint16_t pack);

protected:
    // Caches and logs pages from first out of bytes (4 per page).
    void cachePages(int first, const uint8_t* bytes, int count);
};

}  // namespace RFID
