// What the MIFARE Ultralight family's card models share: page memory with the UID pages, the
// static lock bytes and the OTP page (both only ever OR-ed), CRC_A on every frame, the 4-bit
// ACK/NAK answers, the return to the idle state after a NAK (the card then ignores frames until a
// reader search selects it again), and the test knobs: an answer replaced by a NAK, an ACK or
// silence, a bad CRC, a short answer, and a write torn (or only its answer lost) after N writes.
// The Ultralight EV1 and Ultralight C models derive from it and add their commands. Thread-safe:
// the reader emulator's thread exchanges frames, the test thread sets up and inspects the card.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "emulators/FieldCard.h"

namespace emulators {

class UltralightCard : public FieldCard
{
public:
    static constexpr uint8_t Ack = 0x0A;
    static constexpr uint8_t NakInvalidArgument = 0x00;
    static constexpr uint8_t NakCrc = 0x01;
    static constexpr uint8_t NakCounterOverflow = 0x04;
    static constexpr uint8_t NakWriteError = 0x05;
    static constexpr int AnyCommand = -1;

    struct Fault
    {
        enum Kind
        {
            Nak,          // the command is not run; answer NAK value
            AckOnly,      // the command is not run; answer a bare ACK
            Mute,         // the command is not run; no answer
            BadCrc,       // the command runs; its data answer carries a wrong CRC
            ShortAnswer,  // the command runs; only the first value bytes of its answer go out
        };
        Kind kind;
        int value = 0;
        // The command code (first frame byte) whose next answer misbehaves, or AnyCommand.
        int command = AnyCommand;
    };

    // uid: 7 bytes; pages: the whole memory size in pages.
    UltralightCard(const Bytes& uid, int pages);

    Identity identity() const override;
    void selected() override;
    std::optional<Bytes> exchange4(const Bytes& command) override;
    std::optional<Bytes> exchange3(const Bytes& frame) override;

    void inject(const Fault& fault);
    // The write after the next n successful writes is torn: the card loses power while
    // programming, so the write is half done and no answer comes. Negative: never. landed: the
    // page is programmed in full before the power goes, and only the answer is lost. inAir: the
    // page is programmed and acknowledged, and the acknowledgement is lost on its way to the
    // reader: the card stays selected and authenticated.
    void tearAfterWrites(int n, bool landed = false, bool inAir = false);
    // A card taken out of the field is unselected: it drops its authentication.
    void reset();

    // Raw memory for test set-up and checks, bypassing every access rule.
    Bytes page(int page) const;
    void setPage(int page, const Bytes& data);
    Bytes memory() const;
    bool authenticated() const;
    // Frames received, CRC removed, in order.
    std::vector<Bytes> commands() const;

protected:
    // What a command handler gives back: a 4-bit ACK/NAK, data (CRC_A appended on the way out),
    // or nothing at all.
    struct Reply
    {
        enum Kind
        {
            AckNak,
            Data,
            Silent
        };
        Kind kind = Silent;
        uint8_t code = 0;
        Bytes data;

        static Reply ack() { return {AckNak, Ack, {}}; }
        static Reply nak(uint8_t code) { return {AckNak, code, {}}; }
        static Reply of(Bytes data) { return {Data, 0, std::move(data)}; }
        static Reply silent() { return {}; }
    };

    // One command, CRC removed; called with m_mutex held.
    virtual Reply command(const Bytes& frame) = 0;
    // A selection or reset drops the session; called with m_mutex held.
    virtual void dropSession() { m_authenticated = false; }
    // Whether the lock bits forbid writing the page; called with m_mutex held.
    virtual bool pageLocked(int page) const;

    // Read of four pages from page on, rolling over to page 0 past lastReadable; pages listed in
    // hidden read as zeros.
    Bytes readPages(int page, int count, int lastReadable) const;
    // Writes a user page, or OR-s the lock bytes and the OTP page; NAK when not writable. Counts
    // the write and may tear it (then Silent).
    Reply writePage(int page, const Bytes& data);
    // Call before programming anything other than a page (a counter): true when this write tears.
    bool tearsNow();
    // OR-s new lock bits into old, leaving the bits that a set block-lock bit freezes.
    static uint8_t orLockBits(uint8_t old, uint8_t wanted, uint8_t frozen);

    mutable std::mutex m_mutex;
    const int m_pages;
    Bytes m_memory;
    bool m_authenticated = false;

private:
    bool m_idle = false;
    int m_tearAfter = -1;
    bool m_tearLands = false;
    bool m_tearInAir = false;
    bool m_answerLostInAir = false;  // the reply being sent goes nowhere, the card stays active
    std::deque<Fault> m_faults;
    std::vector<Bytes> m_commands;
};

}  // namespace emulators
