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
        const testsupport::ChildRun run = testsupport::runInChild([die] {
            testsupport::StderrCapture outer;
            std::fputs("held by the outer capture\n", stderr);
            testsupport::StderrCapture inner;
            std::fputs("held by the inner capture\n", stderr);
            die();
        });
        EXPECT_TRUE(run.whole) << run.overrun;
        EXPECT_NE(run.status, 0);
        EXPECT_NE(run.output.find("held by the outer capture\nheld by the inner capture\n"), std::string::npos)
            << run.output;
    }
}

// A child's output is taken in up to a bound: one that writes more is killed there, and the
// reader says so; one that writes exactly the bound and ends is read whole.
TEST(ChildOutput, IsTakenInWithinItsBound)
{
    const size_t bound = 64 * 1024;
    for (const size_t writes : {bound, bound + 1, 8 * bound}) {
        SCOPED_TRACE(writes);
        const testsupport::ChildRun run = testsupport::runInChild(
            [writes] {
                const std::string bytes(writes, 'x');
                ::_exit(::write(2, bytes.data(), bytes.size()) == static_cast<ssize_t>(writes) ? 0 : 1);
            },
            bound);
        EXPECT_EQ(run.whole, writes <= bound) << run.overrun;
        EXPECT_LE(run.output.size(), bound + 1);
        if (writes <= bound)
            EXPECT_EQ(run.output.size(), writes);
        else
            EXPECT_NE(run.overrun.find("wrote more than 65536 bytes: killed"), std::string::npos) << run.overrun;
    }
}

}  // namespace
