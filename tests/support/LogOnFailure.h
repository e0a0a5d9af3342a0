// Holds what a test program writes on standard error (its log) while each test runs, and shows it
// only for a test that failed, after that test's failures: a report cut short after its first lines
// then still holds the failing check. Captures a test makes of its own nest inside this one. A test
// that crashes or that a sanitizer stops shows its log before it dies (see StderrCapture), and so
// does one still running shortly before ctest would kill the program at its time-out.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "StderrCapture.h"

namespace testsupport {

class LogOnFailure : public ::testing::EmptyTestEventListener
{
public:
    // Call once, before the tests run (a namespace-scope initialiser will do).
    static bool install()
    {
        ::testing::UnitTest::GetInstance()->listeners().Append(new LogOnFailure);
        showBeforeTimeOut();
        return true;
    }

private:
    void OnTestStart(const ::testing::TestInfo&) override { m_log = std::make_unique<StderrCapture>(); }
    void OnTestEnd(const ::testing::TestInfo& test) override
    {
        if (!m_log)
            return;
        const std::string text = m_log->text();
        m_log.reset();
        if (test.result()->Failed()) {
            std::fputs("---- the failed test's log ----\n", stdout);
            std::fputs(text.c_str(), stdout);
            std::fflush(stdout);
        }
    }

    // ctest kills a program at its time-out with SIGKILL, which leaves it no chance to show the log;
    // so it is shown a little before, when ctest has said when (TAPGATE_TEST_TIMEOUT, in seconds).
    // From a thread of its own, which interrupts no call of the test's and waits for the test's
    // thread to finish a step on its captures (the test may be ending then). The program goes on,
    // and ctest still tells the time-out.
    static void showBeforeTimeOut()
    {
        const char* limit = std::getenv("TAPGATE_TEST_TIMEOUT");
        const long seconds = limit ? std::atol(limit) : 0;
        if (seconds < 2)
            return;
        std::thread([seconds] {
            std::this_thread::sleep_for(std::chrono::seconds(seconds - (seconds + 19) / 20));
            const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
            const std::string why =
                test ? std::string("timed out in ") + test->test_suite_name() + "." + test->name()
                     : "timed out";
            StderrCapture::showOpen(why.c_str(), true);
        }).detach();
    }

    std::unique_ptr<StderrCapture> m_log;
};

}  // namespace testsupport
