// An emulated MIFARE SAM AV2/AV3 for a reader emulator's contact slot: key entries and usage
// counters, version and GET CHALLENGE, the lock state with the AV2 three-pass host authentication
// (AES-128/192) and the AV1 two-pass form, card authentication on the host's behalf with the card
// session it leaves (MAC, encipher, decipher, ChangeKey cryptograms), and offline keys. Written from
// the protocol on OpenSSL (CardCrypto), never on the code under test. Runs on the reader emulator's
// thread; every public call is thread-safe.
//
// Card sessions follow the key entry's type: "TDEA DESFire4" entries run the DESFire native scheme
// (send-mode enciphering, CRC16, 4-byte CBC MACs, a zero IV per command); ISO 10116 Triple-DES and AES
// entries run the EV1 scheme (CBC with the session IV carried from command to command, CRC32, CMACs).
// Data MACed or enciphered by the SAM covers every byte it is given; deciphered answers are checked
// against a CRC over the plain data (native) or the plain data and a 0x00 status (EV1).
// Keys are diversified with AN10922 when an input is given (AES-128, two- and three-key Triple-DES),
// card keys and offline keys alike: an offline key activated with a card's UID is the key that
// card holds. Offline keys (ActivateOfflineKey), one per logical channel, serve the offline cipher commands,
// each from the loaded IV (zero unless LoadInitVector set one), and full-length CMACs (GenerateMAC).
// ChangeKeyPICC: P1 bit 0 asks for the form that changes a key other than the authenticated one
// (new XOR current, both CRCs), bits 1 and 2 diversify the current and the new key with the input.
#pragma once

#include <array>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "emulators/CardCrypto.h"
#include "emulators/SlotCard.h"

namespace emulators {

class MifareSam : public SlotCard
{
public:
    enum KeyType : uint8_t
    {
        DesfireNative = 0,
        Iso10116 = 1,
        Mifare = 2,
        ThreeKeyTdes = 3,
        Aes128 = 4,
        Aes192 = 5,
    };
    enum KeyClass : uint8_t
    {
        Host = 0,
        Picc = 1,
        OfflineChange = 2,
        OfflineCrypto = 4,
    };

    struct KeyEntry
    {
        Bytes keyA = Bytes(16, 0x00);
        Bytes keyB = Bytes(16, 0x00);
        Bytes keyC = Bytes(16, 0x00);
        uint32_t dfAID = 0;
        uint8_t dfKeyNo = 0;
        uint8_t keyNoCEK = 0;
        uint8_t keyVCEK = 0;
        uint8_t refNoKUC = 0xFF;  // 0xFF: no counter
        uint16_t set = 0;
        uint8_t extSet = 0;
        uint8_t verA = 0;
        uint8_t verB = 0;
        uint8_t verC = 0;

        // An entry whose version A holds key (16 bytes, or 24 for the three-key and AES-192 types).
        static KeyEntry make(KeyType type, KeyClass keyClass, const Bytes& key, uint8_t version = 0);
        KeyType type() const { return static_cast<KeyType>((set >> 11) & 0x07); }
        KeyClass keyClass() const { return static_cast<KeyClass>(extSet & 0x07); }
    };

    struct Counter
    {
        uint32_t limit = 0xFFFFFFFF;
        uint8_t keyNo = 0;
        uint8_t keyVer = 0;
        uint32_t value = 0;
    };

    // What the SAM holds after a card authentication, for a card model that must agree with it.
    struct CardSession
    {
        bool active = false;
        KeyType type = DesfireNative;
        Bytes key;  // the session key
        Bytes iv;   // EV1: the chaining value the next command starts from
    };

    enum class Generation
    {
        AV2,
        AV3
    };

    static constexpr size_t KeyEntries = 128;
    static constexpr size_t Counters = 16;

    explicit MifareSam(Generation generation = Generation::AV3);

    void setKeyEntry(uint8_t keyNo, const KeyEntry& entry);
    KeyEntry keyEntry(uint8_t keyNo) const;
    void setCounter(uint8_t refNo, const Counter& counter);
    Counter counter(uint8_t refNo) const;
    void setVersion(const Bytes& version);
    // An AV1 SAM answers GetKeyEntry without the extended settings byte.
    void setAv1Answers(bool on);
    void setUnlocked(bool unlocked);
    // A SAM that every power-on leaves unlocked, as one personalised without a host key is.
    void setUnlockedFromPowerOn(bool unlocked);
    bool unlocked() const;
    bool activated() const;
    // The next random bytes the SAM draws come from here first (challenges ending in 0x80 ..).
    void forceRandom(const Bytes& bytes);
    // The command with this instruction byte after the next `after` ones is refused with sw, leaving
    // the SAM's state as it was.
    void refuseNext(uint8_t ins, uint16_t sw, size_t after = 0);
    // The answer to the command with this instruction byte after the next `after` ones carries only
    // its first size data bytes, its status kept; the command itself runs.
    void shortenNext(uint8_t ins, size_t size, size_t after = 0);
    // The answer to the command with this instruction byte after the next `after` ones starts with
    // bytes in place of its own, its length and status kept; the command itself runs. For values
    // no key at hand derives.
    void overwriteNext(uint8_t ins, const Bytes& bytes, size_t after = 0);
    CardSession cardSession() const;
    // The 16-byte session key of the last AV1 host authentication; empty when there is none.
    Bytes av1SessionKey() const;

    std::optional<Bytes> powerOn() override;
    void powerOff() override;
    std::optional<Response> apdu(const Apdu& command) override;
    std::optional<Response> tpdu(const Bytes& header, const Bytes& data) override;

private:
    struct HostAuth
    {
        int stage = 0;  // 0 none, 1 after pass 1, 2 after pass 2; AV1: 11 after pass 1
        uint8_t ins = 0;
        uint8_t p1 = 0;
        Bytes key;
        KeyType type = Aes128;
        Bytes rnd2;  // the SAM's 12-byte challenge (AV1: RndB)
        Bytes rnd1;  // the host's 12 bytes
        Bytes ke;
        Bytes rndB;  // the SAM's 16-byte random of pass 2
    };
    struct PiccAuth
    {
        bool pending = false;
        KeyType type = DesfireNative;
        Bytes key;
        Bytes rndA;
        Bytes rndB;
        Bytes iv;
    };
    struct Offline
    {
        bool active = false;
        KeyType type = Aes128;
        Bytes key;
    };
    // A command that comes in frames (0xAF in P1 while more follows). Ciphering answers each frame
    // with what it can already give, so no answer grows past one frame's worth.
    struct Chain
    {
        uint8_t ins = 0;
        Bytes data;
        bool active = false;
        Bytes iv;           // running chaining value
        size_t done = 0;    // body bytes already ciphered
        size_t length = 0;  // decipher: the plain length announced in the first frame
        Bytes plain;        // decipher: plain bytes so far
        size_t released = 0;
    };

    Response handle(const Apdu& command);
    Response hostAuthenticate(const Apdu& command);
    Response hostPassOne(const Apdu& command);
    Response av1PassTwo(const Apdu& command);
    Response authenticatePicc(const Apdu& command);
    Response changeKeyEntry(const Apdu& command);
    Response activateOfflineKey(const Apdu& command);
    Response offlineCipher(const Apdu& command, bool encrypt);
    Response mac(uint8_t ins, uint8_t p2, const Bytes& data);
    Response encipher(uint8_t offset, bool final);
    Response decipher(bool final);
    Response changeKeyPicc(const Apdu& command);

    // The key of an entry for a version, or nullopt (0x6A82).
    std::optional<Bytes> keyOf(const KeyEntry& entry, uint8_t version) const;
    // Counts one use of the entry; false when its counter is exhausted.
    bool countUse(const KeyEntry& entry);
    Bytes draw(size_t n);
    Bytes hostSessionKey(const Bytes& key, const Bytes& rndA, const Bytes& rndB) const;
    Bytes hostMac(const Bytes& key, const Bytes& message) const;
    static cardcrypto::Cipher cipherOf(KeyType type);
    static size_t randomSize(KeyType type);

    mutable std::mutex m_mutex;
    const Generation m_generation;
    std::array<KeyEntry, KeyEntries> m_entries;
    std::array<Counter, Counters> m_counters;
    Bytes m_version;
    bool m_av1Answers = false;
    bool m_unlocked = false;
    bool m_unlockedFromPowerOn = false;
    bool m_activated = true;
    bool m_powered = false;
    std::deque<uint8_t> m_forced;
    struct Refusal
    {
        uint8_t ins;
        uint16_t sw;
        size_t after;
    };
    std::optional<Refusal> m_refusal;
    struct ShortAnswer
    {
        uint8_t ins;
        size_t size;
        size_t after;
    };
    std::optional<ShortAnswer> m_short;
    struct Overwrite
    {
        uint8_t ins;
        Bytes bytes;
        size_t after;
    };
    std::optional<Overwrite> m_overwrite;
    HostAuth m_host;
    Bytes m_av1SessionKey;
    PiccAuth m_picc;
    CardSession m_session;
    // Each logical channel (the class byte's low bits) keeps its own offline key.
    std::array<Offline, 4> m_offlines;
    uint8_t m_channel = 0;
    Bytes m_loadedIv;
    Chain m_chain;
};

}  // namespace emulators
