// A model of the serial port driver: one COM port's device object, serving
// the requests a serial driver serves (configuration, modem lines, wait on
// mask, reads and writes with the serial interface's timeout rules), with a
// bounded receive buffer fed by whatever is on the line.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/kernel.h"

namespace sim {

// One request the port served, for tests and mousesim.
struct SerialRequestRecord {
    Ticks time = 0;            // when it arrived
    Ticks completedAt = -1;    // when it completed; -1 while outstanding
    UCHAR majorFunction = 0;
    ULONG ioControlCode = 0;  // device-control requests only
    bool internal = false;
    std::vector<UCHAR> input;   // the input buffer as received (write data for writes)
    std::vector<UCHAR> output;  // what the port returned (read data for reads)
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// How the port frames a byte on the line.
struct SerialFraming {
    ULONG baud = 1200;
    UCHAR wordLength = 8;        // data bits, 5 to 8
    UCHAR parity = NO_PARITY;    // NO_PARITY .. SPACE_PARITY
    UCHAR stopBits = STOP_BIT_1;  // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2
};

// Time a byte takes on the line: start bit, data bits, parity bit if any and
// stop bits at the framing's baud.
Ticks ByteTime(const SerialFraming& framing);

// What sits at the other end of the line: told of every change of DTR and
// RTS and of every byte the port finished sending, with the framing it was
// sent in.
class SerialLineEnd {
  public:
    virtual ~SerialLineEnd() = default;
    virtual void ModemControlChanged(bool dtr, bool rts) = 0;
    virtual void ByteFromPort(UCHAR byte, const SerialFraming& framing) = 0;
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
    // Receive buffer size; bytes arriving when it is full are lost.
    void SetReceiveBufferSize(size_t bytes) { receiveBufferSize_ = bytes; }
    size_t Overruns() const { return overruns_; }

    // The device at the other end of the line (null: nothing attached).
    void Attach(SerialLineEnd* end) { lineEnd_ = end; }
    // The modem-status inputs as the device drives them; a change sets the
    // register's delta bits and raises the wait-mask events.
    void SetModemStatusLines(bool cts, bool dsr, bool ri, bool dcd);
    bool Dtr() const { return dtr_; }
    bool Rts() const { return rts_; }
    const SerialFraming& Framing() const { return framing_; }
    const SERIAL_TIMEOUTS& Timeouts() const { return timeouts_; }
    const SERIAL_HANDFLOW& HandFlow() const { return handFlow_; }
    ULONG WaitMask() const { return waitMask_; }
    ULONG FifoControl() const { return fifoControl_; }
    // The register as IOCTL_SERIAL_GET_MODEMSTATUS would return it (without
    // clearing the delta bits).
    ULONG ModemStatus() const { return modemStatus_; }

    // ---- fault injection
    // The next `count` reads complete at once with `status` and no data.
    void FailReads(int count, NTSTATUS status);
    // The next `count` requests of this major function (and, for device
    // control, this code) complete at once with `status`; count -1: all of
    // them from now on. Device control and internal device control are told
    // apart by the major function, as the port tells them apart.
    // With `pendFor` above 0 each such request pends first and fails that
    // much later, as a port that must wait for its hardware does.
    void FailRequests(UCHAR majorFunction, ULONG ioControlCode, NTSTATUS status, int count = 1, Ticks pendFor = 0);
    // Refuse IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS and _RESTORE_SETTINGS, as a
    // serial driver without them does (STATUS_INVALID_PARAMETER).
    void RefuseInternalSettings(bool refuse) { refuseInternalSettings_ = refuse; }

    // ---- what crossed the port
    const std::vector<SerialRequestRecord>& Requests() const { return requests_; }
    void ClearRequests() { requests_.clear(); recordOf_.clear(); }
    size_t ReadsServed() const { return readsServed_; }
    bool ReadPending() const { return !reads_.empty(); }
    // Bytes the port has finished sending, in order.
    const std::vector<UCHAR>& Sent() const { return sent_; }

  private:
    // A read or write the port holds.
    struct Transfer {
        PIRP irp = nullptr;
        ULONG length = 0;
        ULONG done = 0;
        bool started = false;
        uint64_t totalTimer = 0;
        uint64_t intervalTimer = 0;
        uint64_t byteTimer = 0;  // writes: the byte on the line
    };
    struct FailRule {
        UCHAR majorFunction;
        ULONG ioControlCode;
        NTSTATUS status;
        int count;
        Ticks pendFor;
    };

    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static VOID NTAPI Cancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static SerialPortModel* From(PDEVICE_OBJECT device);
    NTSTATUS DispatchRead(PIRP irp);
    NTSTATUS DispatchWrite(PIRP irp);
    NTSTATUS QueueTransfer(PIRP irp, ULONG length, std::deque<Transfer>& queue, void (SerialPortModel::*start)());
    NTSTATUS DispatchFlush(PIRP irp);
    NTSTATUS DispatchControl(PIRP irp, bool internal);
    NTSTATUS DispatchInternalControl(PIRP irp);
    NTSTATUS DispatchCleanup(PIRP irp);
    NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information);
    // Holds the IRP with the cancel routine set; false when it was cancelled
    // on the way in (then it is completed already).
    bool HoldPending(PIRP irp);
    // Takes a held IRP back from its cancel routine; false when a cancel is
    // already under way and will complete it.
    bool Release(PIRP irp);
    void CancelTimers(Transfer& transfer);
    void Record(PIRP irp);
    bool InjectedFailure(PIRP irp, NTSTATUS* status, Ticks* pendFor);

    // Reads: start the head read's timers, serve it from the buffer, time out.
    void StartRead();
    void ServeReads();
    void FinishRead(NTSTATUS status);
    void ReadTimedOut(PIRP irp);
    // Writes: the head write's bytes go out one at a time at the line's pace.
    void StartWrite();
    void SendNextByte();
    void FinishWrite(NTSTATUS status);
    void CompleteFlushes();
    // Wait-mask events.
    void RaiseEvents(ULONG events);
    void CompleteWait(ULONG events);
    void CancelAll(NTSTATUS status);
    void SetModemControl(bool dtr, bool rts);

    Kernel& kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;

    // settings
    SerialFraming framing_;
    SERIAL_TIMEOUTS timeouts_{};
    SERIAL_HANDFLOW handFlow_{};
    ULONG rxFifo_ = 8;
    ULONG txFifo_ = 16;
    ULONG fifoControl_ = 0;
    bool refuseInternalSettings_ = false;

    // lines
    bool dtr_ = false;
    bool rts_ = false;
    ULONG modemStatus_ = 0;
    SerialLineEnd* lineEnd_ = nullptr;

    // wait on mask
    ULONG waitMask_ = 0;
    ULONG eventHistory_ = 0;
    PIRP pendingWait_ = nullptr;

    // data
    std::deque<UCHAR> receiveBuffer_;
    size_t receiveBufferSize_ = 4096;
    size_t overruns_ = 0;
    std::deque<Transfer> reads_;
    std::deque<Transfer> writes_;
    std::vector<PIRP> flushes_;
    std::vector<UCHAR> sent_;
    int opens_ = 0;

    // faults and records
    std::vector<FailRule> failRules_;
    size_t readsServed_ = 0;
    std::vector<SerialRequestRecord> requests_;
    std::map<PIRP, size_t> recordOf_;
    std::vector<uint64_t> scheduled_;
};

}  // namespace sim
