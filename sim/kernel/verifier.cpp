#include "verifier.h"

#include <cstdio>
#include <string>

#include "kernel_internal.h"

namespace sim {

void Verifier::Record(const std::string& rule, const std::string& detail) {
    failures_.push_back(rule + ": " + detail);
    if (reportToStderr_) std::fprintf(stderr, "VERIFIER %s: %s\n", rule.c_str(), detail.c_str());
}

bool FaultInjector::ShouldFail(FaultSite site) {
    auto it = plans_.find(site);
    if (it == plans_.end()) return false;
    Plan& plan = it->second;
    if (plan.countdown > 0 && --plan.countdown == 0) return true;
    if (plan.probability > 0.0) {
        return std::uniform_real_distribution<double>(0.0, 1.0)(plan.rng) < plan.probability;
    }
    return false;
}

void FaultInjector::FailNth(FaultSite site, int nth) {
    plans_[site].countdown = nth;
}

void FaultInjector::FailRandomly(FaultSite site, double probability, uint64_t seed) {
    Plan& plan = plans_[site];
    plan.probability = probability;
    plan.rng.seed(seed);
}

void FaultInjector::Clear() {
    plans_.clear();
}

void CheckIrql(const char* routine, KIRQL maximum) {
    // After a stop only the teardown runs, possibly at the IRQL where the
    // machine stopped.
    if (Kernel::Current().scheduler().Stopped()) return;
    KIRQL irql = KeGetCurrentIrql();
    if (irql > maximum) {
        Kernel::Current().Fail(rule::kIrqlNotLess, std::string(routine) + " called at IRQL " + std::to_string(irql) +
                                                       "; its maximum is " + std::to_string(maximum));
    }
}

void CheckFreedMemory(const void* begin, size_t bytes, const char* routine) {
    Kernel& kernel = Kernel::Current();
    if (SetTimerIn(begin, bytes) != nullptr) {
        kernel.Fail(rule::kFreedLiveTimer, std::string(routine) + " of memory that holds a timer still set");
    }
    if (QueuedDpcIn(begin, bytes) != nullptr) {
        kernel.Fail(rule::kFreedQueuedDpc, std::string(routine) + " of memory that holds a DPC still queued");
    }
    auto* first = static_cast<const unsigned char*>(begin);
    for (auto& [item, record] : kernel.io().WorkItems()) {
        auto* p = static_cast<const unsigned char*>(item);
        if (record.queued && p >= first && p < first + bytes) {
            kernel.Fail(rule::kFreedQueuedWorkItem, std::string(routine) + " of a work item still queued");
        }
    }
}

}  // namespace sim

// PAGED_CODE(): pageable code must never run above APC_LEVEL.
extern "C" VOID NTAPI SimCheckPageableCode(PCSTR Routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        sim::Kernel::Current().Fail(sim::rule::kPageableAboveApcLevel,
                                    std::string("pageable routine ") + Routine + " entered at IRQL " +
                                        std::to_string(irql));
    }
}
