// A model of the mouse class driver's side of a connection: a service
// callback that takes the records a port driver delivers and remembers each
// one, with the IRQL and thread it arrived at.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/kernel.h"

namespace sim {

struct DeliveredRecord {
    MOUSE_INPUT_DATA data;
    KIRQL irql;
    std::string thread;
    Ticks time;
};

class MouseClassModel {
  public:
    MouseClassModel();
    ~MouseClassModel();
    MouseClassModel(const MouseClassModel&) = delete;
    MouseClassModel& operator=(const MouseClassModel&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    // What a port driver receives in IOCTL_INTERNAL_MOUSE_CONNECT.
    CONNECT_DATA Connection() const;

    const std::vector<DeliveredRecord>& Records() const { return records_; }
    void ClearRecords() { records_.clear(); }
    // Called with each record as it arrives (for tools that print as they go).
    void OnRecord(std::function<void(const DeliveredRecord&)> observer) { observer_ = std::move(observer); }

    // As the class driver above a port driver's stack: attaches its device to
    // the top of the stack, connects with IOCTL_INTERNAL_MOUSE_CONNECT, and
    // opens and closes the device below. Plug and Play and power requests
    // pass through it; a removal takes it off the stack.
    NTSTATUS AttachTo(PDEVICE_OBJECT physicalDevice);
    // IOCTL_INTERNAL_MOUSE_CONNECT with this model's CONNECT_DATA in
    // Type3InputBuffer; `inputLength` as the request states it.
    NTSTATUS Connect(ULONG inputLength = sizeof(CONNECT_DATA));
    // Any other internal request without buffers (disconnect, enable, ...).
    NTSTATUS SendInternal(ULONG ioControlCode);
    // IOCTL_MOUSE_QUERY_ATTRIBUTES into `attributes`, whose buffer the
    // request states as `outputLength` bytes; *information gets what the
    // driver below reported.
    NTSTATUS QueryAttributes(MOUSE_ATTRIBUTES* attributes, ULONG outputLength = sizeof(MOUSE_ATTRIBUTES),
                             ULONG_PTR* information = nullptr);
    NTSTATUS Open();
    NTSTATUS Close();
    NTSTATUS Flush();
    PDEVICE_OBJECT Lower() const { return lower_; }

    static VOID NTAPI ServiceCallback(PDEVICE_OBJECT DeviceObject, PMOUSE_INPUT_DATA InputDataStart,
                                      PMOUSE_INPUT_DATA InputDataEnd, PULONG InputDataConsumed);

  private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS SendDown(UCHAR major, ULONG code, PVOID buffer, ULONG length, PVOID output = nullptr,
                      ULONG outputLength = 0, ULONG_PTR* information = nullptr);

    Kernel& kernel_;
    PDEVICE_OBJECT lower_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::vector<DeliveredRecord> records_;
    std::function<void(const DeliveredRecord&)> observer_;
};

}  // namespace sim
