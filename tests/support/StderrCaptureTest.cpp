#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

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
        std::string shown;
        char buffer[4096];
        for (ssize_t n; (n = ::read(line[0], buffer, sizeof buffer)) > 0;)
            shown.append(buffer, static_cast<size_t>(n));
        ::close(line[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_NE(status, 0);
        EXPECT_NE(shown.find("held by the outer capture\nheld by the inner capture\n"), std::string::npos)
            << shown;
    }
}

}  // namespace
