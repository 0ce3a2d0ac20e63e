#include "serial_port.h"

namespace sim {

namespace {

struct PortExtension {
    SerialPortModel* model;
};

}  // namespace

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
    IoDeleteDevice(device_);
    kernel_.UnloadDriver(driver_);
}

SerialPortModel* SerialPortModel::From(PDEVICE_OBJECT device) {
    return static_cast<PortExtension*>(device->DeviceExtension)->model;
}

void SerialPortModel::Record(PIRP irp, NTSTATUS status) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    SerialRequestRecord record;
    record.time = kernel_.Now();
    record.majorFunction = stack->MajorFunction;
    record.status = status;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        record.internal = stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
        record.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        auto* in = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        if (in != nullptr) record.input.assign(in, in + stack->Parameters.DeviceIoControl.InputBufferLength);
    }
    requests_.push_back(std::move(record));
}

NTSTATUS SerialPortModel::Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    return status;
}

NTSTATUS NTAPI SerialPortModel::Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SerialPortModel* port = From(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_READ:
            return port->DispatchRead(Irp);
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_FLUSH_BUFFERS:
            port->Record(Irp, STATUS_SUCCESS);
            return port->Complete(Irp, STATUS_SUCCESS, 0);
        case IRP_MJ_CLEANUP:
            return port->DispatchCleanup(Irp);
        default:
            port->Record(Irp, STATUS_INVALID_DEVICE_REQUEST);
            return port->Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS SerialPortModel::DispatchRead(PIRP irp) {
    readsServed_++;
    Record(irp, STATUS_PENDING);
    if (failReads_ > 0) {
        failReads_--;
        requests_.back().status = failStatus_;
        return Complete(irp, failStatus_, 0);
    }
    if (pendingRead_ != nullptr) {
        // One read at a time is all a mouse driver ever sends.
        requests_.back().status = STATUS_INVALID_PARAMETER;
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (length == 0) return Complete(irp, STATUS_SUCCESS, 0);
    // With every read timeout 0 a read waits until all its bytes came.
    if (receiveBuffer_.size() >= length) {
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        for (ULONG i = 0; i < length; ++i) {
            buffer[i] = receiveBuffer_.front();
            receiveBuffer_.pop_front();
        }
        requests_.back().status = STATUS_SUCCESS;
        return Complete(irp, STATUS_SUCCESS, length);
    }
    IoMarkIrpPending(irp);
    pendingRead_ = irp;
    pendingReadFilled_ = 0;
    IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        pendingRead_ = nullptr;
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    ServePendingRead();
    return STATUS_PENDING;
}

void SerialPortModel::ServePendingRead() {
    if (pendingRead_ == nullptr) return;
    PIRP irp = pendingRead_;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    while (pendingReadFilled_ < length && !receiveBuffer_.empty()) {
        buffer[pendingReadFilled_++] = receiveBuffer_.front();
        receiveBuffer_.pop_front();
    }
    if (pendingReadFilled_ < length) return;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;  // being cancelled
    pendingRead_ = nullptr;
    Complete(irp, STATUS_SUCCESS, pendingReadFilled_);
}

VOID NTAPI SerialPortModel::CancelRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SerialPortModel* port = From(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    if (port->pendingRead_ == Irp) port->pendingRead_ = nullptr;
    port->Complete(Irp, STATUS_CANCELLED, port->pendingReadFilled_);
}

NTSTATUS SerialPortModel::DispatchCleanup(PIRP irp) {
    Record(irp, STATUS_SUCCESS);
    if (pendingRead_ != nullptr) {
        PIRP read = pendingRead_;
        if (IoSetCancelRoutine(read, nullptr) != nullptr) {
            pendingRead_ = nullptr;
            Complete(read, STATUS_CANCELLED, pendingReadFilled_);
        }
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

void SerialPortModel::Receive(const std::vector<UCHAR>& bytes) {
    for (UCHAR b : bytes) receiveBuffer_.push_back(b);
    ServePendingRead();
}

void SerialPortModel::ScheduleBytes(const std::vector<UCHAR>& bytes, Ticks firstDelay, Ticks interval) {
    Ticks when = kernel_.Now() + firstDelay;
    for (UCHAR b : bytes) {
        scheduled_.push_back(kernel_.ScheduleAt(when, [this, b] { Receive(b); }));
        when += interval;
    }
}

void SerialPortModel::FailReads(int count, NTSTATUS status) {
    failReads_ = count;
    failStatus_ = status;
}

}  // namespace sim
