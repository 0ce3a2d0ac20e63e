// The verifier's record of broken rules, and fault injection.
#pragma once

#include <map>
#include <random>
#include <string>
#include <vector>

#include "sim/kernel.h"

namespace sim {

class Verifier {
  public:
    explicit Verifier(bool reportToStderr) : reportToStderr_(reportToStderr) {}
    void Record(const std::string& rule, const std::string& detail);
    const std::vector<std::string>& Failures() const { return failures_; }

  private:
    bool reportToStderr_;
    std::vector<std::string> failures_;
};

class FaultInjector {
  public:
    // True when this allocation at `site` must fail.
    bool ShouldFail(FaultSite site);
    void FailNth(FaultSite site, int nth);
    void FailRandomly(FaultSite site, double probability, uint64_t seed);
    void Clear();

  private:
    struct Plan {
        int countdown = 0;  // fails when it reaches 0 from 1
        double probability = 0.0;
        std::mt19937_64 rng;
    };
    std::map<FaultSite, Plan> plans_;
};

}  // namespace sim
