// The WMI service's requests to data providers, as the simulated machine's
// tests and tools send them.
#include <cstring>

#include "kernel_internal.h"
#include "sim/wmi.h"

namespace sim {

namespace {

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

template <typename T>
T At(const std::vector<UCHAR>& buffer, size_t offset) {
    T value{};
    if (offset + sizeof(T) <= buffer.size()) std::memcpy(&value, buffer.data() + offset, sizeof(T));
    return value;
}

std::wstring CountedString(const std::vector<UCHAR>& buffer, ULONG offset) {
    if (offset == 0) return {};
    USHORT length = At<USHORT>(buffer, offset);
    std::wstring s;
    for (size_t i = 0; i + sizeof(WCHAR) <= length; i += sizeof(WCHAR)) {
        s.push_back(static_cast<wchar_t>(At<WCHAR>(buffer, offset + sizeof(USHORT) + i)));
    }
    return s;
}

// A WNODE of `size` bytes with its header filled as the service fills it.
template <typename Wnode>
std::vector<UCHAR> NewWnode(ULONG size, const GUID& guid, ULONG flags, Wnode** wnode) {
    std::vector<UCHAR> buffer(size < sizeof(Wnode) ? sizeof(Wnode) : size, 0);
    *wnode = reinterpret_cast<Wnode*>(buffer.data());
    (*wnode)->WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    (*wnode)->WnodeHeader.Guid = guid;
    (*wnode)->WnodeHeader.Flags = flags;
    return buffer;
}

WmiBlock ReadBlock(const WmiReply& reply, ULONG dataOffset, ULONG dataSpace, bool allData) {
    WmiBlock block;
    block.status = reply.status;
    block.dataOffset = dataOffset;
    const std::vector<UCHAR>& b = reply.buffer;
    if (dataOffset <= b.size()) {
        ULONG end = dataOffset + dataSpace < b.size() ? dataOffset + dataSpace : static_cast<ULONG>(b.size());
        block.dataSpace.assign(b.begin() + dataOffset, b.begin() + end);
    }
    if (!NT_SUCCESS(reply.status)) return block;
    ULONG flags = At<ULONG>(b, offsetof(WNODE_HEADER, Flags));
    if (flags & WNODE_FLAG_TOO_SMALL) {
        block.tooSmall = true;
        block.sizeNeeded = At<ULONG>(b, offsetof(WNODE_TOO_SMALL, SizeNeeded));
        return block;
    }
    if (allData) {
        block.dataOffset = At<ULONG>(b, offsetof(WNODE_ALL_DATA, DataBlockOffset));
        block.instanceLength = (flags & WNODE_FLAG_FIXED_INSTANCE_SIZE)
                                   ? At<ULONG>(b, offsetof(WNODE_ALL_DATA, FixedInstanceSize))
                                   : At<ULONG>(b, offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                                                      offsetof(OFFSETINSTANCEDATAANDLENGTH, LengthInstanceData));
    } else {
        block.instanceLength = At<ULONG>(b, offsetof(WNODE_SINGLE_INSTANCE, SizeDataBlock));
    }
    size_t end = static_cast<size_t>(block.dataOffset) + block.instanceLength;
    if (end <= b.size()) block.data.assign(b.begin() + block.dataOffset, b.begin() + end);
    return block;
}

}  // namespace

bool WmiRegistered(PDEVICE_OBJECT provider) { return Kernel::Current().io().wmi.registered.count(provider) != 0; }

WmiReply SendWmiRequest(PDEVICE_OBJECT provider, UCHAR minor, PVOID dataPath, std::vector<UCHAR> buffer,
                        ULONG_PTR providerId) {
    Kernel& kernel = Kernel::Current();
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) kernel.Fail(rule::kIrqlNotLess, "a WMI request sent above PASSIVE_LEVEL");
    WmiReply reply;
    // The service sends requests only to registered providers; for any other
    // device it knows no such block.
    if (!WmiRegistered(provider)) {
        reply.status = STATUS_WMI_GUID_NOT_FOUND;
        reply.buffer = std::move(buffer);
        return reply;
    }
    PDEVICE_OBJECT top = TopOfStack(provider);
    PIRP irp = kernel.io().AllocateIrp(top->StackSize, true);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    next->MinorFunction = minor;
    next->Parameters.WMI.ProviderId = providerId != 0 ? providerId : reinterpret_cast<ULONG_PTR>(provider);
    next->Parameters.WMI.DataPath = dataPath;
    next->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
    next->Parameters.WMI.Buffer = buffer.empty() ? nullptr : buffer.data();
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KEVENT event;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->UserEvent = &event;
    irp->UserIosb = &status;
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    reply.status = status.Status;
    reply.information = status.Information;
    reply.buffer = std::move(buffer);
    return reply;
}

WmiRegistration QueryWmiRegistration(PDEVICE_OBJECT provider, ULONG bufferSize) {
    WmiRegistration registration;
    WmiReply reply = SendWmiRequest(provider, IRP_MN_REGINFO, reinterpret_cast<PVOID>(WMIREGISTER),
                                    std::vector<UCHAR>(bufferSize, 0));
    registration.status = reply.status;
    const std::vector<UCHAR>& b = reply.buffer;
    if (reply.status == STATUS_BUFFER_TOO_SMALL && reply.information == sizeof(ULONG)) {
        registration.sizeNeeded = At<ULONG>(b, 0);
    }
    if (!NT_SUCCESS(reply.status)) return registration;
    registration.registryPath = CountedString(b, At<ULONG>(b, offsetof(WMIREGINFOW, RegistryPath)));
    registration.mofResourceName = CountedString(b, At<ULONG>(b, offsetof(WMIREGINFOW, MofResourceName)));
    ULONG count = At<ULONG>(b, offsetof(WMIREGINFOW, GuidCount));
    for (ULONG i = 0; i < count; i++) {
        auto g = At<WMIREGGUIDW>(b, offsetof(WMIREGINFOW, WmiRegGuid) + i * sizeof(WMIREGGUIDW));
        registration.blocks.push_back({g.Guid, g.Flags, g.InstanceCount, g.Pdo});
    }
    return registration;
}

WmiBlock QueryWmiSingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG dataSpace, ULONG instanceIndex) {
    ULONG offset = static_cast<ULONG>((offsetof(WNODE_SINGLE_INSTANCE, VariableData) + 7) & ~size_t(7));
    PWNODE_SINGLE_INSTANCE wnode;
    std::vector<UCHAR> buffer =
        NewWnode(offset + dataSpace, guid, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES, &wnode);
    std::memset(buffer.data() + offset, 0xCC, buffer.size() - offset);
    wnode->InstanceIndex = instanceIndex;
    wnode->DataBlockOffset = offset;
    GUID path = guid;
    WmiReply reply = SendWmiRequest(provider, IRP_MN_QUERY_SINGLE_INSTANCE, &path, std::move(buffer));
    return ReadBlock(reply, offset, dataSpace, false);
}

WmiBlock QueryWmiAllData(PDEVICE_OBJECT provider, const GUID& guid, ULONG dataSpace) {
    // The service offers room for the header, one instance's offset and
    // length, and the data behind it on an eight-byte boundary.
    ULONG offset = static_cast<ULONG>(
        (offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + sizeof(OFFSETINSTANCEDATAANDLENGTH) + 7) & ~size_t(7));
    PWNODE_ALL_DATA wnode;
    std::vector<UCHAR> buffer = NewWnode(offset + dataSpace, guid, WNODE_FLAG_ALL_DATA, &wnode);
    std::memset(buffer.data() + offset, 0xCC, buffer.size() - offset);
    GUID path = guid;
    WmiReply reply = SendWmiRequest(provider, IRP_MN_QUERY_ALL_DATA, &path, std::move(buffer));
    return ReadBlock(reply, offset, dataSpace, true);
}

NTSTATUS SetWmiSingleInstance(PDEVICE_OBJECT provider, const GUID& guid, const std::vector<UCHAR>& data,
                              ULONG instanceIndex) {
    ULONG offset = static_cast<ULONG>((offsetof(WNODE_SINGLE_INSTANCE, VariableData) + 7) & ~size_t(7));
    PWNODE_SINGLE_INSTANCE wnode;
    std::vector<UCHAR> buffer = NewWnode(offset + static_cast<ULONG>(data.size()), guid,
                                         WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES, &wnode);
    wnode->InstanceIndex = instanceIndex;
    wnode->DataBlockOffset = offset;
    wnode->SizeDataBlock = static_cast<ULONG>(data.size());
    if (!data.empty()) std::memcpy(buffer.data() + offset, data.data(), data.size());
    GUID path = guid;
    return SendWmiRequest(provider, IRP_MN_CHANGE_SINGLE_INSTANCE, &path, std::move(buffer)).status;
}

NTSTATUS SetWmiSingleItem(PDEVICE_OBJECT provider, const GUID& guid, ULONG itemId, const std::vector<UCHAR>& data,
                          ULONG instanceIndex) {
    ULONG offset = static_cast<ULONG>((offsetof(WNODE_SINGLE_ITEM, VariableData) + 7) & ~size_t(7));
    PWNODE_SINGLE_ITEM wnode;
    std::vector<UCHAR> buffer = NewWnode(offset + static_cast<ULONG>(data.size()), guid,
                                         WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES, &wnode);
    wnode->InstanceIndex = instanceIndex;
    wnode->ItemId = itemId;
    wnode->DataBlockOffset = offset;
    wnode->SizeDataItem = static_cast<ULONG>(data.size());
    if (!data.empty()) std::memcpy(buffer.data() + offset, data.data(), data.size());
    GUID path = guid;
    return SendWmiRequest(provider, IRP_MN_CHANGE_SINGLE_ITEM, &path, std::move(buffer)).status;
}

NTSTATUS ControlWmiBlock(PDEVICE_OBJECT provider, const GUID& guid, UCHAR minor) {
    PWNODE_SINGLE_INSTANCE wnode;  // a bare header is all these carry
    std::vector<UCHAR> buffer = NewWnode(sizeof(WNODE_HEADER), guid, 0, &wnode);
    GUID path = guid;
    return SendWmiRequest(provider, minor, &path, std::move(buffer)).status;
}

}  // namespace sim
