// The card-reader manager: one worker that owns the reader for the life of the process. It opens
// the reader, powers the SAMs in its slots, searches the field, has a layout reader built for each
// card found, reads the card and watches it until it leaves; when the reader fails it tries again
// every two seconds. Everything it learns leaves through the signals below, which run on the
// worker's thread (the thread of runSync, or the worker's own after run). No exception from a
// driver or a layout ends the worker: it becomes an error report and the worker goes on.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Velmora/Card.h"
#include "Velmora/CardReader.h"
#include "Velmora/Config.h"
#include "Velmora/Error.h"
#include "core/Signal.h"

namespace NFC {
class Reader;
class SAM;
class Tag;
}  // namespace NFC

namespace RFID {

class Manager
{
public:
    enum class State
    {
        Initializing,
        Idle,
        Searching,
        CardFound,
        Updating,
        Error
    };

    // What the reader said about itself when it was opened.
    struct Info
    {
        std::string manufacturer;
        std::string model;
        std::string firmware;
        std::string deviceUID;
    };

    // Builds the layout reader for a card just found, with the SAMs that answered, in slot order.
    // An empty pointer says there is none; the maker then puts the reason in its error argument.
    using CardReaderMaker = std::function<std::shared_ptr<CardReader>(const std::shared_ptr<NFC::Tag>& tag,
                                                                      const SamList& sams, Error& error)>;

    // The reader could not be opened or stopped answering.
    static constexpr int ReaderUnavailable = 200;
    static constexpr int SearchWaitMs = 1000;
    // While searching, the shortest time from the start of one request to the reader (a search, or
    // the check that the reader still answers) to the next: a reader that answers an empty field
    // at once gets at most 100 requests a second instead of a busy worker.
    static constexpr int RequestPeriodMs = 10;

    // device and baud are handed to NFC::Reader::open. The default maker is the card-reader
    // factory with the configuration's Ultralight templates.
    Manager(std::shared_ptr<NFC::Reader> reader, const Config& config, std::string device, int baud);
    ~Manager();
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // Replaces the layout-reader maker; call before the worker runs.
    void setCardReaderMaker(CardReaderMaker maker);

    // Runs the worker on the calling thread until stop().
    void runSync();
    // Runs the worker on a thread of its own.
    void run();
    // Ends the worker after the step it is in and waits for it; any thread but the worker's.
    void stop();

    State state() const;
    static const char* stateName(State state);

    // The default maker: type 64 (Ultralight) through the factory's Ultralight detection, 512
    // (bank card) as "EMV", any other type refused.
    static std::shared_ptr<CardReader> makeCardReader(const std::shared_ptr<NFC::Tag>& tag,
                                                      const SamList& sams,
                                                      const std::vector<std::string>& allowedTemplates,
                                                      Error& error);

    Signal<const Info&> infoChanged;
    Signal<State> stateChanged;
    Signal<const Error&> error;
    // A SAM answered in this slot at initialisation.
    Signal<int, std::shared_ptr<NFC::SAM>> samFound;
    // The tag's UID and type, before any layout is chosen.
    Signal<std::shared_ptr<Card>> cardFound;
    Signal<std::shared_ptr<Card>> cardRemoved;
    // One per card found. The error's code is 0 when the read succeeded; otherwise the card is
    // what is known of the card (the layout's partial result, or the tag's UID and type with the
    // chosen layout's name and no data).
    Signal<const Error&, std::shared_ptr<Card>> cardAutoRead;

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace RFID
