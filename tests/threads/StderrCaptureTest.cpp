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
    int line[2];
    ASSERT_EQ(::pipe(line), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(line[0]);
        ::dup2(line[1], 2);
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
        ::_exit(0);
    }
    ::close(line[1]);
    std::string shown, overrun;
    EXPECT_TRUE(testsupport::readChildOutput(line[0], child, shown, overrun)) << overrun;
    ::close(line[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << shown.substr(0, 2000);
}

}  // namespace
