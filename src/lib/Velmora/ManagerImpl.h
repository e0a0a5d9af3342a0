// The manager's worker: a message service whose idle tick runs the handler of the current state
// (Initializing, Searching, CardFound, Error). Everything in it runs on the worker's thread except
// run, stop and state, which any thread may call.
#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "NFC/Reader.h"
#include "Velmora/CardReader.h"
#include "Velmora/Manager.h"
#include "core/MsgService.h"

namespace RFID {

class Manager::Impl : public MsgService<Manager::Impl>
{
public:
    // The manager's states, not the service's life cycle.
    using State = Manager::State;

    Impl(Manager& owner, std::shared_ptr<NFC::Reader> reader, const Config& config, std::string device,
         int baud);
    ~Impl() override;

    // A VUrur reader's system firmware file, by its name ("vurur2-fw-*"); the directory is ignored.
    static bool isVUrurSystemFirmware(const std::string& file);
    // Idle period of each state, in ms.
    static int idlePeriodOf(State state);

    State state() const { return m_state.load(); }

    CardReaderMaker maker;

protected:
    void onIdle() override;

private:
    // Emits on the worker's thread. A handler that throws is the listener's fault, not the
    // reader's: it is logged and the worker goes on as if it had returned.
    template <class... Slot, class... Args>
    void notify(const char* what, Signal<Slot...>& signal, Args&&... args)
    {
        try {
            signal.emit(std::forward<Args>(args)...);
        } catch (const std::exception& e) {
            log(Log::LevelError, "ERROR: %s handler failed: %s", what, e.what());
        } catch (...) {
            log(Log::LevelError, "ERROR: %s handler failed", what);
        }
    }

    void setState(State state);
    void report(const Error& error);
    void initialize();
    void listFirmware();
    void search();
    // The next idle tick comes no sooner than RequestPeriodMs after start (Clock::monotonicMillis).
    void paceFrom(double start);
    void readCard(const std::shared_ptr<NFC::Tag>& tag);
    void checkPresence();

    Manager& m_owner;
    const std::shared_ptr<NFC::Reader> m_reader;
    const Config m_config;
    const std::string m_device;
    const int m_baud;
    std::atomic<State> m_state{State::Initializing};

    // An empty search was answered: the next searching step asks whether the reader still answers.
    bool m_checkReader = false;
    SamList m_sams;
    std::shared_ptr<NFC::Tag> m_tag;
    std::shared_ptr<Card> m_card;
    std::shared_ptr<CardReader> m_cardReader;
};

}  // namespace RFID
