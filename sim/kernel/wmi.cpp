// WMI on the simulated kernel: the registration of a device as a data
// provider (IoWMIRegistrationControl) and the WMI library (WmiSystemControl,
// WmiCompleteRequest), which turns the WMI service's system-control requests
// into calls of the driver's callbacks and wraps the driver's data in the
// WNODE the service asked for.
#include <cstring>
#include <sstream>

#include "kernel_internal.h"

namespace sim {

namespace {

WmiBooks& Books() { return Kernel::Current().io().wmi; }

std::string Name(PDEVICE_OBJECT device) {
    std::ostringstream out;
    out << "device " << static_cast<const void*>(device);
    return out.str();
}

ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

void RequirePassive(const char* routine) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        Kernel::Current().Fail(rule::kIrqlNotLess, std::string(routine) + " above PASSIVE_LEVEL");
    }
}

// The request's outcome when the library handles it without a callback: the
// driver completes it.
NTSTATUS NotCompleted(PIRP Irp, NTSTATUS status, ULONG_PTR information, PSYSCTL_IRP_DISPOSITION disposition) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    *disposition = IrpNotCompleted;
    return status;
}

// IRP_MN_REGINFO: the callback's answers laid out as a WMIREGINFO, with the
// registry path and MOF resource name as counted strings behind the GUIDs.
NTSTATUS RegInfo(PWMILIB_CONTEXT Info, PDEVICE_OBJECT DeviceObject, PIRP Irp, PSYSCTL_IRP_DISPOSITION disposition) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (Info->QueryWmiRegInfo == nullptr) return NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, disposition);
    ULONG regFlags = 0;
    UNICODE_STRING instanceName{};
    PUNICODE_STRING registryPath = nullptr;
    UNICODE_STRING mofResourceName{};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status =
        Info->QueryWmiRegInfo(DeviceObject, &regFlags, &instanceName, &registryPath, &mofResourceName, &pdo);
    if (!NT_SUCCESS(status)) return NotCompleted(Irp, status, 0, disposition);
    if ((regFlags & WMIREG_FLAG_INSTANCE_PDO) != 0 && pdo == nullptr) {
        return NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, disposition);
    }

    ULONG guidsEnd = static_cast<ULONG>(FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + Info->GuidCount * sizeof(WMIREGGUIDW));
    ULONG offset = guidsEnd;
    auto place = [&offset](const UNICODE_STRING* s) -> ULONG {
        if (s == nullptr || s->Length == 0) return 0;
        ULONG at = offset;
        offset += sizeof(USHORT) + s->Length;
        offset = (offset + 1) & ~1u;
        return at;
    };
    ULONG registryAt = place(registryPath);
    ULONG mofAt = place(&mofResourceName);
    bool baseName = (regFlags & WMIREG_FLAG_INSTANCE_BASENAME) != 0;
    ULONG baseNameAt = baseName ? place(&instanceName) : 0;
    ULONG needed = offset;

    ULONG size = stack->Parameters.WMI.BufferSize;
    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    if (size < needed) {
        // The service asks again with the size written in the first ULONG.
        if (size < sizeof(ULONG)) return NotCompleted(Irp, STATUS_BUFFER_TOO_SMALL, 0, disposition);
        std::memcpy(buffer, &needed, sizeof(ULONG));
        return NotCompleted(Irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG), disposition);
    }
    std::memset(buffer, 0, needed);
    auto* reg = reinterpret_cast<PWMIREGINFOW>(buffer);
    reg->BufferSize = needed;
    reg->NextWmiRegInfo = 0;
    reg->RegistryPath = registryAt;
    reg->MofResourceName = mofAt;
    reg->GuidCount = Info->GuidCount;
    for (ULONG i = 0; i < Info->GuidCount; i++) {
        WMIREGGUIDW& g = reg->WmiRegGuid[i];
        g.Guid = *Info->GuidList[i].Guid;
        g.Flags = Info->GuidList[i].Flags | regFlags;
        g.InstanceCount = Info->GuidList[i].InstanceCount;
        if ((regFlags & WMIREG_FLAG_INSTANCE_PDO) != 0) {
            g.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
        } else if (baseName) {
            g.BaseNameOffset = baseNameAt;
        }
    }
    auto write = [buffer](ULONG at, const UNICODE_STRING* s) {
        if (at == 0) return;
        USHORT length = s->Length;
        std::memcpy(buffer + at, &length, sizeof(USHORT));
        std::memcpy(buffer + at + sizeof(USHORT), s->Buffer, length);
    };
    write(registryAt, registryPath);
    write(mofAt, &mofResourceName);
    write(baseNameAt, &instanceName);
    return NotCompleted(Irp, STATUS_SUCCESS, needed, disposition);
}

}  // namespace

void WmiDeviceDeleted(PDEVICE_OBJECT device) {
    // The registration dies with the device, reported or not.
    if (Books().registered.erase(device) != 0) {
        Kernel::Current().Fail(rule::kWmiRegisteredAtDeletion,
                               Name(device) + " was deleted while still registered as a WMI provider");
    }
}

}  // namespace sim

using sim::Kernel;
using sim::WmiBooks;

extern "C" {

NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
    sim::Point("IoWMIRegistrationControl");
    sim::RequirePassive("IoWMIRegistrationControl");
    Kernel& kernel = Kernel::Current();
    auto& registered = kernel.io().wmi.registered;
    bool known = registered.count(DeviceObject) != 0;
    switch (Action) {
        case WMIREG_ACTION_REGISTER:
            if (known) kernel.Fail(sim::rule::kWmiRegisteredTwice, sim::Name(DeviceObject) + " registered twice");
            registered.insert(DeviceObject);
            return STATUS_SUCCESS;
        case WMIREG_ACTION_DEREGISTER:
            if (!known) {
                kernel.Fail(sim::rule::kWmiNotRegistered,
                            sim::Name(DeviceObject) + " deregistered without being registered");
            }
            registered.erase(DeviceObject);
            return STATUS_SUCCESS;
        case WMIREG_ACTION_REREGISTER:
        case WMIREG_ACTION_UPDATE_GUIDS:
            if (!known) {
                kernel.Fail(sim::rule::kWmiNotRegistered,
                            sim::Name(DeviceObject) + " updated its registration without being registered");
            }
            return STATUS_SUCCESS;
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition) {
    sim::Point("WmiSystemControl");
    sim::RequirePassive("WmiSystemControl");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = stack->MinorFunction;
    if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL || minor > IRP_MN_EXECUTE_METHOD) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    // Every device of a stack sees the request; only the provider it names
    // answers it.
    if (stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    if (minor == IRP_MN_REGINFO) return sim::RegInfo(WmiLibInfo, DeviceObject, Irp, IrpDisposition);

    // Every other request names its data block by GUID.
    const GUID* guid = static_cast<const GUID*>(stack->Parameters.WMI.DataPath);
    ULONG index = 0;
    while (index < WmiLibInfo->GuidCount && !IsEqualGUID(*WmiLibInfo->GuidList[index].Guid, *guid)) index++;
    if (index == WmiLibInfo->GuidCount) return sim::NotCompleted(Irp, STATUS_WMI_GUID_NOT_FOUND, 0, IrpDisposition);
    const WMIGUIDREGINFO& block = WmiLibInfo->GuidList[index];

    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    ULONG size = stack->Parameters.WMI.BufferSize;
    auto avail = [size](ULONG offset) { return offset < size ? size - offset : 0; };
    WmiBooks::Pending pending;
    pending.minorFunction = minor;
    NTSTATUS status;

    switch (minor) {
        case IRP_MN_QUERY_ALL_DATA: {
            if (WmiLibInfo->QueryWmiDataBlock == nullptr) {
                return sim::NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition);
            }
            if (size < sizeof(WNODE_TOO_SMALL)) {
                return sim::NotCompleted(Irp, STATUS_BUFFER_TOO_SMALL, 0, IrpDisposition);
            }
            // The instance data begins behind room for each instance's offset
            // and length, on an eight-byte boundary.
            pending.instanceCount = block.InstanceCount;
            pending.dataOffset =
                sim::Align8(static_cast<ULONG>(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                                               block.InstanceCount * sizeof(OFFSETINSTANCEDATAANDLENGTH)));
            pending.instanceLengths.assign(block.InstanceCount, 0);
            ULONG space = avail(pending.dataOffset);
            auto& books = Kernel::Current().io().wmi;
            auto& entry = books.pending[Irp] = pending;
            *IrpDisposition = IrpProcessed;
            status = WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, 0, block.InstanceCount,
                                                   entry.instanceLengths.data(), space,
                                                   space != 0 ? buffer + pending.dataOffset : nullptr);
            return status;
        }
        case IRP_MN_QUERY_SINGLE_INSTANCE:
        case IRP_MN_CHANGE_SINGLE_INSTANCE: {
            if (size < sizeof(WNODE_TOO_SMALL) ||
                size < static_cast<ULONG>(FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData))) {
                return sim::NotCompleted(Irp, STATUS_BUFFER_TOO_SMALL, 0, IrpDisposition);
            }
            auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
            ULONG instance = wnode->InstanceIndex;
            if (instance >= block.InstanceCount) {
                return sim::NotCompleted(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, IrpDisposition);
            }
            pending.dataOffset = wnode->DataBlockOffset;
            pending.instanceCount = 1;
            pending.instanceLengths.assign(1, 0);
            if (minor == IRP_MN_QUERY_SINGLE_INSTANCE) {
                if (WmiLibInfo->QueryWmiDataBlock == nullptr) {
                    return sim::NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition);
                }
                ULONG space = avail(pending.dataOffset);
                auto& entry = Kernel::Current().io().wmi.pending[Irp] = pending;
                *IrpDisposition = IrpProcessed;
                return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, instance, 1,
                                                     entry.instanceLengths.data(), space,
                                                     space != 0 ? buffer + pending.dataOffset : nullptr);
            }
            if (WmiLibInfo->SetWmiDataBlock == nullptr) {
                return sim::NotCompleted(Irp, STATUS_WMI_READ_ONLY, 0, IrpDisposition);
            }
            if (wnode->DataBlockOffset > size || wnode->SizeDataBlock > size - wnode->DataBlockOffset) {
                return sim::NotCompleted(Irp, STATUS_INVALID_PARAMETER, 0, IrpDisposition);
            }
            Kernel::Current().io().wmi.pending[Irp] = pending;
            *IrpDisposition = IrpProcessed;
            return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, index, instance, wnode->SizeDataBlock,
                                               buffer + wnode->DataBlockOffset);
        }
        case IRP_MN_CHANGE_SINGLE_ITEM: {
            if (size < static_cast<ULONG>(FIELD_OFFSET(WNODE_SINGLE_ITEM, VariableData))) {
                return sim::NotCompleted(Irp, STATUS_BUFFER_TOO_SMALL, 0, IrpDisposition);
            }
            auto* wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
            if (wnode->InstanceIndex >= block.InstanceCount) {
                return sim::NotCompleted(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, IrpDisposition);
            }
            if (WmiLibInfo->SetWmiDataItem == nullptr) {
                return sim::NotCompleted(Irp, STATUS_WMI_READ_ONLY, 0, IrpDisposition);
            }
            if (wnode->DataBlockOffset > size || wnode->SizeDataItem > size - wnode->DataBlockOffset) {
                return sim::NotCompleted(Irp, STATUS_INVALID_PARAMETER, 0, IrpDisposition);
            }
            Kernel::Current().io().wmi.pending[Irp] = pending;
            *IrpDisposition = IrpProcessed;
            return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, index, wnode->InstanceIndex, wnode->ItemId,
                                              wnode->SizeDataItem, buffer + wnode->DataBlockOffset);
        }
        case IRP_MN_ENABLE_EVENTS:
        case IRP_MN_DISABLE_EVENTS:
        case IRP_MN_ENABLE_COLLECTION:
        case IRP_MN_DISABLE_COLLECTION: {
            // A provider without a function-control callback has nothing to
            // switch on or off: the request succeeds.
            if (WmiLibInfo->WmiFunctionControl == nullptr) {
                return sim::NotCompleted(Irp, STATUS_SUCCESS, 0, IrpDisposition);
            }
            bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
            bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
            Kernel::Current().io().wmi.pending[Irp] = pending;
            *IrpDisposition = IrpProcessed;
            return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, index,
                                                  events ? WmiEventControl : WmiDataBlockControl, enable);
        }
        case IRP_MN_EXECUTE_METHOD: {
            if (WmiLibInfo->ExecuteWmiMethod == nullptr) {
                return sim::NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition);
            }
            if (size < static_cast<ULONG>(FIELD_OFFSET(WNODE_METHOD_ITEM, VariableData))) {
                return sim::NotCompleted(Irp, STATUS_BUFFER_TOO_SMALL, 0, IrpDisposition);
            }
            auto* wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
            if (wnode->InstanceIndex >= block.InstanceCount) {
                return sim::NotCompleted(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, IrpDisposition);
            }
            if (wnode->DataBlockOffset > size || wnode->SizeDataBlock > size - wnode->DataBlockOffset) {
                return sim::NotCompleted(Irp, STATUS_INVALID_PARAMETER, 0, IrpDisposition);
            }
            pending.dataOffset = wnode->DataBlockOffset;
            Kernel::Current().io().wmi.pending[Irp] = pending;
            *IrpDisposition = IrpProcessed;
            return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, index, wnode->InstanceIndex, wnode->MethodId,
                                                wnode->SizeDataBlock, avail(wnode->DataBlockOffset),
                                                buffer + wnode->DataBlockOffset);
        }
        default:
            *IrpDisposition = IrpNotWmi;
            return Irp->IoStatus.Status;
    }
}

NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                  CCHAR PriorityBoost) {
    sim::Point("WmiCompleteRequest");
    Kernel& kernel = Kernel::Current();
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        kernel.Fail(sim::rule::kIrqlNotLess, "WmiCompleteRequest above DISPATCH_LEVEL");
    auto& books = kernel.io().wmi;
    auto found = books.pending.find(Irp);
    if (found == books.pending.end()) {
        kernel.Fail(sim::rule::kObjectMisuse,
                    "WmiCompleteRequest for a request the WMI library did not hand to a callback");
    }
    WmiBooks::Pending pending = std::move(found->second);
    books.pending.erase(found);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    ULONG size = stack->Parameters.WMI.BufferSize;
    ULONG_PTR information = 0;
    bool returnsData = pending.minorFunction == IRP_MN_QUERY_ALL_DATA ||
                       pending.minorFunction == IRP_MN_QUERY_SINGLE_INSTANCE ||
                       pending.minorFunction == IRP_MN_EXECUTE_METHOD;
    if (returnsData) {
        ULONG needed = pending.dataOffset + BufferUsed;
        auto* header = reinterpret_cast<PWNODE_HEADER>(buffer);
        if (Status == STATUS_BUFFER_TOO_SMALL || (NT_SUCCESS(Status) && needed > size)) {
            // The service learns the size it must offer and asks again: the
            // request itself succeeds, carrying a WNODE_TOO_SMALL.
            auto* small = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
            header->BufferSize = sizeof(WNODE_TOO_SMALL);
            header->Flags |= WNODE_FLAG_TOO_SMALL;
            small->SizeNeeded = needed;
            information = sizeof(WNODE_TOO_SMALL);
            Status = STATUS_SUCCESS;
        } else if (NT_SUCCESS(Status)) {
            header->BufferSize = needed;
            information = needed;
            if (pending.minorFunction == IRP_MN_QUERY_ALL_DATA) {
                auto* all = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
                all->DataBlockOffset = pending.dataOffset;
                all->InstanceCount = pending.instanceCount;
                all->OffsetInstanceNameOffsets = 0;
                header->Flags |= WNODE_FLAG_ALL_DATA | WNODE_FLAG_STATIC_INSTANCE_NAMES;
                bool same = true;
                for (ULONG length : pending.instanceLengths) same = same && length == pending.instanceLengths[0];
                if (same && pending.instanceCount > 0) {
                    header->Flags |= WNODE_FLAG_FIXED_INSTANCE_SIZE;
                    all->FixedInstanceSize = pending.instanceLengths[0];
                } else {
                    ULONG at = pending.dataOffset;
                    for (ULONG i = 0; i < pending.instanceCount; i++) {
                        all->OffsetInstanceDataAndLength[i].OffsetInstanceData = at;
                        all->OffsetInstanceDataAndLength[i].LengthInstanceData = pending.instanceLengths[i];
                        at = sim::Align8(at + pending.instanceLengths[i]);
                    }
                }
            } else if (pending.minorFunction == IRP_MN_QUERY_SINGLE_INSTANCE) {
                reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->SizeDataBlock = BufferUsed;
            } else {
                reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->SizeDataBlock = BufferUsed;
            }
        }
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, PriorityBoost);
    return Status;
}

}  // extern "C"
