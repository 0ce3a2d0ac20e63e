// WMI port information: every serial mouse device publishes one read-only
// data block, the mouse port-information class, through the WMI library.
// The device registers with IoWMIRegistrationControl when it is created and
// deregisters once when it is removed; the WMI library hands the device's
// system-control requests to the callbacks below. Everything here runs at
// PASSIVE_LEVEL in the thread of the request.
#pragma once

#include "serial_core/device_state.h"

// The mouse port-information class {4731F89C-71CB-11D1-A52C-00A0C9062910}.
extern const GUID PortInfoGuid;

// The one block the device registers: one instance, no flags.
extern WMIGUIDREGINFO PortInfoGuidList[1];

// The block's contents, in the published class's order.
struct PortInfoBlock {
    ULONG ConnectorType;
    ULONG DataQueueSize;
    ULONG ErrorCount;
    ULONG Buttons;
    ULONG HardwareType;
};

// Published values of the class's ConnectorType and HardwareType.
#define PORT_INFO_CONNECTOR_PS2 0
#define PORT_INFO_CONNECTOR_SERIAL 1
#define PORT_INFO_CONNECTOR_USB 2
#define PORT_INFO_HARDWARE_STANDARD_MOUSE 0
#define PORT_INFO_HARDWARE_TRACK_BALL 6

// Points Context at the block list and the four callbacks.
void FillPortInfoWmiContext(PWMILIB_CONTEXT Context);

// IRP_MJ_SYSTEM_CONTROL: the WMI library handles the device's own requests;
// everything else goes down the stack untouched. Takes no remove lock.
extern "C" NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The WMI library's callbacks.
extern "C" NTSTATUS NTAPI PortInfoQueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags,
                                               PUNICODE_STRING InstanceName, PUNICODE_STRING* RegistryPath,
                                               PUNICODE_STRING MofResourceName, PDEVICE_OBJECT* Pdo);
extern "C" NTSTATUS NTAPI PortInfoQueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                 ULONG InstanceIndex, ULONG InstanceCount, PULONG InstanceLengthArray,
                                                 ULONG BufferAvail, PUCHAR Buffer);
extern "C" NTSTATUS NTAPI PortInfoSetDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                               ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer);
extern "C" NTSTATUS NTAPI PortInfoSetDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                              ULONG InstanceIndex, ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer);
