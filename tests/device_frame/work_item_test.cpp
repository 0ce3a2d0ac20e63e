// Work items as Windows runs them: at PASSIVE_LEVEL on a system worker
// thread, with their device referenced from queueing to the routine's
// return, so a device deleted meanwhile is still there for the routine.
#include "tests/support/sim_test.h"

namespace {

struct Seen {
    KIRQL irql = 0xFF;
    std::string thread;
    ULONG deviceType = 0;
    PIO_WORKITEM item = nullptr;
};

VOID NTAPI Record(PDEVICE_OBJECT device, PVOID context) {
    auto* seen = static_cast<Seen*>(context);
    seen->irql = KeGetCurrentIrql();
    seen->thread = sim::Kernel::Current().CurrentThreadName();
    seen->deviceType = device->DeviceType;
    IoFreeWorkItem(seen->item);
}

class WorkItemTest : public SimTest {};

TEST_F(WorkItemTest, RunsAtPassiveLevelAndKeepsItsDeviceAcrossADelete) {
    PDRIVER_OBJECT driver = kernel().CreateDriverObject(L"\\Driver\\Worker");
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &device);
    Seen seen;
    seen.item = IoAllocateWorkItem(device);
    ASSERT_NE(seen.item, nullptr);
    // Deleted before the worker gets to it.
    IoQueueWorkItem(seen.item, Record, DelayedWorkQueue, &seen);
    IoDeleteDevice(device);
    kernel().RunFor(sim::Milliseconds(10));
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_NE(seen.thread, "main");
    EXPECT_EQ(seen.deviceType, static_cast<ULONG>(FILE_DEVICE_SERIAL_MOUSE_PORT));
    kernel().UnloadDriver(driver);
}

}  // namespace
