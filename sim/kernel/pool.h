// Pool with tags: every block is accounted to its tag, freed blocks stay in a
// quarantine for a while so a second free is caught, and whatever is left at
// teardown is reported.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <vector>

#include "sim/kernel.h"

namespace sim {

class Pool {
  public:
    ~Pool();
    void* Allocate(POOL_TYPE type, size_t bytes, ULONG tag);
    // Frees a block; `expectedTag` 0 accepts any tag.
    void Free(void* p, ULONG expectedTag);
    std::vector<PoolTagUsage> InUse() const;
    uint64_t Allocations() const { return allocations_; }
    // Records an overrun for every live block whose guard bytes changed.
    void CheckGuards();
    // The address lies in a live block.
    bool Holds(const void* p) const;

  private:
    static bool GuardIntact(const void* p, size_t bytes);
    struct Header;
    std::map<ULONG, PoolTagUsage> usage_;
    std::map<void*, size_t> live_;
    std::deque<Header*> quarantine_;
    uint64_t allocations_ = 0;
};

std::string FormatTag(ULONG tag);

}  // namespace sim
