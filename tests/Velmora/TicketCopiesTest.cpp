// The layouts that keep their data twice, in a valid copy and one being written, with a selector
// switched last (KivoLUCv2 on Ultralight EV1, ZodezuLUC and ZodezuLUCv2 on Ultralight C), end to
// end over the emulated reader, cards and SAMs: a write whose answer is lost after the card took
// it, retried by the same reader and torn again, always leaves one copy a fresh reader accepts.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "KivoTicketField.h"
#include "ZodezuField.h"

namespace {

using emulators::Bytes;

// One layout in its field, with a ticket issued on the card.
struct Layout
{
    std::shared_ptr<testsupport::UltralightField> field;
    // A reader on a fresh search.
    std::function<std::shared_ptr<RFID::CardReader>()> reader;
    // The ticket whose copy holds v, and v back from a map.
    std::function<VariantMap(int)> ticket;
    std::function<int(const VariantMap&)> version;
};

Layout kivoLUCv2()
{
    auto field = std::make_shared<testsupport::KivoTicketField>();
    auto created = field->reader("KivoLUCv2")->create(false);
    const VariantMap blank = created ? created->data() : VariantMap();
    return {field, [field] { return field->reader("KivoLUCv2"); },
            [blank](int v) {
                VariantMap m = blank;
                m["product0/productId"] = v;
                return m;
            },
            [](const VariantMap& m) { return m["product0/productId"].toInt(); }};
}

Layout zodezu(const testsupport::ZodezuLayout& layout)
{
    auto field = std::make_shared<testsupport::ZodezuField>();
    field->issue(layout);
    const std::string contract =
        layout.v2 ? "contract/contractExpirationOrStoredValue" : "contract/contractExpirationDateTime";
    return {field, [field, layout] { return field->reader(layout.name); },
            [layout](int v) { return testsupport::zodezuTicket(v, layout.v2); },
            [contract](const VariantMap& m) { return static_cast<int>(m[contract].toUInt() - 1700000000u); }};
}

void restore(emulators::UltralightCard& card, const Bytes& memory)
{
    for (size_t p = 0; p < memory.size() / 4; ++p)
        card.setPage(static_cast<int>(p), Bytes(memory.begin() + 4 * p, memory.begin() + 4 * p + 4));
}

TEST(TicketCopies, WriteRetriedAfterALostAnswerLeavesAValidCopyWhereverItTears)
{
    const std::function<Layout()> layouts[] = {kivoLUCv2,
                                               [] { return zodezu(testsupport::ZodezuLayouts[0]); },
                                               [] { return zodezu(testsupport::ZodezuLayouts[1]); }};
    for (const auto& start : layouts) {
        const Layout run = start();
        auto& card = *run.field->card;
        ASSERT_NE(run.reader()->write(run.ticket(0)), nullptr);
        SCOPED_TRACE(run.reader()->name());
        const Bytes issued = card.memory();
        // The first write's n-th page WRITE lands but its answer is lost; the retry on the same
        // reader is torn at its m-th.
        bool firstDone = false;
        for (int n = 0; !firstDone; ++n) {
            bool retryDone = false;
            for (int m = 0; !retryDone && !firstDone; ++m) {
                SCOPED_TRACE(testing::Message() << "answer lost at " << n << ", torn at " << m);
                restore(card, issued);
                auto r = run.reader();
                card.tearAfterWrites(n, true);
                firstDone = r->write(run.ticket(1)) != nullptr;
                card.tearAfterWrites(-1);
                if (firstDone)
                    break;
                run.field->reselect();
                r->resetCardState();
                card.tearAfterWrites(m);
                retryDone = r->write(run.ticket(2)) != nullptr;
                card.tearAfterWrites(-1);

                auto check = run.reader();
                auto got = check->read(0, 0);
                ASSERT_NE(got, nullptr) << check->error().text();
                const int v = run.version(got->data());
                EXPECT_TRUE(retryDone ? v == 2 : v >= 0 && v <= 2) << v;
            }
        }
    }
}

}  // namespace
