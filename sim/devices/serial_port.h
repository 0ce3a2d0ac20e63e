// A model of the serial port driver: one COM port's device object, serving
// the requests a serial driver serves, with a receive buffer fed by whatever
// is on the line.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "sim/kernel.h"

namespace sim {

// One request the port served, for tests and mousesim.
struct SerialRequestRecord {
    Ticks time = 0;
    UCHAR majorFunction = 0;
    ULONG ioControlCode = 0;  // device-control requests only
    bool internal = false;
    std::vector<UCHAR> input;  // the input buffer as received
    NTSTATUS status = STATUS_SUCCESS;
};

class SerialPortModel {
  public:
    explicit SerialPortModel(const std::wstring& name = L"COM1");
    ~SerialPortModel();
    SerialPortModel(const SerialPortModel&) = delete;
    SerialPortModel& operator=(const SerialPortModel&) = delete;

    // The port's device object: the bottom of the port's device stack.
    PDEVICE_OBJECT Device() const { return device_; }

    // ---- the line
    // Bytes that have arrived and wait in the receive buffer (or complete the
    // read that is waiting for them). Call from any simulated thread.
    void Receive(const std::vector<UCHAR>& bytes);
    void Receive(UCHAR byte) { Receive(std::vector<UCHAR>{byte}); }
    // A scripted byte source: the bytes arrive one by one, the first after
    // `firstDelay`, the others `interval` apart, each as a hardware event.
    void ScheduleBytes(const std::vector<UCHAR>& bytes, Ticks firstDelay, Ticks interval);
    size_t Buffered() const { return receiveBuffer_.size(); }

    // ---- fault injection
    // The next `count` reads complete at once with `status` and no data.
    void FailReads(int count, NTSTATUS status);

    // ---- what crossed the port
    const std::vector<SerialRequestRecord>& Requests() const { return requests_; }
    size_t ReadsServed() const { return readsServed_; }
    bool ReadPending() const { return pendingRead_ != nullptr; }

  private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static VOID NTAPI CancelRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static SerialPortModel* From(PDEVICE_OBJECT device);
    NTSTATUS DispatchRead(PIRP irp);
    NTSTATUS DispatchCleanup(PIRP irp);
    NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information);
    // Moves buffered bytes into the pending read; completes it when full.
    void ServePendingRead();
    void Record(PIRP irp, NTSTATUS status);

    Kernel& kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::deque<UCHAR> receiveBuffer_;
    PIRP pendingRead_ = nullptr;
    ULONG pendingReadFilled_ = 0;
    int failReads_ = 0;
    NTSTATUS failStatus_ = STATUS_SUCCESS;
    size_t readsServed_ = 0;
    std::vector<SerialRequestRecord> requests_;
    std::vector<uint64_t> scheduled_;
};

}  // namespace sim
