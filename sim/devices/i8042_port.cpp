#include "i8042_port.h"

namespace sim {

namespace {

struct PortExtension {
    I8042PortModel* model;
};

constexpr UCHAR kAck = 0xFA;
constexpr UCHAR kResend = 0xFE;
constexpr UCHAR kReset = 0xFF;
constexpr UCHAR kResetDone = 0xAA;
constexpr UCHAR kGetDeviceId = 0xF2;
constexpr UCHAR kSetSampleRate = 0xF3;
constexpr UCHAR kEnable = 0xF4;
// The port driver's own wheel-enabling rates.
constexpr UCHAR kWheelRates[] = {200, 100, 80};
// Reset attempts before the port driver gives the mouse up.
constexpr int kRestartLimit = 5;
// A reset sequence that hears nothing for this long starts over.
constexpr Ticks kResetTimeout = Milliseconds(200);

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

I8042PortModel::I8042PortModel(I8042Options options) : kernel_(Kernel::Current()), options_(options) {
    driver_ = kernel_.CreateDriverObject(L"\\Driver\\i8042prt");
    for (auto& slot : driver_->MajorFunction) slot = Dispatch;
    IoCreateDevice(driver_, sizeof(PortExtension), nullptr, FILE_DEVICE_8042_PORT, 0, FALSE, &device_);
    static_cast<PortExtension*>(device_->DeviceExtension)->model = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

I8042PortModel::~I8042PortModel() {
    *alive_ = false;
    IoDeleteDevice(device_);
    kernel_.UnloadDriver(driver_);
}

NTSTATUS NTAPI I8042PortModel::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    I8042PortModel* self = static_cast<PortExtension*>(device->DeviceExtension)->model;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        return self->HandlePnp(irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return self->HandleInternal(irp);
    case IRP_MJ_CREATE:
        return Complete(irp, self->Connected() ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE);
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS I8042PortModel::HandlePnp(PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        SendHookRequest();
        StartReset();
        if (options_.pendStart && !resetDone_) {
            IoMarkIrpPending(irp);
            pendingStart_ = irp;
            return STATUS_PENDING;
        }
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    default: {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

NTSTATUS I8042PortModel::HandleInternal(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
    PVOID buffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_MOUSE_CONNECT:
        if (Connected()) return Complete(irp, STATUS_SHARING_VIOLATION);
        if (buffer == nullptr || length < sizeof(CONNECT_DATA)) return Complete(irp, STATUS_INVALID_PARAMETER);
        connect_ = *static_cast<PCONNECT_DATA>(buffer);
        return Complete(irp, STATUS_SUCCESS);
    case IOCTL_INTERNAL_MOUSE_DISCONNECT:
        return Complete(irp, STATUS_NOT_IMPLEMENTED);
    case IOCTL_INTERNAL_I8042_HOOK_MOUSE:
        // Its own request coming back down the stack.
        return Complete(irp, buffer == nullptr || length < sizeof(INTERNAL_I8042_HOOK_MOUSE)
                                 ? STATUS_INVALID_PARAMETER
                                 : STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

void I8042PortModel::SendHookRequest() {
    hookRequest_ = INTERNAL_I8042_HOOK_MOUSE{};
    hookRequest_.IsrWritePort = IsrWritePort;
    hookRequest_.QueueMousePacket = QueueMousePacket;
    hookRequest_.CallContext = this;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device_);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_I8042_HOOK_MOUSE, top, &hookRequest_,
                                             sizeof(hookRequest_), nullptr, 0, TRUE, &event, &iosb);
    NTSTATUS status = irp == nullptr ? STATUS_INSUFFICIENT_RESOURCES : IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    ObDereferenceObject(top);
    // The hook routine and its context, and nothing else, come back.
    if (NT_SUCCESS(status)) {
        hookRoutine_ = hookRequest_.IsrRoutine;
        hookContext_ = hookRequest_.Context;
    }
}

VOID NTAPI I8042PortModel::IsrWritePort(PVOID context, UCHAR value) {
    I8042PortModel* self = static_cast<I8042PortModel*>(context);
    if (KeGetCurrentIrql() != kMouseIrql) {
        self->kernel_.Fail(rule::kIrqlNotLess, "IsrWritePort called outside the mouse interrupt service routine");
    }
    self->Write(value, true);
}

VOID NTAPI I8042PortModel::QueueMousePacket(PVOID context) {}

void I8042PortModel::Record(PortEvent event) {
    event.time = kernel_.Now();
    if (inHook_) {
        // What the hook writes in answer to a byte is shown after that byte.
        writtenByHook_.push_back(event);
        return;
    }
    events_.push_back(event);
    if (observer_) observer_(events_.back());
}

void I8042PortModel::Write(UCHAR byte, bool byFilter) {
    lastCommand_ = byte;
    Record({PortEvent::Kind::Write, byte, byFilter, std::nullopt});
    if (state_ == MouseResetting) ArmWatchdog();
    kernel_.ScheduleAfter(kByteTime, [this, alive = alive_, byte] {
        if (*alive && mouse_ != nullptr) mouse_->Receive(byte);
    });
}

void I8042PortModel::StartReset() {
    state_ = MouseResetting;
    substate_ = ExpectingReset;
    resetDone_ = false;
    deviceId_ = -1;
    restarts_ = 0;
    ++resets_;
    Write(kReset, false);
}

void I8042PortModel::RestartReset() {
    if (++restarts_ > kRestartLimit) {
        // No mouse that answers: give up until the next start.
        state_ = MouseIdle;
        FinishReset();
        return;
    }
    substate_ = ExpectingReset;
    Write(kReset, false);
}

void I8042PortModel::ArmWatchdog() {
    uint64_t seen = bytesSeen_;
    int resets = resets_;
    kernel_.ScheduleAfter(kResetTimeout, [this, alive = alive_, seen, resets] {
        if (*alive && state_ == MouseResetting && bytesSeen_ == seen && resets_ == resets) RestartReset();
    });
}

void I8042PortModel::FinishReset() {
    resetDone_ = true;
    if (pendingStart_ != nullptr) {
        PIRP irp = pendingStart_;
        pendingStart_ = nullptr;
        kernel_.QueueDpc([irp] { Complete(irp, STATUS_SUCCESS); });
    }
}

void I8042PortModel::Interrupt(UCHAR byte) {
    kernel_.RequestInterrupt(kMouseIrql, [this, alive = alive_, byte] {
        if (*alive) ServiceInterrupt(byte);
    });
}

void I8042PortModel::ServiceInterrupt(UCHAR byte) {
    ++bytesSeen_;
    BOOLEAN proceed = TRUE;
    UCHAR received = byte;
    if (hookRoutine_ != nullptr) {
        MOUSE_STATE state = state_;
        MOUSE_RESET_SUBSTATE substate = substate_;
        inHook_ = true;
        hookRoutine_(hookContext_, &input_, &output_, 0x21, &byte, &proceed, &state, &substate);
        inHook_ = false;
        // A sub-state written by the hook is the port driver's own.
        substate_ = substate;
    }
    Record({PortEvent::Kind::Read, received, false, proceed ? std::optional<UCHAR>(byte) : std::nullopt});
    std::vector<PortEvent> written;
    written.swap(writtenByHook_);
    for (const PortEvent& event : written) Record(event);
    if (proceed) Process(byte);
}

void I8042PortModel::Process(UCHAR byte) {
    switch (state_) {
    case MouseResetting:
        ProcessReset(byte);
        return;
    case MouseIdle:
        // A first byte always has bit 3 set; anything else is out of step.
        if ((byte & 0x08) == 0) return;
        packet_[0] = byte;
        state_ = XMovement;
        return;
    case XMovement:
        // 0xAA 0x00 is a mouse announcing that it reset itself (plugged in
        // again): reset it properly.
        if (packet_[0] == 0xAA && byte == 0x00) {
            StartReset();
            return;
        }
        packet_[1] = byte;
        state_ = YMovement;
        return;
    case YMovement:
        packet_[2] = byte;
        if (packetSize_ == 4) {
            state_ = ZMovement;
            return;
        }
        DeliverPacket();
        return;
    case ZMovement:
        packet_[3] = byte;
        DeliverPacket();
        return;
    default:
        return;
    }
}

void I8042PortModel::ProcessReset(UCHAR byte) {
    if (byte == kResend && substate_ != ExpectingResetId && substate_ != ExpectingGetDeviceIdValue &&
        substate_ != ExpectingGetDeviceId2Value && substate_ != EnableWheel) {
        Write(lastCommand_, false);
        return;
    }
    switch (substate_) {
    case ExpectingReset:
        if (byte == kAck) {
            substate_ = ExpectingResetId;
            awaitingResetId_ = false;
        }
        return;
    case ExpectingResetId:
        if (!awaitingResetId_) {
            if (byte == kResetDone) {
                awaitingResetId_ = true;
            } else {
                RestartReset();
            }
            return;
        }
        Write(kGetDeviceId, false);
        substate_ = ExpectingGetDeviceIdACK;
        return;
    case ExpectingGetDeviceIdACK:
        if (byte == kAck) {
            substate_ = ExpectingGetDeviceIdValue;
        } else {
            RestartReset();
        }
        return;
    case ExpectingGetDeviceIdValue:
    case EnableWheel:
        BeginWheelSequence();
        return;
    case ExpectingLoopSetSamplingRateACK:
        if (byte != kAck) return RestartReset();
        Write(kWheelRates[rateIndex_], false);
        substate_ = ExpectingLoopSetSamplingRateValueACK;
        return;
    case ExpectingLoopSetSamplingRateValueACK:
        if (byte != kAck) return RestartReset();
        if (++rateIndex_ < static_cast<int>(sizeof(kWheelRates))) {
            Write(kSetSampleRate, false);
            substate_ = ExpectingLoopSetSamplingRateACK;
        } else {
            Write(kGetDeviceId, false);
            substate_ = ExpectingGetDeviceId2ACK;
        }
        return;
    case ExpectingGetDeviceId2ACK:
        if (byte != kAck) return RestartReset();
        substate_ = ExpectingGetDeviceId2Value;
        return;
    case ExpectingGetDeviceId2Value:
        deviceId_ = byte;
        packetSize_ = (byte == 3 || byte == 4) ? 4 : 3;
        Record({PortEvent::Kind::DeviceId, byte, false, std::nullopt});
        Write(kEnable, false);
        substate_ = ExpectingEnableACK;
        return;
    case ExpectingEnableACK:
        if (byte != kAck) return RestartReset();
        state_ = MouseIdle;
        buttons_ = 0;
        FinishReset();
        return;
    default:
        RestartReset();
        return;
    }
}

void I8042PortModel::BeginWheelSequence() {
    rateIndex_ = 0;
    Write(kSetSampleRate, false);
    substate_ = ExpectingLoopSetSamplingRateACK;
}

void I8042PortModel::DeliverPacket() {
    state_ = MouseIdle;
    UCHAR first = packet_[0];
    LONG x = packet_[1] - ((first & 0x10) ? 256 : 0);
    LONG y = packet_[2] - ((first & 0x20) ? 256 : 0);
    ULONG buttons = first & 0x07;
    LONG z = 0;
    if (packetSize_ == 4) {
        UCHAR fourth = packet_[3];
        if (deviceId_ == 4) {
            if (fourth & 0x10) buttons |= 0x08;
            if (fourth & 0x20) buttons |= 0x10;
            z = (fourth & 0x08) ? static_cast<LONG>(fourth & 0x0F) - 16 : (fourth & 0x0F);
        } else {
            z = static_cast<signed char>(fourth);
        }
    }
    MOUSE_INPUT_DATA record{};
    record.Flags = MOUSE_MOVE_RELATIVE;
    record.LastX = x;
    record.LastY = -y;  // PS/2 counts up, the screen down
    ULONG changed = buttons ^ buttons_;
    for (int i = 0; i < 5; ++i) {
        if (changed & (1u << i)) record.ButtonFlags |= static_cast<USHORT>(1u << (2 * i + ((buttons >> i) & 1 ? 0 : 1)));
    }
    buttons_ = buttons;
    if (z != 0) {
        record.ButtonFlags |= MOUSE_WHEEL;
        record.ButtonData = static_cast<USHORT>(-z * 120);
    }
    CONNECT_DATA connect = connect_;
    if (connect.ClassService == nullptr) return;
    kernel_.QueueDpc([connect, record]() mutable {
        ULONG consumed = 0;
        reinterpret_cast<PMOUSE_CLASS_SERVICE_CALLBACK>(connect.ClassService)(connect.ClassDeviceObject, &record,
                                                                              &record + 1, &consumed);
    });
}

}  // namespace sim
