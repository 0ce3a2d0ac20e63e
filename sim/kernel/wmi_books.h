// The WMI side of the kernel's books: which devices have registered as WMI
// data providers, and the requests the WMI library has handed to a driver's
// callbacks and not yet seen completed.
#pragma once

#include <map>
#include <set>
#include <vector>

#include "simnt/ntddk.h"

namespace sim {

struct WmiBooks {
    std::set<PDEVICE_OBJECT> registered;
    // A request WmiSystemControl gave a callback: what WmiCompleteRequest
    // needs to finish the WNODE around the driver's data.
    struct Pending {
        UCHAR minorFunction = 0;
        ULONG dataOffset = 0;
        ULONG instanceCount = 0;
        std::vector<ULONG> instanceLengths;
    };
    std::map<PIRP, Pending> pending;
};

// Called as a device object is deleted: a provider must have deregistered.
void WmiDeviceDeleted(PDEVICE_OBJECT device);

}  // namespace sim
