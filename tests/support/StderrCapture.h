// Points descriptor 2 at an anonymous in-memory file for the life of the object, so that a test can
// read the log's copy on standard error; text() restores the descriptor and returns what was
// written. The file has no path, so a capture works for any user (a child that dropped to nobody)
// and whatever the temporary directory allows. Captures nest, on the test's thread.
// A program that dies while captures are open (a fatal signal, a sanitizer's report, exit() within
// a test) first copies what they hold to the standard error they took over: else the log, and the
// report that tells why, would die with it.
#pragma once

#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace testsupport {

class StderrCapture
{
public:
    StderrCapture()
    {
        std::fflush(stderr);
        m_file = ::memfd_create("stderr-capture", MFD_CLOEXEC);
        if (m_file < 0)
            return;
        showWhenDying();
        const Chain chain;
        m_saved = ::dup(2);
        ::dup2(m_file, 2);
        m_outer = s_innermost.exchange(this);
    }
    ~StderrCapture()
    {
        restore();
        const Chain chain;  // a time-out's copy may be reading the file
        if (m_file >= 0)
            ::close(m_file);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text()
    {
        restore();
        std::string all;
        char buffer[4096];
        for (off_t at = 0;;) {
            const ssize_t n = m_file < 0 ? 0 : ::pread(m_file, buffer, sizeof buffer, at);
            if (n <= 0)
                break;
            all.append(buffer, static_cast<size_t>(n));
            at += n;
        }
        return all;
    }

    // Copies what the open captures hold, oldest first, under a line saying why, to the standard
    // error the outermost took over, and points descriptor 2 there again, so that what is written
    // next (a sanitizer's report, the rest of a hung test's log) goes there too. Each capture is
    // shown once: the abort that follows a sanitizer's callback finds none left. Safe in a signal
    // handler. patient: called from a thread of its own, which waits for the test's thread to
    // finish a step on the captures; otherwise (a dying thread, which may have interrupted that
    // step itself) it waits a second at most, then shows what it can.
    static void showOpen(const char* why, bool patient = false)
    {
        const Chain chain(patient);
        const StderrCapture* innermost = s_innermost.exchange(nullptr);
        if (!innermost)
            return;
        const StderrCapture* outermost = innermost;
        while (outermost->m_outer) outermost = outermost->m_outer;
        ::dup2(outermost->m_saved, 2);
        for (const char* part : {"\n---- ", why, ": the log so far ----\n"}) put(part, std::strlen(part));
        copyOut(innermost);
    }

private:
    // The open captures, their chain and their descriptors, held against each other's use: the
    // test's thread opens and closes captures while the time-out's thread (LogOnFailure) or a
    // dying one may be copying them out. A flag, not a mutex, so that a signal handler can take it.
    class Chain
    {
    public:
        explicit Chain(bool patient = true)
        {
            const timespec pause = {0, 1000000};
            for (int waited = 0; s_chainHeld.exchange(true, std::memory_order_acquire); ++waited) {
                if (!patient && waited >= 1000)
                    return;
                ::nanosleep(&pause, nullptr);
            }
            m_held = true;
        }
        ~Chain()
        {
            if (m_held)
                s_chainHeld.store(false, std::memory_order_release);
        }
        Chain(const Chain&) = delete;
        Chain& operator=(const Chain&) = delete;

    private:
        bool m_held = false;
    };

    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        const Chain chain;
        StderrCapture* inner = s_innermost.load();
        if (inner == this)
            s_innermost.store(m_outer);
        else {
            while (inner && inner->m_outer != this) inner = inner->m_outer;
            if (inner)
                inner->m_outer = m_outer;
        }
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }

    static void copyOut(const StderrCapture* capture)
    {
        if (!capture)
            return;
        copyOut(capture->m_outer);
        char buffer[4096];
        ssize_t n;
        for (off_t at = 0; (n = ::pread(capture->m_file, buffer, sizeof buffer, at)) > 0; at += n)
            put(buffer, static_cast<size_t>(n));
    }

    static void put(const char* text, size_t size)
    {
        for (ssize_t n; size > 0 && (n = ::write(2, text, size)) > 0;
             text += n, size -= static_cast<size_t>(n)) {
        }
    }

    // A fatal signal the program would die of by default shows the log, then kills as it would
    // have. One a sanitizer handles is left to it: it reports, then calls back.
    static void showWhenDying()
    {
        static bool set = false;
        if (set)
            return;
        set = true;
        for (const int fatal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
            struct sigaction now = {};
            if (::sigaction(fatal, nullptr, &now) != 0 || (now.sa_flags & SA_SIGINFO) ||
                now.sa_handler != SIG_DFL)
                continue;
            struct sigaction action = {};
            action.sa_handler = [](int signal) {
                showOpen(signal == SIGABRT ? "aborted" : "killed by a fatal signal");
                ::raise(signal);
            };
            action.sa_flags = SA_RESETHAND;
            ::sigaction(fatal, &action, nullptr);
        }
        // A sanitizer calls back after its report, before it ends the program. Each runtime keeps
        // its own callback: g++ loads one library for ASan and one for UBSan.
        dl_iterate_phdr(
            [](dl_phdr_info* object, size_t, void*) {
                void* runtime = object->dlpi_name[0] ? ::dlopen(object->dlpi_name, RTLD_LAZY | RTLD_NOLOAD)
                                                     : ::dlopen(nullptr, RTLD_LAZY);
                if (runtime) {
                    if (void* set = ::dlsym(runtime, "__sanitizer_set_death_callback"))
                        reinterpret_cast<void (*)(void (*)())>(set)(
                            [] { showOpen("stopped by a sanitizer"); });
                    ::dlclose(runtime);
                }
                return 0;
            },
            nullptr);
        std::atexit([] { showOpen("exited within a test"); });
    }

    static inline std::atomic<StderrCapture*> s_innermost{nullptr};
    static inline std::atomic<bool> s_chainHeld{false};
    int m_file = -1;
    int m_saved = -1;
    StderrCapture* m_outer = nullptr;
};

// What makes a captured log unsafe to read, empty when nothing does: a line that begins with text
// from outside (`forged`), a control byte other than the line break (C1 and the line and paragraph
// separators in UTF-8 among them), a line longer than maxLine; the first few.
inline std::string logFaults(const std::string& log, const std::string& forged, size_t maxLine = 600)
{
    std::string faults;
    size_t start = 0;
    for (size_t at = 0; at <= log.size() && faults.size() < 1000; ++at) {
        const unsigned char c = at < log.size() ? static_cast<unsigned char>(log[at]) : '\n';
        if (c == '\r' || c == '\n') {
            const std::string line = log.substr(start, at - start);
            if (line.rfind(forged, 0) == 0 || line.size() > maxLine)
                faults += "line of " + std::to_string(line.size()) + " bytes: " + line.substr(0, 80) + "\n";
            start = at + 1;
        }
        const auto next = [&](size_t i) {
            return at + i < log.size() ? static_cast<unsigned char>(log[at + i]) : 0;
        };
        if ((c < 0x20 && c != '\n') || c == 0x7F || (c == 0xC2 && next(1) >= 0x80 && next(1) < 0xA0) ||
            (c == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)))
            faults += "control byte " + std::to_string(c) + " at " + std::to_string(at) + "\n";
    }
    return faults;
}

}  // namespace testsupport
