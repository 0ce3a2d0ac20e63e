// The fixture every suite on the simulated kernel starts from: a fresh kernel
// per test, and at the end of the test the verifier's verdict, leaks included.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>

#include "sim/kernel.h"

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { StartKernel(sim::KernelOptions{}); }

    void TearDown() override {
        if (!kernel_) return;
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

    // Restarts the kernel with other options (a seed, preemption).
    void StartKernel(sim::KernelOptions options) {
        options.reportToStderr = false;
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
    std::unique_ptr<sim::Kernel> kernel_;
    std::set<std::string> expectedRules_;
};
