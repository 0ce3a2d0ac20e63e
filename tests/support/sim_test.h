// The fixture every suite on the simulated kernel starts from: a fresh kernel
// per test under the seed of SIM_SEED (seeded preemption on), and at the end
// of the test the verifier's verdict, leaks included. A failed test prints
// the command that replays it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "sim/kernel.h"

// Tests state times in milliseconds. Running code costs a little virtual
// time at every kernel call, so a stated time holds when the actual one lies
// within the millisecond that starts there.
inline ::testing::AssertionResult InMillisecond(sim::Ticks actual, double ms) {
    sim::Ticks from = static_cast<sim::Ticks>(ms * sim::kTicksPerMillisecond);
    if (actual >= from && actual < from + sim::kTicksPerMillisecond) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "t=" << actual / 10000.0 << " ms is not within the millisecond from " << ms
                                         << " ms";
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { StartKernel(sim::KernelOptions{}); }

    void TearDown() override {
        if (kernel_) {
            EndObjects();
            std::string report = kernel_->Shutdown();
            for (const std::string& rule : expectedRules_) {
                EXPECT_NE(report.find(rule), std::string::npos) << "the verifier did not report " << rule;
            }
            if (expectedRules_.empty()) {
                EXPECT_EQ(report, "") << "verifier:\n" << report;
            }
            kernel_.reset();
        }
        if (HasFailure()) PrintReplayCommand();
    }

    // Restarts the kernel with other options (a seed, preemption).
    void StartKernel(sim::KernelOptions options) {
        options.reportToStderr = false;
        seed_ = options.seed;
        kernel_.reset();
        kernel_ = std::make_unique<sim::Kernel>(options);
    }

    // Deletes the test's models and devices before the leak check; suites
    // override it.
    virtual void EndObjects() {}

    // Runs `provoke`, which must break `rule`; the test's verdict then expects
    // that rule and no other outcome.
    void ExpectBugCheck(const std::string& rule, const std::function<void()>& provoke) {
        expectedRules_.insert(rule);
        try {
            provoke();
            ADD_FAILURE() << "expected the verifier to stop the machine with " << rule;
        } catch (const sim::BugCheck& bugCheck) {
            EXPECT_EQ(bugCheck.rule(), rule) << bugCheck.what();
        }
    }

    sim::Kernel& kernel() { return *kernel_; }

  private:
    void PrintReplayCommand() const {
        char self[PATH_MAX] = {};
        ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
        if (length < 0) length = 0;
        self[length] = '\0';
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::fprintf(stderr, "seed %llu; replay: SIM_SEED=%llu %s --gtest_filter='%s.%s'\n",
                     static_cast<unsigned long long>(seed_), static_cast<unsigned long long>(sim::SeedFromEnvironment()),
                     self, test->test_suite_name(), test->name());
    }

    std::unique_ptr<sim::Kernel> kernel_;
    uint64_t seed_ = 0;
    std::set<std::string> expectedRules_;
};
