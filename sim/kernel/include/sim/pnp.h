// The Plug and Play manager and the power manager, as far as the simulated
// machine drives them: building a device stack above a physical device,
// sending it Plug and Play and power requests, and waiting for the answers.
// Call from a simulated thread at PASSIVE_LEVEL (the PnP manager's requests
// arrive there in the caller's thread).
#pragma once

#include "sim/kernel.h"

namespace sim {

// Runs the driver's AddDevice routine for the physical device, which puts
// the driver's device on top of the stack. STATUS_INVALID_DEVICE_REQUEST for
// a driver without one.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

// Sends a Plug and Play request with the given minor code to the top of the
// physical device's stack (initial status STATUS_NOT_SUPPORTED, as the PnP
// manager sends them) and waits for its completion. Returns its final status;
// *information gets its Information field.
NTSTATUS SendPnpRequest(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, ULONG_PTR* information = nullptr);

inline NTSTATUS StartDevice(PDEVICE_OBJECT physicalDevice) {
    return SendPnpRequest(physicalDevice, IRP_MN_START_DEVICE);
}
inline NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT physicalDevice) {
    return SendPnpRequest(physicalDevice, IRP_MN_SURPRISE_REMOVAL);
}
// After a removal the drivers above the physical device have left its stack.
inline NTSTATUS RemoveDevice(PDEVICE_OBJECT physicalDevice) {
    return SendPnpRequest(physicalDevice, IRP_MN_REMOVE_DEVICE);
}

// Sends a power request (IRP_MN_SET_POWER or IRP_MN_QUERY_POWER) to the top
// of the stack with PoCallDriver and waits for it. Every driver it reaches
// owes it one PoStartNextPowerIrp; the verifier checks.
NTSTATUS SendPowerRequest(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, POWER_STATE_TYPE type,
                          POWER_STATE state);

inline NTSTATUS SetDevicePower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return SendPowerRequest(physicalDevice, IRP_MN_SET_POWER, DevicePowerState, s);
}
inline NTSTATUS SetSystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state) {
    POWER_STATE s;
    s.SystemState = state;
    return SendPowerRequest(physicalDevice, IRP_MN_SET_POWER, SystemPowerState, s);
}

// How often IoInvalidateDeviceState was called for the physical device: the
// Plug and Play manager then queries the device's state.
size_t DeviceStateInvalidations(PDEVICE_OBJECT physicalDevice);

}  // namespace sim
