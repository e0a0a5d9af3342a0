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
    const S Off = S::Stopped, Ing = S::Connecting, On = S::Connected, Wait = S::Waiting;
    const A No = A::None, Con = A::Connect, Dis = A::Disconnect, Sub = A::Subscribe;
    const A Pause = A::PauseThenConnect;
    // clang-format off
    const Link::Step table[4][6] = {
        // Start     Stop        Connected   Lost           ConnectFailed  ReconnectDue
        {{Ing, Con}, {Off, No},  {Off, Dis}, {Off, No},     {Off, No},     {Off, No}},   // Stopped
        {{Ing, No},  {Off, Dis}, {On, Sub},  {Ing, No},     {Wait, Pause}, {Ing, No}},   // Connecting
        {{On, No},   {Off, Dis}, {On, Sub},  {Wait, Pause}, {On, No},      {On, No}},    // Connected
        {{Wait, No}, {Off, No},  {On, Sub},  {Wait, No},    {Wait, No},    {Ing, Con}},  // Waiting
    };
    // clang-format on
    for (int s = 0; s < 4; ++s)
        for (int e = 0; e < 6; ++e) {
            SCOPED_TRACE(testing::Message() << "state " << s << ", event " << e);
            const Link::Step step = Link::step(states[s], events[e]);
            EXPECT_EQ(step.next, table[s][e].next);
            EXPECT_EQ(step.action, table[s][e].action);
        }
}

}  // namespace
