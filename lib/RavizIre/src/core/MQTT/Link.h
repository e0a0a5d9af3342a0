// Where a client's connection stands, and what each event does to it, in one table: the client
// keeps one Link::State and changes it only through step().
#pragma once

namespace MQTT {

struct Link
{
    enum class State
    {
        Stopped,
        Connecting,  // an attempt is under way; its outcome comes as Connected or ConnectFailed
        Connected,
        Waiting,  // for the pause after a failure or a loss to end
    };
    enum class Event
    {
        Start,
        Stop,
        Connected,
        Lost,
        ConnectFailed,
        ReconnectDue,
    };
    // What the client does with the step, at once and under the lock that guards the state, so
    // that no other step comes between a decision and what it does.
    enum class Action
    {
        None,
        Connect,
        Disconnect,
        Subscribe,         // the subscription pass of a new connection
        PauseThenConnect,  // Waiting: ReconnectDue comes after the pause
    };
    struct Step
    {
        State next;
        Action action;
    };

    // A word that is not of the state's own session or attempt (a loss while connecting is the
    // session before taking its leave, a failure while connected is of an attempt before) changes
    // nothing.
    static constexpr Step step(State state, Event event)
    {
        switch (event) {
            case Event::Start:
                return state == State::Stopped ? Step{State::Connecting, Action::Connect}
                                               : Step{state, Action::None};
            case Event::Stop:
                return {State::Stopped, state == State::Stopped || state == State::Waiting
                                            ? Action::None
                                            : Action::Disconnect};
            case Event::Connected:
                // One made after stop() is let go at once.
                return state == State::Stopped ? Step{state, Action::Disconnect}
                                               : Step{State::Connected, Action::Subscribe};
            case Event::Lost:
                return state == State::Connected ? Step{State::Waiting, Action::PauseThenConnect}
                                                 : Step{state, Action::None};
            case Event::ConnectFailed:
                return state == State::Connecting ? Step{State::Waiting, Action::PauseThenConnect}
                                                  : Step{state, Action::None};
            case Event::ReconnectDue:
                return state == State::Waiting ? Step{State::Connecting, Action::Connect}
                                               : Step{state, Action::None};
        }
        return {state, Action::None};
    }
};

}  // namespace MQTT
