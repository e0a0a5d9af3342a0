// A card on the emulated Monet reader whose reader announces it again while it is read, for tests
// of the program's one report per tap. Its answers come from the card it wraps; it runs on the
// emulator's thread.
#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "emulators/FieldCard.h"
#include "emulators/MonetSideChannel.h"

namespace testsupport {

// A card whose reader announces it again while it is read: `times` in all, spread over four of its
// answers from its first (or, when the read reselects it, from the first after the reselect), each
// batch just before its answer. A card whose read reselects refuses its first FAST_READ, as one
// that drops out of it does, so that an EV1's read reselects it too.
struct AnnouncedCard : emulators::FieldCard
{
    AnnouncedCard(std::shared_ptr<emulators::FieldCard> card, emulators::MonetSideChannel& side, int times,
                  bool reselects)
        : card(std::move(card)),
          side(side),
          left(times),
          batch((times + 3) / 4),
          skip(reselects ? -1 : 0),
          refuseFastRead(reselects)
    {
    }
    Identity identity() const override { return card->identity(); }
    void selected() override { card->selected(); }
    std::optional<emulators::Bytes> exchange4(const emulators::Bytes& command) override
    {
        const std::optional<emulators::Bytes> reply = card->exchange4(command);
        return announced(reply && !reply->empty(), reply);
    }
    std::optional<emulators::Bytes> exchange3(const emulators::Bytes& frame) override
    {
        const bool refused = refuseFastRead && frame.at(0) == 0x3A;
        refuseFastRead = refuseFastRead && !refused;
        const std::optional<emulators::Bytes> reply = refused ? std::nullopt : card->exchange3(frame);
        return announced(reply && (reply->size() > 1 || reply == emulators::Bytes{0x0A}), reply);
    }
    // On the emulator's thread, before it answers: the announcements go out first.
    std::optional<emulators::Bytes> announced(bool answered, const std::optional<emulators::Bytes>& reply)
    {
        if (skip < 0 && !answered)
            skip = 1;  // the reselect's own exchange comes next
        else if (skip > 0)
            --skip;
        else if (skip == 0 && answered)
            for (int i = 0; i < batch && left > 0; ++i, --left)
                side.sendEvent(0x38, emulators::MonetSideChannel::cardDescription(identity()));
        return reply;
    }
    std::shared_ptr<emulators::FieldCard> card;
    emulators::MonetSideChannel& side;
    std::atomic<int> left;
    const int batch;
    int skip;  // -1: until the read's first refused frame; then the exchanges still to pass by
    bool refuseFastRead;
};

}  // namespace testsupport
