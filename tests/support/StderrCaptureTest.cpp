#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "PeerProcess.h"
#include "StderrCapture.h"

namespace {

// A program that dies while it holds its log, however it dies, first shows what each capture held,
// oldest first, where its standard error went before.
TEST(StderrCapture, DyingProgramShowsWhatItHeld)
{
    // The overflow is for a program built with UBSan, which ends it without a signal.
    const auto overflow = [] {
        volatile int most = INT_MAX;
        most = most + 1;
        std::abort();
    };
    for (void (*die)() :
         {+[] { std::abort(); }, +[] { ::raise(SIGSEGV); }, +[] { std::exit(3); }, +overflow}) {
        int line[2];
        ASSERT_EQ(::pipe(line), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(line[1], 2);
            testsupport::StderrCapture outer;
            std::fputs("held by the outer capture\n", stderr);
            testsupport::StderrCapture inner;
            std::fputs("held by the inner capture\n", stderr);
            die();
            ::_exit(0);
        }
        ::close(line[1]);
        std::string shown, overrun;
        EXPECT_TRUE(testsupport::readChildOutput(line[0], child, shown, overrun)) << overrun;
        ::close(line[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_NE(status, 0);
        EXPECT_NE(shown.find("held by the outer capture\nheld by the inner capture\n"), std::string::npos)
            << shown;
    }
}

// A child's output is taken in up to a bound: one that writes more is killed there, and the
// reader says so; one that writes exactly the bound and ends is read whole.
TEST(ChildOutput, IsTakenInWithinItsBound)
{
    const size_t bound = 64 * 1024;
    for (const size_t writes : {bound, bound + 1, 8 * bound}) {
        SCOPED_TRACE(writes);
        int line[2];
        ASSERT_EQ(::pipe(line), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(line[0]);
            const std::string bytes(writes, 'x');
            ::_exit(::write(line[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(writes) ? 0 : 1);
        }
        ::close(line[1]);
        std::string taken, overrun;
        const bool whole = testsupport::readChildOutput(line[0], child, taken, overrun, bound);
        ::close(line[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(whole, writes <= bound) << overrun;
        EXPECT_LE(taken.size(), bound + 1);
        if (writes <= bound)
            EXPECT_EQ(taken.size(), writes);
        else
            EXPECT_NE(overrun.find("wrote more than 65536 bytes: killed"), std::string::npos) << overrun;
    }
}

}  // namespace
