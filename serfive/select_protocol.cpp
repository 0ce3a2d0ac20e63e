// serfive's identification as the device frame calls it at every start of
// the mouse. Only the serfive image links this; a host program that holds
// both drivers' identification calls serfive::SelectProtocol directly.
#include "serfive/identify.h"

// The frame's hook: the driver's own identification and protocol selection.
NTSTATUS SelectProtocol(DeviceState* Device);

PAGEABLE_ROUTINE NTSTATUS SelectProtocol(DeviceState* Device) {
    PAGED_CODE();
    return serfive::SelectProtocol(Device);
}
