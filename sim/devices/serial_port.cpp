#include "serial_port.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

struct PortExtension {
    SerialPortModel* model;
};

// The fastest rate a 1.8432 MHz UART divides down to.
constexpr ULONG kMaxBaud = 115200;
// Wait-mask events the port knows (through SERIAL_EV_EVENT2).
constexpr ULONG kValidEvents = 0x1FFF;
constexpr ULONG kValidPurge = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

}  // namespace

Ticks ByteTime(const SerialFraming& framing) {
    // In half bits, so that 1.5 stop bits stay exact.
    LONGLONG halfBits = 2 * (1 + framing.wordLength + (framing.parity != NO_PARITY ? 1 : 0));
    halfBits += framing.stopBits == STOP_BIT_1 ? 2 : framing.stopBits == STOP_BITS_1_5 ? 3 : 4;
    return halfBits * kTicksPerSecond / (2 * static_cast<LONGLONG>(framing.baud));
}

SerialPortModel::SerialPortModel(const std::wstring& name) : kernel_(Kernel::Current()) {
    driver_ = kernel_.CreateDriverObject(L"\\Driver\\Serial");
    for (auto& slot : driver_->MajorFunction) slot = Dispatch;
    IoCreateDevice(driver_, sizeof(PortExtension), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device_);
    static_cast<PortExtension*>(device_->DeviceExtension)->model = this;
    device_->Flags |= DO_BUFFERED_IO;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

SerialPortModel::~SerialPortModel() {
    for (uint64_t handle : scheduled_) kernel_.CancelEvent(handle);
    for (Transfer& t : reads_) CancelTimers(t);
    for (Transfer& t : writes_) CancelTimers(t);
    IoDeleteDevice(device_);
    kernel_.UnloadDriver(driver_);
}

SerialPortModel* SerialPortModel::From(PDEVICE_OBJECT device) {
    return static_cast<PortExtension*>(device->DeviceExtension)->model;
}

// ---------------------------------------------------------------- records

void SerialPortModel::Record(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    SerialRequestRecord record;
    record.time = kernel_.Now();
    record.majorFunction = stack->MajorFunction;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        record.internal = stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
        record.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        if (buffer != nullptr && METHOD_FROM_CTL_CODE(record.ioControlCode) == METHOD_BUFFERED) {
            record.input.assign(buffer, buffer + stack->Parameters.DeviceIoControl.InputBufferLength);
        }
    } else if (stack->MajorFunction == IRP_MJ_WRITE && buffer != nullptr) {
        record.input.assign(buffer, buffer + stack->Parameters.Write.Length);
    }
    recordOf_[irp] = requests_.size();
    requests_.push_back(std::move(record));
}

NTSTATUS SerialPortModel::Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    auto found = recordOf_.find(irp);
    if (found != recordOf_.end()) {
        SerialRequestRecord& record = requests_[found->second];
        record.completedAt = kernel_.Now();
        record.status = status;
        record.information = information;
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        bool returnsData = record.majorFunction == IRP_MJ_READ ||
                           ((record.majorFunction == IRP_MJ_DEVICE_CONTROL ||
                             record.majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) &&
                            METHOD_FROM_CTL_CODE(record.ioControlCode) == METHOD_BUFFERED);
        if (returnsData && buffer != nullptr && information != 0) record.output.assign(buffer, buffer + information);
        recordOf_.erase(found);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    return status;
}

bool SerialPortModel::InjectedFailure(PIRP irp, NTSTATUS* status, Ticks* pendFor) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool control =
        stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    for (auto rule = failRules_.begin(); rule != failRules_.end(); ++rule) {
        if (rule->majorFunction != stack->MajorFunction) continue;
        if (control && rule->ioControlCode != stack->Parameters.DeviceIoControl.IoControlCode) continue;
        *status = rule->status;
        *pendFor = rule->pendFor;
        if (rule->count > 0 && --rule->count == 0) failRules_.erase(rule);
        return true;
    }
    return false;
}

void SerialPortModel::FailReads(int count, NTSTATUS status) {
    failRules_.erase(std::remove_if(failRules_.begin(), failRules_.end(),
                                    [](const FailRule& r) { return r.majorFunction == IRP_MJ_READ; }),
                     failRules_.end());
    if (count != 0) failRules_.push_back({IRP_MJ_READ, 0, status, count, 0});
}

void SerialPortModel::FailRequests(UCHAR majorFunction, ULONG ioControlCode, NTSTATUS status, int count,
                                   Ticks pendFor) {
    if (count != 0) failRules_.push_back({majorFunction, ioControlCode, status, count, pendFor});
}

// ---------------------------------------------------------------- holding and cancelling

bool SerialPortModel::HoldPending(PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, Cancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) return false;
    return true;
}

bool SerialPortModel::Release(PIRP irp) { return IoSetCancelRoutine(irp, nullptr) != nullptr; }

void SerialPortModel::CancelTimers(Transfer& transfer) {
    for (uint64_t* timer : {&transfer.totalTimer, &transfer.intervalTimer, &transfer.byteTimer}) {
        if (*timer != 0) kernel_.CancelEvent(*timer);
        *timer = 0;
    }
}

VOID NTAPI SerialPortModel::Cancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SerialPortModel* port = From(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto match = [Irp](const Transfer& t) { return t.irp == Irp; };
    auto read = std::find_if(port->reads_.begin(), port->reads_.end(), match);
    if (read != port->reads_.end()) {
        ULONG done = read->done;
        port->CancelTimers(*read);
        port->reads_.erase(read);
        port->Complete(Irp, STATUS_CANCELLED, done);
        if (!port->reads_.empty() && !port->reads_.front().started) port->StartRead();
        return;
    }
    auto write = std::find_if(port->writes_.begin(), port->writes_.end(), match);
    if (write != port->writes_.end()) {
        ULONG done = write->done;
        port->CancelTimers(*write);
        port->writes_.erase(write);
        port->Complete(Irp, STATUS_CANCELLED, done);
        if (!port->writes_.empty() && !port->writes_.front().started) port->StartWrite();
        return;
    }
    if (port->pendingWait_ == Irp) {
        port->pendingWait_ = nullptr;
        port->Complete(Irp, STATUS_CANCELLED, 0);
        return;
    }
    auto flush = std::find(port->flushes_.begin(), port->flushes_.end(), Irp);
    if (flush != port->flushes_.end()) {
        port->flushes_.erase(flush);
        port->Complete(Irp, STATUS_CANCELLED, 0);
    }
}

void SerialPortModel::CancelAll(NTSTATUS status) {
    std::vector<std::pair<PIRP, ULONG>> victims;
    for (Transfer& t : reads_) {
        CancelTimers(t);
        if (Release(t.irp)) victims.emplace_back(t.irp, t.done);
    }
    reads_.clear();
    for (Transfer& t : writes_) {
        CancelTimers(t);
        if (Release(t.irp)) victims.emplace_back(t.irp, t.done);
    }
    writes_.clear();
    if (pendingWait_ != nullptr && Release(pendingWait_)) victims.emplace_back(pendingWait_, 0);
    pendingWait_ = nullptr;
    for (PIRP flush : flushes_) {
        if (Release(flush)) victims.emplace_back(flush, 0);
    }
    flushes_.clear();
    for (auto& [irp, done] : victims) Complete(irp, status, done);
}

// ---------------------------------------------------------------- dispatch

NTSTATUS NTAPI SerialPortModel::Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SerialPortModel* port = From(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    port->Record(Irp);
    if (stack->MajorFunction == IRP_MJ_READ) port->readsServed_++;
    NTSTATUS injected = STATUS_SUCCESS;
    Ticks pendFor = 0;
    if (port->InjectedFailure(Irp, &injected, &pendFor)) {
        if (pendFor <= 0) return port->Complete(Irp, injected, 0);
        IoMarkIrpPending(Irp);
        port->scheduled_.push_back(
            port->kernel_.ScheduleAfter(pendFor, [port, Irp, injected] { port->Complete(Irp, injected, 0); }));
        return STATUS_PENDING;
    }
    switch (stack->MajorFunction) {
        case IRP_MJ_READ:
            return port->DispatchRead(Irp);
        case IRP_MJ_WRITE:
            return port->DispatchWrite(Irp);
        case IRP_MJ_DEVICE_CONTROL:
            return port->DispatchControl(Irp, false);
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return port->DispatchInternalControl(Irp);
        case IRP_MJ_CREATE:
            // A new open starts with an empty receive buffer and no wait mask.
            port->opens_++;
            port->receiveBuffer_.clear();
            port->waitMask_ = 0;
            port->eventHistory_ = 0;
            return port->Complete(Irp, STATUS_SUCCESS, 0);
        case IRP_MJ_CLOSE:
            // The last close lowers DTR and RTS, as the serial driver does.
            if (port->opens_ > 0 && --port->opens_ == 0) port->SetModemControl(false, false);
            return port->Complete(Irp, STATUS_SUCCESS, 0);
        case IRP_MJ_FLUSH_BUFFERS:
            return port->DispatchFlush(Irp);
        case IRP_MJ_CLEANUP:
            return port->DispatchCleanup(Irp);
        default:
            return port->Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS SerialPortModel::DispatchCleanup(PIRP irp) {
    CancelAll(STATUS_CANCELLED);
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS SerialPortModel::DispatchFlush(PIRP irp) {
    if (writes_.empty()) return Complete(irp, STATUS_SUCCESS, 0);
    if (!HoldPending(irp)) {
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    flushes_.push_back(irp);
    return STATUS_PENDING;
}

void SerialPortModel::SetModemControl(bool dtr, bool rts) {
    if (dtr == dtr_ && rts == rts_) return;
    dtr_ = dtr;
    rts_ = rts;
    if (lineEnd_ != nullptr) lineEnd_->ModemControlChanged(dtr_, rts_);
}

void SerialPortModel::SetModemStatusLines(bool cts, bool dsr, bool ri, bool dcd) {
    ULONG old = modemStatus_;
    ULONG lines = (cts ? SERIAL_MSR_CTS : 0) | (dsr ? SERIAL_MSR_DSR : 0) | (ri ? SERIAL_MSR_RI : 0) |
                  (dcd ? SERIAL_MSR_DCD : 0);
    ULONG changed = (old ^ lines) & 0xF0;
    if (changed == 0) return;
    ULONG deltas = 0;
    ULONG events = 0;
    if (changed & SERIAL_MSR_CTS) deltas |= SERIAL_MSR_DCTS, events |= SERIAL_EV_CTS;
    if (changed & SERIAL_MSR_DSR) deltas |= SERIAL_MSR_DDSR, events |= SERIAL_EV_DSR;
    if (changed & SERIAL_MSR_DCD) deltas |= SERIAL_MSR_DDCD, events |= SERIAL_EV_RLSD;
    // The ring indicator reports its trailing edge.
    if ((changed & SERIAL_MSR_RI) && !ri) deltas |= SERIAL_MSR_TERI, events |= SERIAL_EV_RING;
    modemStatus_ = lines | (old & 0x0F) | deltas;
    RaiseEvents(events);
}

namespace {

// The line state a handflow setting leaves DTR and RTS in.
bool DtrFromHandFlow(const SERIAL_HANDFLOW& flow, bool current) {
    switch (flow.ControlHandShake & SERIAL_DTR_MASK) {
        case 0: return false;
        case SERIAL_DTR_CONTROL: return true;
        case SERIAL_DTR_HANDSHAKE: return true;
        default: return current;
    }
}

bool RtsFromHandFlow(const SERIAL_HANDFLOW& flow, bool current) {
    switch (flow.FlowReplace & SERIAL_RTS_MASK) {
        case 0: return false;
        case SERIAL_RTS_CONTROL: return true;
        case SERIAL_RTS_HANDSHAKE: return true;
        default: return false;  // transmit toggle: low while idle
    }
}

bool ValidHandFlow(const SERIAL_HANDFLOW& flow) {
    return (flow.ControlHandShake & SERIAL_DTR_MASK) != SERIAL_DTR_MASK;
}

}  // namespace

NTSTATUS SerialPortModel::DispatchControl(PIRP irp, bool) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    auto needIn = [&](size_t size) { return in >= size; };
    auto needOut = [&](size_t size) { return out >= size; };

    switch (code) {
        case IOCTL_SERIAL_SET_BAUD_RATE: {
            if (!needIn(sizeof(SERIAL_BAUD_RATE))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            ULONG baud = static_cast<SERIAL_BAUD_RATE*>(buffer)->BaudRate;
            if (baud == 0 || baud > kMaxBaud) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            framing_.baud = baud;
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IOCTL_SERIAL_GET_BAUD_RATE:
            if (!needOut(sizeof(SERIAL_BAUD_RATE))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            static_cast<SERIAL_BAUD_RATE*>(buffer)->BaudRate = framing_.baud;
            return Complete(irp, STATUS_SUCCESS, sizeof(SERIAL_BAUD_RATE));
        case IOCTL_SERIAL_SET_LINE_CONTROL: {
            if (!needIn(sizeof(SERIAL_LINE_CONTROL))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            SERIAL_LINE_CONTROL lc = *static_cast<SERIAL_LINE_CONTROL*>(buffer);
            bool valid = lc.WordLength >= 5 && lc.WordLength <= 8 && lc.Parity <= SPACE_PARITY &&
                         lc.StopBits <= STOP_BITS_2 && !(lc.WordLength == 5 && lc.StopBits == STOP_BITS_2) &&
                         !(lc.WordLength != 5 && lc.StopBits == STOP_BITS_1_5);
            if (!valid) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            framing_.wordLength = lc.WordLength;
            framing_.parity = lc.Parity;
            framing_.stopBits = lc.StopBits;
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IOCTL_SERIAL_GET_LINE_CONTROL: {
            if (!needOut(sizeof(SERIAL_LINE_CONTROL))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            auto* lc = static_cast<SERIAL_LINE_CONTROL*>(buffer);
            lc->StopBits = framing_.stopBits;
            lc->Parity = framing_.parity;
            lc->WordLength = framing_.wordLength;
            return Complete(irp, STATUS_SUCCESS, sizeof(SERIAL_LINE_CONTROL));
        }
        case IOCTL_SERIAL_SET_TIMEOUTS: {
            if (!needIn(sizeof(SERIAL_TIMEOUTS))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            SERIAL_TIMEOUTS t = *static_cast<SERIAL_TIMEOUTS*>(buffer);
            if (t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == MAXULONG &&
                t.ReadTotalTimeoutConstant == MAXULONG) {
                return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            }
            timeouts_ = t;
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IOCTL_SERIAL_GET_TIMEOUTS:
            if (!needOut(sizeof(SERIAL_TIMEOUTS))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            *static_cast<SERIAL_TIMEOUTS*>(buffer) = timeouts_;
            return Complete(irp, STATUS_SUCCESS, sizeof(SERIAL_TIMEOUTS));
        case IOCTL_SERIAL_SET_DTR:
        case IOCTL_SERIAL_CLR_DTR:
            // Under DTR handshake the port owns the line.
            if ((handFlow_.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
                return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            }
            SetModemControl(code == IOCTL_SERIAL_SET_DTR, rts_);
            return Complete(irp, STATUS_SUCCESS, 0);
        case IOCTL_SERIAL_SET_RTS:
        case IOCTL_SERIAL_CLR_RTS:
            if ((handFlow_.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE ||
                (handFlow_.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_MASK) {
                return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            }
            SetModemControl(dtr_, code == IOCTL_SERIAL_SET_RTS);
            return Complete(irp, STATUS_SUCCESS, 0);
        case IOCTL_SERIAL_GET_DTRRTS:
            if (!needOut(sizeof(ULONG))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            *static_cast<ULONG*>(buffer) = (dtr_ ? SERIAL_DTR_STATE : 0) | (rts_ ? SERIAL_RTS_STATE : 0);
            return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
        case IOCTL_SERIAL_SET_WAIT_MASK: {
            if (!needIn(sizeof(ULONG))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            ULONG mask = *static_cast<ULONG*>(buffer);
            if (mask & ~kValidEvents) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            // A new mask ends the pending wait with no events.
            if (pendingWait_ != nullptr) CompleteWait(0);
            waitMask_ = mask;
            eventHistory_ = 0;
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IOCTL_SERIAL_GET_WAIT_MASK:
            if (!needOut(sizeof(ULONG))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            *static_cast<ULONG*>(buffer) = waitMask_;
            return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
        case IOCTL_SERIAL_WAIT_ON_MASK: {
            if (!needOut(sizeof(ULONG))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            if (pendingWait_ != nullptr || waitMask_ == 0) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            if (eventHistory_ != 0) {
                ULONG events = eventHistory_;
                eventHistory_ = 0;
                *static_cast<ULONG*>(buffer) = events;
                return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
            }
            if (!HoldPending(irp)) {
                Complete(irp, STATUS_CANCELLED, 0);
                return STATUS_PENDING;
            }
            pendingWait_ = irp;
            return STATUS_PENDING;
        }
        case IOCTL_SERIAL_PURGE: {
            if (!needIn(sizeof(ULONG))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            ULONG mask = *static_cast<ULONG*>(buffer);
            if (mask == 0 || (mask & ~kValidPurge)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            if (mask & SERIAL_PURGE_RXCLEAR) receiveBuffer_.clear();
            std::vector<std::pair<PIRP, ULONG>> victims;
            if (mask & SERIAL_PURGE_RXABORT) {
                for (Transfer& t : reads_) {
                    CancelTimers(t);
                    if (Release(t.irp)) victims.emplace_back(t.irp, t.done);
                }
                reads_.clear();
            }
            if (mask & SERIAL_PURGE_TXABORT) {
                for (Transfer& t : writes_) {
                    CancelTimers(t);
                    if (Release(t.irp)) victims.emplace_back(t.irp, t.done);
                }
                writes_.clear();
            }
            for (auto& [victim, done] : victims) Complete(victim, STATUS_CANCELLED, done);
            if (mask & SERIAL_PURGE_TXABORT) CompleteFlushes();
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IOCTL_SERIAL_GET_HANDFLOW:
            if (!needOut(sizeof(SERIAL_HANDFLOW))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            *static_cast<SERIAL_HANDFLOW*>(buffer) = handFlow_;
            return Complete(irp, STATUS_SUCCESS, sizeof(SERIAL_HANDFLOW));
        case IOCTL_SERIAL_SET_HANDFLOW: {
            if (!needIn(sizeof(SERIAL_HANDFLOW))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            SERIAL_HANDFLOW flow = *static_cast<SERIAL_HANDFLOW*>(buffer);
            if (!ValidHandFlow(flow)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            handFlow_ = flow;
            SetModemControl(DtrFromHandFlow(flow, dtr_), RtsFromHandFlow(flow, rts_));
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IOCTL_SERIAL_GET_MODEMSTATUS: {
            if (!needOut(sizeof(ULONG))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            // Reading the register clears its delta bits.
            *static_cast<ULONG*>(buffer) = modemStatus_;
            modemStatus_ &= 0xF0;
            return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
        }
        case IOCTL_SERIAL_SET_FIFO_CONTROL:
            if (!needIn(sizeof(ULONG))) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            fifoControl_ = *static_cast<ULONG*>(buffer);
            return Complete(irp, STATUS_SUCCESS, 0);
        default:
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
}

NTSTATUS SerialPortModel::DispatchInternalControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* settings = static_cast<SERIAL_BASIC_SETTINGS*>(irp->AssociatedIrp.SystemBuffer);
    switch (code) {
        case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS: {
            if (refuseInternalSettings_) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            if (out < sizeof(SERIAL_BASIC_SETTINGS)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            settings->Timeouts = timeouts_;
            settings->HandFlow = handFlow_;
            settings->RxFifo = rxFifo_;
            settings->TxFifo = txFifo_;
            // Basic settings: no timeouts, DTR and RTS under plain control, a
            // one-byte FIFO trigger.
            std::memset(&timeouts_, 0, sizeof(timeouts_));
            handFlow_ = SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
            rxFifo_ = 1;
            txFifo_ = 1;
            SetModemControl(true, true);
            return Complete(irp, STATUS_SUCCESS, sizeof(SERIAL_BASIC_SETTINGS));
        }
        case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS: {
            if (refuseInternalSettings_) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            if (in < sizeof(SERIAL_BASIC_SETTINGS)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            SERIAL_BASIC_SETTINGS restored = *settings;
            timeouts_ = restored.Timeouts;
            handFlow_ = restored.HandFlow;
            rxFifo_ = restored.RxFifo;
            txFifo_ = restored.TxFifo;
            SetModemControl(DtrFromHandFlow(handFlow_, dtr_), RtsFromHandFlow(handFlow_, rts_));
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        default:
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
}

// ---------------------------------------------------------------- wait on mask

void SerialPortModel::RaiseEvents(ULONG events) {
    eventHistory_ |= events & waitMask_;
    if (pendingWait_ != nullptr && eventHistory_ != 0) {
        ULONG occurred = eventHistory_;
        eventHistory_ = 0;
        CompleteWait(occurred);
    }
}

void SerialPortModel::CompleteWait(ULONG events) {
    PIRP irp = pendingWait_;
    if (!Release(irp)) return;
    pendingWait_ = nullptr;
    *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = events;
    Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
}

// ---------------------------------------------------------------- reads

NTSTATUS SerialPortModel::DispatchRead(PIRP irp) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    // With no read ahead of it, a read that the receive buffer (or the
    // timeouts' return-at-once rules) can satisfy completes inside the call
    // with its own status, as the serial driver completes it; any other read
    // is marked pending and queued.
    if (reads_.empty() && length != 0) {
        const ULONG interval = timeouts_.ReadIntervalTimeout;
        const ULONG multiplier = timeouts_.ReadTotalTimeoutMultiplier;
        const ULONG constant = timeouts_.ReadTotalTimeoutConstant;
        bool atOnce = interval == MAXULONG && multiplier == 0 && constant == 0;
        bool firstByte = interval == MAXULONG && multiplier == MAXULONG && constant != 0 && constant != MAXULONG;
        bool enough = receiveBuffer_.size() >= length || ((atOnce || firstByte) && !receiveBuffer_.empty());
        if (enough || atOnce) {
            auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            ULONG done = 0;
            while (done < length && !receiveBuffer_.empty()) {
                buffer[done++] = receiveBuffer_.front();
                receiveBuffer_.pop_front();
            }
            return Complete(irp, STATUS_SUCCESS, done);
        }
    }
    return QueueTransfer(irp, length, reads_, &SerialPortModel::StartRead);
}

// Reads and writes wait in their queues, one in progress at a time; an empty
// one completes at once.
NTSTATUS SerialPortModel::QueueTransfer(PIRP irp, ULONG length, std::deque<Transfer>& queue,
                                        void (SerialPortModel::*start)()) {
    if (length == 0) return Complete(irp, STATUS_SUCCESS, 0);
    if (!HoldPending(irp)) {
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    Transfer transfer;
    transfer.irp = irp;
    transfer.length = length;
    queue.push_back(transfer);
    if (queue.size() == 1) (this->*start)();
    return STATUS_PENDING;
}

void SerialPortModel::StartRead() {
    Transfer& head = reads_.front();
    head.started = true;
    const ULONG interval = timeouts_.ReadIntervalTimeout;
    const ULONG multiplier = timeouts_.ReadTotalTimeoutMultiplier;
    const ULONG constant = timeouts_.ReadTotalTimeoutConstant;
    PIRP irp = head.irp;

    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    while (head.done < head.length && !receiveBuffer_.empty()) {
        buffer[head.done++] = receiveBuffer_.front();
        receiveBuffer_.pop_front();
    }
    if (head.done == head.length) return FinishRead(STATUS_SUCCESS);

    // Interval MAXULONG, totals 0: return at once with whatever there is.
    if (interval == MAXULONG && multiplier == 0 && constant == 0) return FinishRead(STATUS_SUCCESS);
    // Interval and multiplier MAXULONG: at once with a buffered byte, else
    // the first byte to arrive, else time out after the constant.
    bool firstByte = interval == MAXULONG && multiplier == MAXULONG && constant != 0 && constant != MAXULONG;
    if (firstByte && head.done > 0) return FinishRead(STATUS_SUCCESS);

    LONGLONG totalMs = firstByte ? constant
                                 : static_cast<LONGLONG>(multiplier) * head.length + static_cast<LONGLONG>(constant);
    if (totalMs != 0) {
        head.totalTimer = kernel_.ScheduleOnClockTick(Milliseconds(totalMs), [this, irp] { ReadTimedOut(irp); });
    }
    if (!firstByte && interval != 0 && head.done > 0) {
        head.intervalTimer = kernel_.ScheduleOnClockTick(Milliseconds(interval), [this, irp] { ReadTimedOut(irp); });
    }
}

void SerialPortModel::ServeReads() {
    if (reads_.empty() || !reads_.front().started) return;
    Transfer& head = reads_.front();
    auto* buffer = static_cast<UCHAR*>(head.irp->AssociatedIrp.SystemBuffer);
    ULONG before = head.done;
    while (head.done < head.length && !receiveBuffer_.empty()) {
        buffer[head.done++] = receiveBuffer_.front();
        receiveBuffer_.pop_front();
    }
    if (head.done == before) return;
    const ULONG interval = timeouts_.ReadIntervalTimeout;
    bool firstByte = interval == MAXULONG && timeouts_.ReadTotalTimeoutMultiplier == MAXULONG;
    if (head.done == head.length || firstByte) return FinishRead(STATUS_SUCCESS);
    if (interval != 0) {
        if (head.intervalTimer != 0) kernel_.CancelEvent(head.intervalTimer);
        PIRP irp = head.irp;
        head.intervalTimer = kernel_.ScheduleOnClockTick(Milliseconds(interval), [this, irp] { ReadTimedOut(irp); });
    }
}

void SerialPortModel::ReadTimedOut(PIRP irp) {
    if (reads_.empty() || reads_.front().irp != irp) return;
    FinishRead(STATUS_TIMEOUT);
}

void SerialPortModel::FinishRead(NTSTATUS status) {
    Transfer head = reads_.front();
    // A cancel already under way completes the read itself.
    if (!Release(head.irp)) return;
    CancelTimers(reads_.front());
    reads_.pop_front();
    Complete(head.irp, status, head.done);
    if (!reads_.empty() && !reads_.front().started) StartRead();
}

void SerialPortModel::Receive(const std::vector<UCHAR>& bytes) {
    for (UCHAR b : bytes) {
        if (receiveBuffer_.size() >= receiveBufferSize_) {
            overruns_++;
            RaiseEvents(SERIAL_EV_ERR);
            continue;
        }
        receiveBuffer_.push_back(b);
        RaiseEvents(SERIAL_EV_RXCHAR);
    }
    ServeReads();
}

void SerialPortModel::ScheduleBytes(const std::vector<UCHAR>& bytes, Ticks firstDelay, Ticks interval) {
    Ticks when = kernel_.Now() + firstDelay;
    for (UCHAR b : bytes) {
        scheduled_.push_back(kernel_.ScheduleAt(when, [this, b] { Receive(b); }));
        when += interval;
    }
}

// ---------------------------------------------------------------- writes

NTSTATUS SerialPortModel::DispatchWrite(PIRP irp) {
    return QueueTransfer(irp, IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length, writes_,
                         &SerialPortModel::StartWrite);
}

void SerialPortModel::StartWrite() {
    Transfer& head = writes_.front();
    head.started = true;
    PIRP irp = head.irp;
    LONGLONG totalMs = static_cast<LONGLONG>(timeouts_.WriteTotalTimeoutMultiplier) * head.length +
                       timeouts_.WriteTotalTimeoutConstant;
    if (totalMs != 0) {
        head.totalTimer = kernel_.ScheduleOnClockTick(Milliseconds(totalMs), [this, irp] {
            if (!writes_.empty() && writes_.front().irp == irp) {
                writes_.front().totalTimer = 0;
                FinishWrite(STATUS_TIMEOUT);
            }
        });
    }
    SendNextByte();
}

void SerialPortModel::SendNextByte() {
    Transfer& head = writes_.front();
    PIRP irp = head.irp;
    SerialFraming framing = framing_;
    head.byteTimer = kernel_.ScheduleAfter(ByteTime(framing), [this, irp, framing] {
        if (writes_.empty() || writes_.front().irp != irp) return;
        Transfer& t = writes_.front();
        t.byteTimer = 0;
        UCHAR byte = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer)[t.done++];
        sent_.push_back(byte);
        bool last = t.done == t.length;
        if (lineEnd_ != nullptr) lineEnd_->ByteFromPort(byte, framing);
        if (writes_.empty() || writes_.front().irp != irp) return;
        if (last) {
            FinishWrite(STATUS_SUCCESS);
        } else {
            SendNextByte();
        }
    });
}

void SerialPortModel::FinishWrite(NTSTATUS status) {
    Transfer head = writes_.front();
    if (!Release(head.irp)) return;
    CancelTimers(writes_.front());
    writes_.pop_front();
    Complete(head.irp, status, head.done);
    if (!writes_.empty()) {
        if (!writes_.front().started) StartWrite();
        return;
    }
    RaiseEvents(SERIAL_EV_TXEMPTY);
    CompleteFlushes();
}

void SerialPortModel::CompleteFlushes() {
    if (!writes_.empty()) return;
    std::vector<PIRP> done;
    for (PIRP flush : flushes_) {
        if (Release(flush)) done.push_back(flush);
    }
    flushes_.clear();
    for (PIRP flush : done) Complete(flush, STATUS_SUCCESS, 0);
}

}  // namespace sim
