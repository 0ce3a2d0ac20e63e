// mousesim demo: the main job. A serial mouse device on a simulated COM port
// reads a scripted byte stream one byte at a time and hands each packet to
// the mouse class driver.
#include <cstdio>
#include <memory>

#include "commands.h"
#include "output.h"
#include "serial_core/reading.h"
#include "sim/devices/mouse_class.h"
#include "sim/devices/serial_port.h"

namespace mousesim {

namespace {

// Until the protocol decoders join, the demo speaks a one-byte protocol: the
// low bits are the buttons, the rest a small horizontal step.
BOOLEAN DecodeDemoByte(DeviceState*, PMOUSE_INPUT_DATA report, DecoderState*, UCHAR byte) {
    report->RawButtons = byte & 0x03;
    report->LastX = byte >> 2;
    report->LastY = 0;
    return TRUE;
}

}  // namespace

int RunDemo(const Arguments& args) {
    if (!args.empty()) return BadInput(Commands().front(), "demo takes no arguments");
    sim::KernelOptions options;
    sim::Kernel kernel(options);
    auto port = std::make_unique<sim::SerialPortModel>();
    auto mouseClass = std::make_unique<sim::MouseClassModel>();

    PDRIVER_OBJECT driver = kernel.CreateDriverObject(L"\\Driver\\serwheel");
    PDEVICE_OBJECT self = nullptr;
    IoCreateDevice(driver, sizeof(DeviceState), nullptr, FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &self);
    auto* device = static_cast<DeviceState*>(self->DeviceExtension);
    device->Self = self;
    device->LowerDevice = IoAttachDeviceToDeviceStack(self, port->Device());
    IoInitializeRemoveLockEx(&device->RemoveLock, SERIAL_MOUSE_POOL_TAG, 0, 10, sizeof(IO_REMOVE_LOCK));
    device->ReadRequest = IoAllocateIrp(self->StackSize, FALSE);
    device->ClassConnection = mouseClass->Connection();
    device->Decoder = DecodeDemoByte;
    device->Attributes.NumberOfButtons = 2;
    device->Started = TRUE;
    device->OpenCount = 1;

    std::printf("A serial mouse on COM1, read one byte at a time (1200 baud: a byte every 8.33 ms).\n\n");
    mouseClass->OnRecord([](const sim::DeliveredRecord& r) {
        std::printf("%s\n", FormatRecord(r.data, Format::Text, r.time).c_str());
    });
    port->ScheduleBytes({0x04, 0x05, 0x09, 0x08, 0x06, 0x00}, sim::Milliseconds(10), 83333);
    StartReadLoop(device);
    kernel.RunFor(sim::Milliseconds(200));

    // Removal: stop reading, drain the remove lock, free the request.
    device->RemovePending = TRUE;
    IoCancelIrp(device->ReadRequest);
    int tag = 0;
    IoAcquireRemoveLockEx(&device->RemoveLock, &tag, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
    IoReleaseRemoveLockAndWaitEx(&device->RemoveLock, &tag, sizeof(IO_REMOVE_LOCK));
    IoFreeIrp(device->ReadRequest);
    IoDetachDevice(device->LowerDevice);
    IoDeleteDevice(self);
    kernel.UnloadDriver(driver);
    size_t delivered = mouseClass->Records().size();
    mouseClass.reset();
    port.reset();
    std::string verdict = kernel.Shutdown();
    std::printf("\n%zu records delivered; verifier: %s\n", delivered, verdict.empty() ? "clean" : verdict.c_str());
    return verdict.empty() ? 0 : 1;
}

}  // namespace mousesim
