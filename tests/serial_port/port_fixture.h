// A serial mouse device on a modeled port, with helpers to look at what
// crossed the port.
#pragma once

#include <memory>
#include <vector>

#include "serial_core/serial_port.h"
#include "sim/mice/serial_mouse.h"
#include "tests/support/serial_device.h"
#include "tests/support/sim_test.h"

class PortTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        device = std::make_unique<SerialMouseDevice>(nullptr, 2);
    }
    void EndObjects() override {
        mouse.reset();
        device.reset();
    }

    DeviceState* state() { return &device->state(); }
    sim::SerialPortModel& port() { return device->port(); }
    const std::vector<sim::SerialRequestRecord>& requests() { return port().Requests(); }
    void Attach(const char* model) { mouse = sim::SerialMouse::Create(model, port()); }

    // Sends a public control request from the driver's side and waits.
    NTSTATUS Control(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength) {
        KEVENT event;
        IO_STATUS_BLOCK ioStatus{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        return SendSerialRequest(FALSE, code, state()->LowerDevice, &event, &ioStatus, const_cast<void*>(in),
                                 inLength, out, outLength);
    }

    std::unique_ptr<SerialMouseDevice> device;
    std::unique_ptr<sim::SerialMouse> mouse;
};

// The bytes of a structure, to compare with what the port received.
template <typename T>
std::vector<UCHAR> BytesOf(const T& value) {
    auto* p = reinterpret_cast<const UCHAR*>(&value);
    return std::vector<UCHAR>(p, p + sizeof(T));
}
