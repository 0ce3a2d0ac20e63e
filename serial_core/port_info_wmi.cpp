// The mouse port-information WMI block of a serial mouse device.
#include "serial_core/port_info_wmi.h"

#include "serial_core/device_frame.h"

const GUID PortInfoGuid = {0x4731F89C, 0x71CB, 0x11D1, {0xA5, 0x2C, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};

WMIGUIDREGINFO PortInfoGuidList[1] = {
    {&PortInfoGuid, 1, 0},
};

namespace {

// What kind of pointing device the identified mouse is: the BallPoint is a
// track ball; every other serial mouse, and a device not yet identified, a
// standard mouse.
ULONG HardwareTypeOf(const DeviceState* Device) {
    if (Device->Attributes.MouseIdentifier == BALLPOINT_SERIAL_HARDWARE) return PORT_INFO_HARDWARE_TRACK_BALL;
    return PORT_INFO_HARDWARE_STANDARD_MOUSE;
}

}  // namespace

PAGEABLE_ROUTINE void FillPortInfoWmiContext(PWMILIB_CONTEXT Context) {
    PAGED_CODE();
    Context->GuidCount = sizeof(PortInfoGuidList) / sizeof(PortInfoGuidList[0]);
    Context->GuidList = PortInfoGuidList;
    Context->QueryWmiRegInfo = PortInfoQueryRegInfo;
    Context->QueryWmiDataBlock = PortInfoQueryDataBlock;
    Context->SetWmiDataBlock = PortInfoSetDataBlock;
    Context->SetWmiDataItem = PortInfoSetDataItem;
    Context->ExecuteWmiMethod = nullptr;
    Context->WmiFunctionControl = nullptr;
}

extern "C" PAGEABLE_ROUTINE NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    DeviceState* device = static_cast<DeviceState*>(DeviceObject->DeviceExtension);
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&device->WmiContext, DeviceObject, Irp, &disposition);
    switch (disposition) {
        case IrpProcessed:
            // A callback has completed the request, or will.
            return status;
        case IrpNotCompleted:
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return status;
        case IrpNotWmi:
        case IrpForward:
        default:
            IoSkipCurrentIrpStackLocation(Irp);
            return IoCallDriver(device->LowerDevice, Irp);
    }
}

extern "C" PAGEABLE_ROUTINE NTSTATUS NTAPI PortInfoQueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags,
                                                                PUNICODE_STRING InstanceName,
                                                                PUNICODE_STRING* RegistryPath,
                                                                PUNICODE_STRING MofResourceName, PDEVICE_OBJECT* Pdo) {
    PAGED_CODE();
    DeviceState* device = static_cast<DeviceState*>(DeviceObject->DeviceExtension);
    // Instances are named after the physical device.
    *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
    PVOID serviceKeyPath = IoGetDriverObjectExtension(DeviceObject->DriverObject, SERVICE_KEY_PATH_CLIENT_ID);
    if (serviceKeyPath != nullptr) *RegistryPath = static_cast<PUNICODE_STRING>(serviceKeyPath);
    *Pdo = device->PhysicalDevice;
    return STATUS_SUCCESS;
}

extern "C" PAGEABLE_ROUTINE NTSTATUS NTAPI PortInfoQueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                                  ULONG GuidIndex, ULONG InstanceIndex,
                                                                  ULONG InstanceCount, PULONG InstanceLengthArray,
                                                                  ULONG BufferAvail, PUCHAR Buffer) {
    PAGED_CODE();
    DeviceState* device = static_cast<DeviceState*>(DeviceObject->DeviceExtension);
    NTSTATUS status;
    ULONG used = 0;
    if (GuidIndex != 0) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (BufferAvail < sizeof(PortInfoBlock)) {
        // The library tells the caller the size to offer.
        status = STATUS_BUFFER_TOO_SMALL;
        used = sizeof(PortInfoBlock);
    } else {
        PortInfoBlock block;
        // A serial mouse: the class's serial connector, not its PS/2 one.
        block.ConnectorType = PORT_INFO_CONNECTOR_SERIAL;
        block.DataQueueSize = device->Attributes.InputDataQueueLength;
        block.ErrorCount = 0;
        block.Buttons = device->Attributes.NumberOfButtons;
        block.HardwareType = HardwareTypeOf(device);
        RtlCopyMemory(Buffer, &block, sizeof(block));
        InstanceLengthArray[0] = sizeof(PortInfoBlock);
        status = STATUS_SUCCESS;
        used = sizeof(PortInfoBlock);
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, used, IO_NO_INCREMENT);
}

extern "C" PAGEABLE_ROUTINE NTSTATUS NTAPI PortInfoSetDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                                ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer) {
    PAGED_CODE();
    NTSTATUS status = GuidIndex == 0 ? STATUS_WMI_READ_ONLY : STATUS_WMI_GUID_NOT_FOUND;
    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}

extern "C" PAGEABLE_ROUTINE NTSTATUS NTAPI PortInfoSetDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                               ULONG InstanceIndex, ULONG DataItemId, ULONG BufferSize,
                                                               PUCHAR Buffer) {
    PAGED_CODE();
    NTSTATUS status = GuidIndex == 0 ? STATUS_WMI_READ_ONLY : STATUS_WMI_GUID_NOT_FOUND;
    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}
