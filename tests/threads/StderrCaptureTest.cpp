// The captures of a test's log against the copy that a time-out makes of them from a thread of its
// own (support/LogOnFailure.h) while the test is ending; built under ThreadSanitizer in CI.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "PeerProcess.h"
#include "StderrCapture.h"

namespace {

// In a child of its own, whose standard error is a pipe the test reads: the copies go there. Each
// capture is closed as the copy may be reading it, and the child ends well.
TEST(StderrCapture, ACopyFromAnotherThreadMeetsCapturesBeingClosed)
{
    const testsupport::ChildRun run = testsupport::runInChild([] {
        std::atomic<bool> done{false};
        std::thread copier([&done] {
            while (!done.load()) testsupport::StderrCapture::showOpen("copied", true);
        });
        for (int i = 0; i < 2000; ++i) {
            testsupport::StderrCapture outer;
            std::fputs("outer\n", stderr);
            testsupport::StderrCapture inner;
            std::fputs("inner\n", stderr);
        }
        done = true;
        copier.join();
    });
    EXPECT_TRUE(run.whole) << run.overrun;
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
        << run.status << "\n"
        << run.output.substr(0, 2000);
}

}  // namespace
