// Holds what a test program writes on standard error (its log) while each test runs, and shows it
// only for a test that failed, after that test's failures: a report cut short after its first lines
// then still holds the failing check. Captures a test makes of its own nest inside this one.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "StderrCapture.h"

namespace testsupport {

class LogOnFailure : public ::testing::EmptyTestEventListener
{
public:
    // Call once, before the tests run (a namespace-scope initialiser will do).
    static bool install()
    {
        ::testing::UnitTest::GetInstance()->listeners().Append(new LogOnFailure);
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

    std::unique_ptr<StderrCapture> m_log;
};

}  // namespace testsupport
