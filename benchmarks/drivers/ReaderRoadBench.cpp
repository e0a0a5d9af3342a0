// The reader road as the program takes it, through NFC::Reader and the Elatec TWN driver over a
// pseudo-terminal to the emulated reader (binary mode with CRC) with an emulated DESFire EV1 or
// Ultralight EV1 in its field and an emulated MIFARE SAM AV3 in slot 0: opening the reader,
// searching a card, a DESFire authentication through the SAM, a 256-byte enciphered DESFire read
// and a full Ultralight EV1 read.
//
// A pseudo-terminal has no baud rate, so the time measured is the software's own (ours, the
// emulators', the kernel's). Each operation is also run once through a relay that counts the bytes
// both ways: "to_reader" (also the emulator's own count) and "to_host" per operation, and
// "wire_us", what those bytes take on the real 115200 baud line at 86.8 us a byte. A real
// reader's RF and SAM time comes on top of both.
//
// BM_PeakResidentMemory runs a child process of this program that opens the reader, powers the
// SAM and holds a tag, and reports its peak resident memory and its private memory (USS) next to
// those of an idle child. Every process logs as the service does: log opened, level info.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "NFC/Protocols/DESFire.h"
#include "NFC/Protocols/MifareSAM.h"
#include "NFC/Protocols/Ultralight.h"
#include "NFC/Reader.h"
#include "core/Log.h"
#include "emulators/DesfireCard.h"
#include "emulators/ElatecReader.h"
#include "emulators/MifareSam.h"
#include "emulators/UltralightEV1.h"

extern char** environ;

namespace {

using emulators::Bytes;
using emulators::DesfireCard;
using emulators::ElatecReader;
using emulators::MifareSam;

const double MicrosPerByte = 1e6 * 10 / 115200;  // 8N1: ten bit times a byte

const Bytes HostKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                       0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const Bytes AppKey = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17,
                      0x28, 0x39, 0x4A, 0x5B, 0x6C, 0x7D, 0x8E, 0x9F};
constexpr uint32_t Aid = 0x010203;
constexpr uint8_t HostEntry = 0;
constexpr uint8_t AppEntry = 10;
constexpr uint8_t FreshAppEntry = 11;

void makeRaw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
}

// A serial line spliced between the driver and the emulated reader for the counting pass: the
// driver opens path(), the relay holds the emulator's tty, and a thread copies and counts.
class WireCounter
{
public:
    explicit WireCounter(const std::string& readerPath)
    {
        char name[256];
        int slave = -1;
        if (openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
            return;
        m_path = name;
        makeRaw(slave);
        // Kept open so that the driver's closing and reopening never hangs the line up.
        m_nearSlave = slave;
        m_far = ::open(readerPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_far >= 0)
            makeRaw(m_far);
        if (pipe(m_stop) != 0)
            return;
        m_thread = std::thread([this] { run(); });
    }

    ~WireCounter()
    {
        if (m_thread.joinable()) {
            const char stop = 1;
            (void)!write(m_stop[1], &stop, 1);
            m_thread.join();
        }
        for (int fd : {m_master, m_nearSlave, m_far, m_stop[0], m_stop[1]})
            if (fd >= 0)
                ::close(fd);
    }

    bool ok() const { return m_far >= 0 && m_thread.joinable(); }
    const std::string& path() const { return m_path; }
    void reset()
    {
        m_toReader = 0;
        m_toHost = 0;
    }
    size_t toReader() const { return m_toReader; }
    size_t toHost() const { return m_toHost; }

private:
    void run()
    {
        uint8_t buffer[4096];
        for (;;) {
            pollfd fds[3] = {{m_master, POLLIN, 0}, {m_far, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
            if (poll(fds, 3, -1) < 0)
                continue;
            if (fds[2].revents)
                return;
            if (fds[0].revents & POLLIN)
                m_toReader += copy(m_master, m_far, buffer, sizeof buffer);
            if (fds[1].revents & POLLIN)
                m_toHost += copy(m_far, m_master, buffer, sizeof buffer);
        }
    }

    static size_t copy(int from, int to, uint8_t* buffer, size_t size)
    {
        const ssize_t n = read(from, buffer, size);
        if (n <= 0)
            return 0;
        ssize_t done = 0;
        while (done < n) {
            const ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
            if (w <= 0)
                break;
            done += w;
        }
        return static_cast<size_t>(n);
    }

    int m_master = -1;
    int m_nearSlave = -1;
    int m_far = -1;
    int m_stop[2] = {-1, -1};
    std::string m_path;
    std::atomic<size_t> m_toReader{0};
    std::atomic<size_t> m_toHost{0};
    std::thread m_thread;
};

enum class Card
{
    Desfire,
    UltralightEV1
};

// The emulated reader with its card and SAM, and the program's reader object opened on it
// (directly or through the counting relay).
struct Road
{
    Road(Card kind, bool counted, ElatecReader::Mode mode = ElatecReader::Mode::BinaryCrc) : reader(mode)
    {
        reader.setRecording(false);
        if (kind == Card::Desfire) {
            desfireCard = std::make_shared<DesfireCard>();
            desfireCard->setKey(DesfireCard::PiccAid, 0, AppKey);
            reader.setCard(desfireCard);
        } else {
            reader.setCard(std::make_shared<emulators::UltralightEV1>());
        }
        sam = std::make_shared<MifareSam>(MifareSam::Generation::AV3);
        sam->setKeyEntry(HostEntry, MifareSam::KeyEntry::make(MifareSam::Aes128, MifareSam::Host, HostKey));
        sam->setKeyEntry(AppEntry,
                         MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Picc, AppKey));
        sam->setKeyEntry(FreshAppEntry,
                         MifareSam::KeyEntry::make(MifareSam::DesfireNative, MifareSam::Picc, Bytes(16, 0)));
        reader.setSam(0, sam);
        if (counted) {
            counter = std::make_unique<WireCounter>(reader.devicePath());
            if (!counter->ok())
                return;
        }
    }

    std::string path() const { return counter ? counter->path() : reader.devicePath(); }

    bool open()
    {
        nfc = std::make_shared<NFC::Reader>();
        return nfc->open(path(), 115200);
    }

    bool search()
    {
        tag = nfc->searchTag(1000);
        return tag != nullptr;
    }

    // The SAM powered and unlocked, the card found, and an application with a 256-byte enciphered
    // file under a key the SAM holds.
    bool prepareDesfire()
    {
        if (!open() || !search())
            return false;
        mifareSam = std::dynamic_pointer_cast<NFC::MifareSAM>(nfc->turnOnSam(0));
        desfire = std::dynamic_pointer_cast<NFC::DESFire>(tag);
        if (!mifareSam || !desfire || mifareSam->lockUnlock(HostKey, HostEntry, 0, false, false) != 0)
            return false;
        desfire->assignMifareSAM(mifareSam);
        NFC::DESFire::KeySettings2 keys;
        keys.numberOfKeys = 1;
        return desfire->authenticate(0, AppEntry, 0x00, false, 0) == 0 &&
               desfire->createApplication(Aid, NFC::DESFire::KeySettings1::unpack(0x0F), keys) == 0 &&
               desfire->selectApplication(Aid) == 0 &&
               desfire->authenticate(0, FreshAppEntry, 0x00, false, 0) == 0 &&
               desfire->createDataFile(1, NFC::DESFire::Enciphered, 0x0000, 256) == 0 &&
               desfire->writeData(1, 0, Bytes(256, 0x5A), true, false, {}) == 0;
    }

    bool authenticate() { return desfire->authenticate(0, FreshAppEntry, 0x00, false, 0) == 0; }

    bool readEnciphered()
    {
        data.clear();
        return desfire->readData(1, 0, 256, data, true) == 0 && data.size() == 256;
    }

    bool prepareUltralight()
    {
        if (!open() || !search())
            return false;
        ultralight = std::dynamic_pointer_cast<NFC::Ultralight>(tag);
        return ultralight != nullptr;
    }

    bool readUltralight()
    {
        data.clear();
        return ultralight->fastRead(0, emulators::UltralightEV1::Pages, data) == NFC::Ultralight::None &&
               data.size() == 4u * emulators::UltralightEV1::Pages;
    }

    ElatecReader reader;
    std::unique_ptr<WireCounter> counter;
    std::shared_ptr<DesfireCard> desfireCard;
    std::shared_ptr<MifareSam> sam;
    std::shared_ptr<NFC::Reader> nfc;
    std::shared_ptr<NFC::Tag> tag;
    std::shared_ptr<NFC::MifareSAM> mifareSam;
    std::shared_ptr<NFC::DESFire> desfire;
    std::shared_ptr<NFC::Ultralight> ultralight;
    Bytes data;
};

// The bytes one operation puts on the line, from a run through the counting relay; false when the
// operation failed there.
template <class Prepare, class Op>
bool countWire(benchmark::State& state, Card kind, ElatecReader::Mode mode, Prepare prepare, Op op)
{
    Road road(kind, true, mode);
    if (!road.counter || !road.counter->ok() || !prepare(road))
        return false;
    const size_t emulatorBefore = road.reader.bytesReceived();
    road.counter->reset();
    if (!op(road))
        return false;
    const size_t toReader = road.counter->toReader();
    const size_t toHost = road.counter->toHost();
    state.counters["to_reader"] = static_cast<double>(toReader);
    state.counters["to_reader_emulator"] = static_cast<double>(road.reader.bytesReceived() - emulatorBefore);
    state.counters["to_host"] = static_cast<double>(toHost);
    state.counters["wire_us"] = static_cast<double>(toReader + toHost) * MicrosPerByte;
    return true;
}

double threadCpuMicros()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

template <class Prepare, class Op>
void measure(benchmark::State& state, Card kind, Prepare prepare, Op op,
             ElatecReader::Mode mode = ElatecReader::Mode::BinaryCrc)
{
    if (!countWire(state, kind, mode, prepare, op)) {
        state.SkipWithError("counting run failed");
        return;
    }
    Road road(kind, false, mode);
    if (!prepare(road)) {
        state.SkipWithError("set-up failed");
        return;
    }
    const auto started = std::chrono::steady_clock::now();
    const double cpuStarted = threadCpuMicros();
    for (auto _ : state) {
        if (!op(road)) {
            state.SkipWithError("operation failed");
            return;
        }
    }
    // The software's time as a share of what the same bytes take on the wire: all of it (ours, the
    // emulators', the pseudo-terminal's and the scheduler's hand-offs between them), and the CPU
    // of the calling thread alone, which runs the driver and its system calls.
    const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started).count();
    const double cpuUs = threadCpuMicros() - cpuStarted;
    if (state.iterations() > 0) {
        const double perOp = 1.0 / static_cast<double>(state.iterations()) / state.counters["wire_us"].value;
        state.counters["software_over_wire"] = us * perOp;
        state.counters["driver_cpu_over_wire"] = cpuUs * perOp;
    }
}

bool nothing(Road&)
{
    return true;
}

// The argument is the reader's protocol variant (2 binary, 18 binary with CRC, 1 ASCII, 17 ASCII
// with CRC): the driver probes them in that order, so every variant after the first costs the
// probes before it their answer time-out.
void BM_OpenReader(benchmark::State& state)
{
    measure(
        state, Card::Desfire, nothing, [](Road& road) { return road.open(); },
        static_cast<ElatecReader::Mode>(state.range(0)));
}
BENCHMARK(BM_OpenReader)->Arg(2)->Arg(18)->Arg(1)->Arg(17)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SearchCard(benchmark::State& state)
{
    measure(
        state, Card::Desfire, [](Road& road) { return road.open(); },
        [](Road& road) { return road.search(); });
}
BENCHMARK(BM_SearchCard)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_DESFireSamAuthentication(benchmark::State& state)
{
    measure(
        state, Card::Desfire, [](Road& road) { return road.prepareDesfire(); },
        [](Road& road) { return road.authenticate(); });
}
BENCHMARK(BM_DESFireSamAuthentication)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_DESFireEncipheredRead256(benchmark::State& state)
{
    measure(
        state, Card::Desfire, [](Road& road) { return road.prepareDesfire() && road.authenticate(); },
        [](Road& road) { return road.readEnciphered(); });
}
BENCHMARK(BM_DESFireEncipheredRead256)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_UltralightEV1FullRead(benchmark::State& state)
{
    measure(
        state, Card::UltralightEV1, [](Road& road) { return road.prepareUltralight(); },
        [](Road& road) { return road.readUltralight(); });
}
BENCHMARK(BM_UltralightEV1FullRead)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The peak resident set of this process image in kB (VmHWM): counted from exec on, unlike the
// rusage of a spawned child, which carries the spawning process's peak over.
long ownPeakKb()
{
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1)
            break;
    std::fclose(status);
    return kb;
}

// Private memory now, in kB: the pages no other process shares (USS, private clean and dirty),
// and of those the ones that are not a shared library's (heap, stacks, anonymous maps and the
// program's own image).
struct Private
{
    long ussKb = 0;
    long notLibraryKb = 0;
};

Private ownPrivate()
{
    Private result;
    FILE* maps = std::fopen("/proc/self/smaps", "r");
    if (!maps)
        return {-1, -1};
    char line[512];
    bool library = false;
    while (std::fgets(line, sizeof line, maps)) {
        char path[400] = {};
        unsigned long from = 0;
        unsigned long to = 0;
        if (std::sscanf(line, "%lx-%lx %*s %*s %*s %*s %399s", &from, &to, path) >= 2 && std::strchr(line, '-')) {
            library = std::strstr(path, ".so") != nullptr;
            continue;
        }
        long kb = 0;
        if (std::sscanf(line, "Private_Clean: %ld kB", &kb) == 1 || std::sscanf(line, "Private_Dirty: %ld kB", &kb) == 1) {
            result.ussKb += kb;
            if (!library)
                result.notLibraryKb += kb;
        }
    }
    std::fclose(maps);
    return result;
}

struct Memory
{
    long peakKb = -1;
    long ussKb = -1;
    long notLibraryKb = -1;
};

// Runs this program in a holding mode and returns the memory it reports; -1s when it failed or
// did not report within ten seconds (it is then ended by its pid).
Memory childMemory(const std::string& mode, const std::string& device)
{
    Memory memory;
    int out[2];
    if (pipe(out) != 0)
        return memory;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const char* argv[] = {"reader-road", mode.c_str(), device.c_str(), nullptr};
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char text[128] = {};
    size_t got = 0;
    bool timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (spawned == 0 && got + 1 < sizeof text) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            timedOut = true;
            break;
        }
        const ssize_t n = read(out[0], text + got, sizeof text - 1 - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(out[0]);
    if (spawned != 0)
        return memory;
    if (timedOut)
        ::kill(pid, SIGKILL);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return memory;
    if (std::sscanf(text, "%ld %ld %ld", &memory.peakKb, &memory.ussKb, &memory.notLibraryKb) != 3)
        return Memory();
    return memory;
}

int printOwnMemory()
{
    const Private now = ownPrivate();
    std::printf("%ld %ld %ld\n", ownPeakKb(), now.ussKb, now.notLibraryKb);
    return 0;
}

void BM_PeakResidentMemory(benchmark::State& state)
{
    Road road(Card::Desfire, false);
    Memory holding;
    Memory idle;
    for (auto _ : state) {
        holding = childMemory("--hold-reader", road.reader.devicePath());
        idle = childMemory("--idle", road.reader.devicePath());
    }
    if (holding.peakKb < 0 || idle.peakKb < 0) {
        state.SkipWithError("child failed");
        return;
    }
    state.counters["peak_rss_kB"] = static_cast<double>(holding.peakKb);
    state.counters["idle_rss_kB"] = static_cast<double>(idle.peakKb);
    state.counters["reader_share_kB"] = static_cast<double>(holding.peakKb - idle.peakKb);
    state.counters["uss_kB"] = static_cast<double>(holding.ussKb);
    state.counters["idle_uss_kB"] = static_cast<double>(idle.ussKb);
    state.counters["uss_not_library_kB"] = static_cast<double>(holding.notLibraryKb);
}
BENCHMARK(BM_PeakResidentMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The child's part: an open reader, a powered SAM and a tag held while the memory is taken.
int holdReader(const std::string& device)
{
    NFC::Reader reader;
    if (!reader.open(device, 115200))
        return 1;
    const std::shared_ptr<NFC::SAM> sam = reader.turnOnSam(0);
    const std::shared_ptr<NFC::Tag> tag = reader.searchTag(1000);
    if (!sam || !tag)
        return 1;
    return printOwnMemory();
}

}  // namespace

int main(int argc, char** argv)
{
    // As the service runs: its log opened, at its own level.
    Log::open("tapgate", false, false);
    Log::setLevel(Log::LevelInfo);
    if (argc == 3 && std::strcmp(argv[1], "--hold-reader") == 0)
        return holdReader(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--idle") == 0)
        return printOwnMemory();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
