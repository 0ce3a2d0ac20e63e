// What the kernel's own rooms share: the scheduler, the I/O manager, the pool
// and the verifier, and the scheduling point every kernel call passes.
#pragma once

#include "io_manager.h"
#include "pool.h"
#include "scheduler.h"
#include "sim/kernel.h"
#include "verifier.h"

namespace sim {

// Every kernel call is a scheduling point: another thread may run here.
inline void Point(const char* name) {
    Kernel::Current().scheduler().Point(name);
}

void ResetDispatcherState();

}  // namespace sim
