#include "Velmora/Manager.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <list>
#include <utility>

#include "NFC/SAM.h"
#include "NFC/Tag.h"
#include "Velmora/CardReaderFactory.h"
#include "Velmora/ManagerImpl.h"
#include "core/Clock.h"
#include "core/String.h"
#include "core/Log.h"
#include "core/Utils.h"

namespace RFID {

namespace {

// What an automatic read asks of the layout: the newest entries of the usage and top-up logs.
const unsigned AutoReadUsageLogEntries = 10;
const unsigned AutoReadTopUpLogEntries = 10;

const char* const MonetFirmwareFile = "MonetFW.mfh";

// The text of whatever was thrown, for the error report.
std::string describe(std::exception_ptr thrown)
{
    try {
        std::rethrow_exception(std::move(thrown));
    } catch (const std::exception& e) {
        // Its text may quote what a card or a reader said.
        return String::escaped(e.what(), String::MaxPayloadExcerptBytes);
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

// ----- Manager -----

Manager::Manager(std::shared_ptr<NFC::Reader> reader, const Config& config, std::string device, int baud)
    : m_impl(std::make_unique<Impl>(*this, std::move(reader), config, std::move(device), baud))
{
    const std::vector<std::string> allowed = config.ultralightTemplates();
    m_impl->maker = [allowed](const std::shared_ptr<NFC::Tag>& tag, const SamList& sams, Error& error) {
        return makeCardReader(tag, sams, allowed, error);
    };
}

Manager::~Manager() = default;

void Manager::setCardReaderMaker(CardReaderMaker maker)
{
    m_impl->maker = std::move(maker);
}

void Manager::runSync()
{
    m_impl->run(true);
}

void Manager::run()
{
    m_impl->run(false);
}

void Manager::stop()
{
    m_impl->stop();
    m_impl->waitStop();
}

Manager::State Manager::state() const
{
    return m_impl->state();
}

const char* Manager::stateName(State state)
{
    switch (state) {
        case State::Initializing:
            return "Initializing";
        case State::Idle:
            return "Idle";
        case State::Searching:
            return "Searching";
        case State::CardFound:
            return "CardFound";
        case State::Updating:
            return "Updating";
        case State::Error:
            return "Error";
    }
    return "Unknown";
}

std::shared_ptr<CardReader> Manager::makeCardReader(const std::shared_ptr<NFC::Tag>& tag, const SamList& sams,
                                                    const std::vector<std::string>& allowedTemplates,
                                                    Error& error)
{
    switch (tag->type()) {
        case NFC::Tag::MifareUltralight:
            return CardReaderFactory::processUltralightCard(tag, sams, allowedTemplates, &error);
        case NFC::Tag::EMV:
            return CardReaderFactory::createFromTemplateName("EMV", tag, sams, &error);
        default:
            error = Error(Error::UnsupportedCard, "Unsupported card type " + std::to_string(tag->type()));
            return nullptr;
    }
}

// ----- Manager::Impl -----

Manager::Impl::Impl(Manager& owner, std::shared_ptr<NFC::Reader> reader, const Config& config,
                    std::string device, int baud)
    : MsgService<Impl>("RFIDManager"),
      m_owner(owner),
      m_reader(std::move(reader)),
      m_config(config),
      m_device(std::move(device)),
      m_baud(baud)
{
    idlePeriod = idlePeriodOf(State::Initializing);
}

Manager::Impl::~Impl()
{
    stop();
    waitStop();
}

bool Manager::Impl::isVUrurSystemFirmware(const std::string& file)
{
    return Utils::match(Utils::getFilenameFromFilepath(file), "vurur2-fw-*");
}

int Manager::Impl::idlePeriodOf(State state)
{
    switch (state) {
        case State::Initializing:
            return 1000;
        case State::Searching:
            return 0;
        case State::Error:
            return 2000;
        case State::Idle:
        case State::CardFound:
        case State::Updating:
            break;
    }
    return 100;
}

void Manager::Impl::onIdle()
{
    // A handler that throws leaves the reader in a state nobody knows: start again from opening it.
    try {
        switch (m_state.load()) {
            case State::Initializing:
            case State::Error:
                initialize();
                break;
            case State::Searching:
                search();
                break;
            case State::CardFound:
                checkPresence();
                break;
            case State::Idle:
            case State::Updating:
                break;
        }
    } catch (...) {
        const std::string what = describe(std::current_exception());
        log(Log::LevelError, "ERROR: %s: %s", stateName(m_state.load()), what.c_str());
        m_cardReader.reset();
        report(Error(ReaderUnavailable, std::string(stateName(m_state.load())) + ": " + what));
        setState(State::Error);
    }
}

void Manager::Impl::setState(State state)
{
    if (m_state.load() == state)
        return;
    m_state = state;
    idlePeriod = idlePeriodOf(state);
    log(Log::LevelInfo, "State: %s", stateName(state));
    notify("state changed", m_owner.stateChanged, state);
}

void Manager::Impl::report(const Error& error)
{
    log(Log::LevelError, "ERROR: (%d) %s", static_cast<int>(error.code()), error.text().c_str());
    notify("error", m_owner.error, error);
}

void Manager::Impl::initialize()
{
    m_sams.clear();
    m_checkReader = false;
    m_tag.reset();
    m_card.reset();
    m_cardReader.reset();

    log(Log::LevelInfo, "Opening reader '%s'",
        String::escaped(m_device, String::MaxPathExcerptBytes).c_str());
    if (!m_reader->open(m_device, m_baud)) {
        report(Error(ReaderUnavailable, "open: " + m_reader->error().message));
        setState(State::Error);
        return;
    }

    const Info info{m_reader->manufacturer(), m_reader->model(), m_reader->firmware(), m_reader->deviceUID()};
    // Each of them is the reader's own text.
    const auto text = [](const std::string& said) {
        return String::escaped(said, String::MaxTextExcerptBytes);
    };
    log(Log::LevelInfo, "Reader: %s %s, firmware %s, UID %s", text(info.manufacturer).c_str(),
        text(info.model).c_str(), text(info.firmware).c_str(), text(info.deviceUID).c_str());
    notify("info changed", m_owner.infoChanged, info);

    // The SAMs are only powered here; unlocking them is the SAM manager's work.
    const int slots = m_reader->numberOfSlots();
    for (int slot = 0; slot < slots; ++slot) {
        std::shared_ptr<NFC::SAM> sam = m_reader->turnOnSam(slot);
        if (!sam)
            continue;
        log(Log::LevelInfo, "[SAM-%d] Found SAM of type %d", slot, static_cast<int>(sam->type()));
        m_sams.push_back(sam);
        notify("SAM found", m_owner.samFound, slot, sam);
    }

    listFirmware();
    setState(State::Searching);
}

// Firmware updates are not done by this program yet: the files a reader would be given are only
// named in the log.
void Manager::Impl::listFirmware()
{
    const std::string& directory = m_config.firmwarePath();
    // The directory and the names in it are shown cut short and escaped: a line break in either
    // would forge a line of its own, at every open.
    const auto shown = [](const std::string& path) {
        return String::excerpt(path, String::MaxPathExcerptBytes);
    };
    std::list<std::string> files;
    if (!Utils::listFilesInDir(directory, files, "")) {
        log(Log::LevelWarning, "WARN: Cannot list firmware directory %s", shown(directory).c_str());
        return;
    }
    files.sort();
    const bool monet = m_reader->model() == "Monet";
    for (const std::string& file : files) {
        const std::string name = Utils::getFilenameFromFilepath(file);
        const std::string extension = Utils::getFileExtension(name);
        if (extension == ".done" || extension == ".failed" || (monet && name != MonetFirmwareFile))
            continue;
        if (isVUrurSystemFirmware(name))
            log(Log::LevelInfo, "Reader system firmware %s found, not applied", shown(file).c_str());
        else
            log(Log::LevelDebug, "Firmware candidate %s, not applied", shown(file).c_str());
    }
}

void Manager::Impl::search()
{
    const double start = Clock::monotonicMillis();
    // A search with nothing found and the check that the reader still answers take turns, each on
    // an idle tick of its own, so that requests from the control services go between them.
    if (m_checkReader) {
        m_checkReader = false;
        if (!m_reader->isOpen()) {
            report(Error(ReaderUnavailable, "search: Reader not responding"));
            setState(State::Error);
            return;
        }
        paceFrom(start);
        return;
    }
    std::shared_ptr<NFC::Tag> tag = m_reader->searchTag(SearchWaitMs);
    if (tag) {
        readCard(tag);
        return;
    }
    m_checkReader = true;
    paceFrom(start);
}

// A reader that holds its search has used up the period already; one that answers at once waits
// out the rest of it, the worker still taking messages meanwhile.
void Manager::Impl::paceFrom(double start)
{
    const double left = RequestPeriodMs - Clock::elapsedMonotonicMillis(start);
    idlePeriod = left > 0 ? static_cast<int>(std::ceil(left)) : idlePeriodOf(State::Searching);
}

void Manager::Impl::readCard(const std::shared_ptr<NFC::Tag>& tag)
{
    m_tag = tag;
    m_card = Card::make(tag, std::string());
    log(Log::LevelInfo, "Card found: UID %s, type %u", NFC::Tag::shownUid(tag->uid()).c_str(),
        static_cast<unsigned>(tag->type()));
    setState(State::CardFound);
    notify("card found", m_owner.cardFound, m_card);

    Error error;
    std::shared_ptr<Card> result;
    std::string layout;
    try {
        m_cardReader = maker ? maker(tag, m_sams, error) : nullptr;
        if (m_cardReader) {
            layout = m_cardReader->name();
            result = m_cardReader->read(AutoReadUsageLogEntries, AutoReadTopUpLogEntries);
            error = m_cardReader->error();
            if (!result && error.ok())
                error = Error(Error::CardReadWriteError, "read: no card returned");
        } else if (error.ok()) {
            error = Error(Error::UnsupportedCard, "No card reader for this card");
        }
    } catch (...) {
        const std::string what = describe(std::current_exception());
        log(Log::LevelError, "ERROR: Card read failed: %s", what.c_str());
        error = Error(Error::CardReadWriteError, "read: " + what);
        result.reset();
    }

    if (!result) {
        result = Card::make(tag, layout);
    }
    if (!error.ok())
        report(error);
    notify("card auto-read", m_owner.cardAutoRead, error, result);
}

void Manager::Impl::checkPresence()
{
    bool present = false;
    try {
        present = m_tag->type() == NFC::Tag::EMV ? m_tag->iso14443()->driver()->EMV_checkPresence()
                                                 : m_tag->iso14443()->checkPresence();
    } catch (...) {
        const std::string what = describe(std::current_exception());
        log(Log::LevelError, "ERROR: Presence check failed: %s", what.c_str());
    }
    if (present)
        return;
    log(Log::LevelInfo, "Card removed: UID %s", NFC::Tag::shownUid(m_tag->uid()).c_str());
    std::shared_ptr<Card> card = std::move(m_card);
    m_cardReader.reset();
    m_tag.reset();
    setState(State::Searching);
    notify("card removed", m_owner.cardRemoved, card);
}

}  // namespace RFID
