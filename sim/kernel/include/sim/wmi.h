// The WMI service's side of the simulated machine: which devices are
// registered as WMI data providers, and a small client that sends a provider
// the system-control requests the service sends (to the top of the
// provider's device stack, naming the provider, with STATUS_NOT_SUPPORTED
// preset) and reads the WNODE that comes back. Call from a simulated thread
// at PASSIVE_LEVEL.
#pragma once

#include <string>
#include <vector>

#include "sim/kernel.h"

namespace sim {

bool WmiRegistered(PDEVICE_OBJECT provider);

// One system-control request's outcome.
struct WmiReply {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG_PTR information = 0;
    std::vector<UCHAR> buffer;  // the whole WNODE buffer after completion
};

// Sends IRP_MJ_SYSTEM_CONTROL `minor` with `buffer` as Parameters.WMI.Buffer
// and waits for it. The request goes to the top of the provider's stack and
// names the provider unless `providerId` names another. A device that is not
// registered gets no request: STATUS_WMI_GUID_NOT_FOUND.
WmiReply SendWmiRequest(PDEVICE_OBJECT provider, UCHAR minor, PVOID dataPath, std::vector<UCHAR> buffer,
                        ULONG_PTR providerId = 0);

// IRP_MN_REGINFO, decoded.
struct WmiRegistration {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG sizeNeeded = 0;  // when the buffer offered was too small
    std::wstring registryPath;
    std::wstring mofResourceName;
    struct Block {
        GUID guid;
        ULONG flags;
        ULONG instanceCount;
        ULONG_PTR pdo;
    };
    std::vector<Block> blocks;
};
WmiRegistration QueryWmiRegistration(PDEVICE_OBJECT provider, ULONG bufferSize = 4096);

// A data block read with IRP_MN_QUERY_SINGLE_INSTANCE or
// IRP_MN_QUERY_ALL_DATA. `dataSpace` is the room offered for the data behind
// the WNODE header; unused room is filled with 0xCC, so a test sees what the
// provider wrote.
struct WmiBlock {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    bool tooSmall = false;  // a WNODE_TOO_SMALL came back
    ULONG sizeNeeded = 0;   // its SizeNeeded: the whole WNODE the data needs
    ULONG dataOffset = 0;   // where the data starts in the WNODE
    ULONG instanceLength = 0;
    std::vector<UCHAR> data;       // the instance data the WNODE reports
    std::vector<UCHAR> dataSpace;  // the whole room offered, after the reply
};
WmiBlock QueryWmiSingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG dataSpace, ULONG instanceIndex = 0);
WmiBlock QueryWmiAllData(PDEVICE_OBJECT provider, const GUID& guid, ULONG dataSpace);

// IRP_MN_CHANGE_SINGLE_INSTANCE and IRP_MN_CHANGE_SINGLE_ITEM with `data`.
NTSTATUS SetWmiSingleInstance(PDEVICE_OBJECT provider, const GUID& guid, const std::vector<UCHAR>& data,
                              ULONG instanceIndex = 0);
NTSTATUS SetWmiSingleItem(PDEVICE_OBJECT provider, const GUID& guid, ULONG itemId, const std::vector<UCHAR>& data,
                          ULONG instanceIndex = 0);

// IRP_MN_ENABLE_EVENTS, DISABLE_EVENTS, ENABLE_COLLECTION or
// DISABLE_COLLECTION for the block.
NTSTATUS ControlWmiBlock(PDEVICE_OBJECT provider, const GUID& guid, UCHAR minor);

}  // namespace sim
