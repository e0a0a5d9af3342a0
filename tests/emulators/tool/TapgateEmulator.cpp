// tapgate-emulator: an emulated reader for running tapgate with no hardware: an Elatec TWN or a
// Yarus (T2151) reader on a pseudo-terminal, or a networked VUrur reader on 127.0.0.1. It prints
// the device (a path, or "127.0.0.1:PORT") as its first line on stdout, then takes commands on
// stdin, one a line: "remove" takes the card out of the field, "place" puts it back (and ends a
// search the Yarus or VUrur reader holds, as the hardware holds one while the field is empty until
// a card comes or the search's time-out ends). It runs until it is killed; the end of stdin does
// not stop it. With --run it also starts a program (tapgate) with the device as its last argument,
// and ends with it; a program it cannot start is named with the reason, and it ends with 127.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/String.h"
#include "core/Utils.h"
#include "emulators/ElatecReader.h"
#include "emulators/LGSam.h"
#include "emulators/MifareSam.h"
#include "emulators/T2151Reader.h"
#include "emulators/VUrurReader.h"
#include "emulators/tool/Tickets.h"

namespace {

using emulators::Bytes;
using emulatortool::ticketKinds;

struct Help
{
};

struct Options
{
    std::string reader = "elatec";
    std::string card = "ev1";
    Bytes uid;
    Bytes announcedUid;  // empty: the card's own
    std::string slots[2] = {"mifare", "none"};
    bool unlocked = false;
    std::string keyDir;
    std::vector<std::string> run;  // a program and its arguments; the device path goes last
};

void usage()
{
    std::cerr << "Usage: tapgate-emulator [--reader R] [--card KIND] [--uid HEX] [--announce-uid HEX]\n"
                 "                       [--slot0 SAM] [--slot1 SAM] [--unlocked] [--key-dir DIR]\n"
                 "                       [--run PROGRAM [ARGS...]]\n"
                 "  --reader R    the reader (default elatec): elatec, an Elatec TWN reader, or yarus, a\n"
                 "                Yarus reader (T2151 protocol), on a pseudo-terminal; vurur, a networked\n"
                 "                VUrur reader on 127.0.0.1 (the device is \"127.0.0.1:PORT\")\n"
                 "  --card KIND   the card in the field (default ev1):\n";
    for (const auto& kind : ticketKinds()) std::cerr << "      " << kind.name << ": " << kind.help << "\n";
    std::cerr << "  --uid HEX     the card's UID instead of the model's own\n"
                 "  --announce-uid HEX  the UID the reader announces for the card, of any length\n"
                 "  --slot0 SAM, --slot1 SAM   mifare (AV3, default in slot 0), mifare-av2,\n"
                 "                             lg (the LG transit SAM model), none\n"
                 "  --key-dir DIR where the ticket's public key file is written (made when missing)\n"
                 "  --unlocked    the MIFARE SAMs come out of every power-on unlocked\n"
                 "  --run ...     start the program with the device as its last argument; end with it\n"
                 "Commands on stdin: remove, place\n";
}

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h")
            throw Help();
        if (arg == "--reader")
            options.reader = value();
        else if (arg == "--card")
            options.card = value();
        else if (arg == "--uid")
            options.uid = String::fromHex(value());
        else if (arg == "--announce-uid")
            options.announcedUid = String::fromHex(value());
        else if (arg == "--slot0")
            options.slots[0] = value();
        else if (arg == "--slot1")
            options.slots[1] = value();
        else if (arg == "--key-dir")
            options.keyDir = value();
        else if (arg == "--unlocked")
            options.unlocked = true;
        else if (arg == "--run" && i + 1 < argc)
            options.run.assign(argv + i + 1, argv + argc), i = argc;
        else
            throw std::invalid_argument("unknown option " + arg);
    }
    return options;
}

std::shared_ptr<emulators::SlotCard> makeSam(const std::string& kind, const Options& options,
                                             size_t passwordLength,
                                             std::shared_ptr<emulators::MifareSam>& mifare)
{
    if (kind == "none")
        return nullptr;
    if (kind == "lg") {
        auto sam = std::make_shared<emulators::LGSam>();
        sam->setPasswordLength(passwordLength);
        return sam;
    }
    if (kind != "mifare" && kind != "mifare-av2")
        throw std::invalid_argument("unknown SAM " + kind);
    auto sam = std::make_shared<emulators::MifareSam>(
        kind == "mifare" ? emulators::MifareSam::Generation::AV3 : emulators::MifareSam::Generation::AV2);
    sam->setUnlockedFromPowerOn(options.unlocked);
    if (!mifare)
        mifare = sam;
    return sam;
}

// The emulated reader the ticket sits behind, whichever its family.
struct EmulatedReader
{
    std::string device;  // what tapgate is given: a pseudo-terminal's path or "127.0.0.1:PORT"
    std::function<void(std::shared_ptr<emulators::FieldCard>)> setCard;  // null: an empty field
    std::function<void(int, std::shared_ptr<emulators::SlotCard>)> setSam;
};

// A T2151 reader reports a card's type in its own codes, which the driver hands on unchanged:
// 0x40 for an Ultralight, 0x100 for a DESFire (the one with an ISO 14443-4 layer).
template <class Peer>
EmulatedReader t2151(std::shared_ptr<Peer> peer, std::string device)
{
    return {std::move(device),
            [peer](std::shared_ptr<emulators::FieldCard> card) {
                const int type = card && !card->identity().ats.empty() ? 0x100 : 0x40;
                peer->device().setCard(std::move(card), type);
            },
            [peer](int slot, std::shared_ptr<emulators::SlotCard> sam) {
                peer->device().setSam(slot, std::move(sam));
            }};
}

EmulatedReader openReader(const std::string& family)
{
    if (family == "elatec") {
        auto reader = std::make_shared<emulators::ElatecReader>();
        return {reader->devicePath(),
                [reader](std::shared_ptr<emulators::FieldCard> card) { reader->setCard(std::move(card)); },
                [reader](int slot, std::shared_ptr<emulators::SlotCard> sam) {
                    reader->setSam(slot, std::move(sam));
                }};
    }
    if (family == "yarus") {
        auto reader = std::make_shared<emulators::T2151Reader>();
        return t2151(reader, reader->devicePath());
    }
    if (family == "vurur") {
        auto reader = std::make_shared<emulators::VUrurReader>();
        return t2151(reader, reader->host() + ":" + std::to_string(reader->port()));
    }
    throw std::invalid_argument("unknown reader " + family);
}

// A --run program that could not be started; what() names it and the system's reason.
struct CannotRun : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// The program runs beside the emulator and takes it down when it ends; it is ended with the
// emulator too (parent-death signal), so neither outlives the other. An exec that fails sends its
// errno back through a pipe that a successful exec closes, so that the failure is told here, in
// words, before the emulator ends.
void startProgram(std::vector<std::string> command, const std::string& device)
{
    command.push_back(device);
    std::vector<char*> argv;
    for (auto& arg : command) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int execError[2];
    if (pipe2(execError, O_CLOEXEC) != 0)
        throw CannotRun("cannot run " + command.front() + ": " + std::strerror(errno));
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        close(execError[0]);
        close(execError[1]);
        throw CannotRun("cannot run " + command.front() + ": " + std::strerror(error));
    }
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        execvp(argv[0], argv.data());
        const int error = errno;
        if (write(execError[1], &error, sizeof error) != static_cast<ssize_t>(sizeof error))
            _exit(126);
        _exit(127);
    }
    close(execError[1]);
    int error = 0;
    ssize_t n;
    while ((n = read(execError[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    close(execError[0]);
    if (n == static_cast<ssize_t>(sizeof error)) {
        waitpid(child, nullptr, 0);
        throw CannotRun("cannot run " + command.front() + ": " + std::strerror(error));
    }
    std::thread([child] {
        int status = 0;
        waitpid(child, &status, 0);
        std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }).detach();
}

// A card the reader announces under another UID than its own, as a reader of another make or a
// clone may; its answers are the card's.
struct AnnouncedUid : emulators::FieldCard
{
    AnnouncedUid(std::shared_ptr<emulators::FieldCard> card, Bytes uid)
        : card(std::move(card)), uid(std::move(uid))
    {
    }
    Identity identity() const override
    {
        Identity id = card->identity();
        id.uid = uid;
        return id;
    }
    void selected() override { card->selected(); }
    std::optional<Bytes> exchange4(const Bytes& command) override { return card->exchange4(command); }
    std::optional<Bytes> exchange3(const Bytes& frame) override { return card->exchange3(frame); }

    std::shared_ptr<emulators::FieldCard> card;
    Bytes uid;
};

int run(const Options& options)
{
    const emulatortool::TicketKind* kind = nullptr;
    for (const auto& k : ticketKinds())
        if (k.name == options.card)
            kind = &k;
    if (!kind)
        throw std::invalid_argument("unknown card " + options.card);
    emulatortool::Ticket ticket = kind->make(options.uid);
    if (!options.announcedUid.empty() && ticket.card)
        ticket.card = std::make_shared<AnnouncedUid>(ticket.card, options.announcedUid);

    const EmulatedReader reader = openReader(options.reader);
    std::shared_ptr<emulators::MifareSam> mifare;
    std::shared_ptr<emulators::SlotCard> sams[2];
    for (int slot = 0; slot < 2; ++slot)
        reader.setSam(slot,
                      sams[slot] = makeSam(options.slots[slot], options, ticket.lgPasswordLength, mifare));
    if (!options.keyDir.empty() && !ticket.keyFileText.empty()) {
        if (!Utils::makePath(options.keyDir))
            throw std::runtime_error("cannot make " + options.keyDir);
        std::ofstream(Utils::combinePath(options.keyDir, ticket.keyFileName), std::ios::trunc)
            << ticket.keyFileText;
    }
    if (ticket.prepareSam && mifare)
        ticket.prepareSam(*mifare);
    const auto slot1 = std::dynamic_pointer_cast<emulators::MifareSam>(sams[1]);
    if (ticket.prepareSlot1 && slot1)
        ticket.prepareSlot1(*slot1);
    reader.setCard(ticket.card);

    std::cout << reader.device << std::endl;
    if (!options.run.empty())
        startProgram(options.run, reader.device);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "remove")
            reader.setCard(nullptr);
        else if (line == "place")
            reader.setCard(ticket.card);
        else if (!line.empty())
            std::cerr << "unknown command '" << line << "' (remove, place)" << std::endl;
    }
    // With stdin at its end the reader stays up until a signal ends the process.
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(parse(argc, argv));
    } catch (const Help&) {
        usage();
        return 0;
    } catch (const CannotRun& e) {
        std::cerr << "tapgate-emulator: " << e.what() << std::endl;
        return 127;
    } catch (const std::exception& e) {
        usage();
        std::cerr << "ERROR: " << e.what() << std::endl;
        return 2;
    }
}
