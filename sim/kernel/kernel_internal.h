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

// Fails with IRQL_NOT_LESS_OR_EQUAL when the running code's IRQL is above
// the routine's documented maximum.
void CheckIrql(const char* routine, KIRQL maximum);

// Fails when memory about to be freed (a pool block, a device object) still
// holds a set timer, a queued DPC or a queued work item.
void CheckFreedMemory(const void* begin, size_t bytes, const char* routine);

// The dispatcher's live objects, for the checks above and at driver unload.
const KTIMER* SetTimerIn(const void* begin, size_t bytes);
const KDPC* QueuedDpcIn(const void* begin, size_t bytes);
std::vector<const KTIMER*> SetTimers();

// IoCallDriver and PoCallDriver.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool power);
// "driver '\Driver\Name'" for messages.
std::string DriverOfDevice(PDEVICE_OBJECT device);

}  // namespace sim
