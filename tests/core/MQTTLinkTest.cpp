#include <gtest/gtest.h>

#include "core/MQTT/Link.h"

namespace {

using MQTT::Link;
using S = Link::State;
using A = Link::Action;

// Every event in every state. A word that is not of the state's own session or attempt changes
// nothing: a loss while connecting or waiting, a failure while connected or waiting.
TEST(MQTTLink, EveryEventInEveryStateDoesWhatItsCellSays)
{
    const Link::Event events[] = {Link::Event::Start, Link::Event::Stop,          Link::Event::Connected,
                                  Link::Event::Lost,  Link::Event::ConnectFailed, Link::Event::ReconnectDue};
    const S states[] = {S::Stopped, S::Connecting, S::Connected, S::Waiting};
    // One row per state, one cell per event in the order above.
    const Link::Step table[4][6] = {
        // Start, Stop, Connected, Lost, ConnectFailed, ReconnectDue
        {{S::Connecting, A::Connect},
         {S::Stopped, A::None},
         {S::Stopped, A::Disconnect},
         {S::Stopped, A::None},
         {S::Stopped, A::None},
         {S::Stopped, A::None}},
        {{S::Connecting, A::None},
         {S::Stopped, A::Disconnect},
         {S::Connected, A::Subscribe},
         {S::Connecting, A::None},
         {S::Waiting, A::PauseThenConnect},
         {S::Connecting, A::None}},
        {{S::Connected, A::None},
         {S::Stopped, A::Disconnect},
         {S::Connected, A::Subscribe},
         {S::Waiting, A::PauseThenConnect},
         {S::Connected, A::None},
         {S::Connected, A::None}},
        {{S::Waiting, A::None},
         {S::Stopped, A::None},
         {S::Connected, A::Subscribe},
         {S::Waiting, A::None},
         {S::Waiting, A::None},
         {S::Connecting, A::Connect}},
    };
    for (int s = 0; s < 4; ++s)
        for (int e = 0; e < 6; ++e) {
            SCOPED_TRACE(testing::Message() << "state " << s << ", event " << e);
            const Link::Step step = Link::step(states[s], events[e]);
            EXPECT_EQ(step.next, table[s][e].next);
            EXPECT_EQ(step.action, table[s][e].action);
        }
}

}  // namespace
