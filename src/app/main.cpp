// tapgate [-c FILE] DEVICE: the card-reader service. It logs to syslog and stderr, works in its own
// directory, reads its configuration, opens the reader on DEVICE and runs the card-reader manager
// on the main thread until it is killed. Every card read is one JSON line on stdout.
#include <getopt.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "NFC/Reader.h"
#include "Velmora/Config.h"
#include "Velmora/Manager.h"
#include "core/String.h"
#include "core/Log.h"
#include "core/Utils.h"
#include "drivers/Monet/Factory.h"
#include "drivers/Monet/System/SystemPlatform.h"

namespace {

// The drivers choose their own line settings; this is what a serial reader is opened with.
const int DefaultBaud = 115200;

struct UsageError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

struct Options
{
    std::string configFile = RFID::Config::DefaultFile;
    std::string device;
    bool help = false;
};

void printUsage(FILE* to)
{
    std::fprintf(to,
                 "Usage: tapgate [-c FILE] DEVICE\n"
                 "  -c FILE   configuration file (default %s; a relative path is taken from the\n"
                 "            program's directory)\n"
                 "  DEVICE    the reader: a serial device such as /dev/rfid, or host[:port] of a\n"
                 "            networked one (localhost or an IPv4 address; port 1973 by default);\n"
                 "            a relative device path is taken from the program's directory\n"
                 "  -h, --help  show this text\n",
                 RFID::Config::DefaultFile);
}

Options parseOptions(int argc, char** argv)
{
    // Long options get codes no short option has: a failed one is then told apart from its short
    // form ("--help=1" is not "-h"), and named as written.
    const int LongHelp = 256;
    static const option longOptions[] = {{"help", no_argument, nullptr, LongHelp}, {nullptr, 0, nullptr, 0}};
    Options options;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, "hc:", longOptions, nullptr)) != -1) {
        switch (option) {
            case 'c':
                options.configFile = optarg;
                break;
            case 'h':
            case LongHelp:
                options.help = true;
                return options;
            case '?':
                if (optopt == 'c')
                    throw UsageError("option -c needs a file name");
                // An unknown long option leaves optopt at 0, a known one its code; either way the
                // failed element is the one just passed.
                if (optopt == 0 || optopt >= LongHelp)
                    throw UsageError(std::string("unknown option ") + argv[optind - 1]);
                throw UsageError(std::string("unknown option -") + static_cast<char>(optopt));
        }
    }
    if (optind >= argc)
        throw UsageError("no reader device given");
    if (argc - optind > 1)
        throw UsageError(std::string("unexpected argument '") + argv[optind + 1] + "'");
    options.device = argv[optind];
    if (options.device.empty())
        throw UsageError("empty reader device");
    return options;
}

// One line per read: "uid", "type", "layout", "data", and "error" when the read failed.
void printRead(const RFID::Error& error, const std::shared_ptr<RFID::Card>& card)
{
    nlohmann::json line;
    line["uid"] = card->uid();
    line["type"] = static_cast<uint32_t>(card->type());
    line["layout"] = card->name();
    nlohmann::json data = nlohmann::json::object();
    RFID::Error shown = error;
    try {
        data = card->data().toJson();
        if (!data.is_object())
            data = nlohmann::json::object();
    } catch (const std::exception& e) {
        Log::error("ERROR: Card data not printable: %s",
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
        if (shown.ok())
            shown = RFID::Error(RFID::Error::CardReadWriteError, std::string("read: ") + e.what());
    }
    line["data"] = std::move(data);
    if (!shown.ok())
        line["error"] = {{"code", static_cast<int>(shown.code())}, {"text", shown.text()}};
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
}

int run(int argc, char** argv)
{
    const Options options = parseOptions(argc, argv);
    if (options.help) {
        printUsage(stdout);
        return 0;
    }

    Log::open("tapgate", true, false);
    Log::setLevel(Log::LevelInfo);
    Log::info("tapgate %s", TAPGATE_VERSION);

    const std::string directory = Utils::changeToAppPath();
    if (directory.empty())
        Log::warning("WARN: Cannot change to the program's directory");

    RFID::Config config;
    config.load(options.configFile);

    // Only the program brings up a Monet reader's PPP link; the library's default platform runs nothing.
    Monet::Driver::Setup monet;
    monet.platform = std::make_shared<Monet::SystemPlatform>();
    // The document is held once: the provider is copied into every driver and reader the facade makes.
    monet.configuration = [document = config.document()] { return *document; };
    auto reader =
        std::make_shared<NFC::Reader>(Monet::withDriverFactory(NFC::Reader::defaultDriverFactories(), monet));
    RFID::Manager manager(reader, config, options.device, DefaultBaud);
    manager.cardAutoRead.connect([](const RFID::Error& error, std::shared_ptr<RFID::Card> card) {
        try {
            printRead(error, card);
        } catch (const std::exception& e) {
            Log::error("ERROR: Cannot print the read: %s",
                       String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
        }
    });
    manager.runSync();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        printUsage(stderr);
        std::fprintf(stderr, "ERROR: %s\n",
                     String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ERROR: %s\n",
                     String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    }
    return -1;
}
