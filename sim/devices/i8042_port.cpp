#include "i8042_port.h"

#include <string>

namespace sim {

namespace {

struct PortExtension {
    I8042PortModel* model;
};

constexpr UCHAR kAck = 0xFA;
constexpr UCHAR kResend = 0xFE;
constexpr UCHAR kReset = 0xFF;
constexpr UCHAR kSelfTestPassed = 0xAA;
constexpr UCHAR kGetDeviceId = 0xF2;
constexpr UCHAR kSetSampleRate = 0xF3;
constexpr UCHAR kEnable = 0xF4;
constexpr UCHAR kSetResolution = 0xE8;
constexpr UCHAR kSetScaling1to1 = 0xE6;
constexpr UCHAR kStatusRequest = 0xE9;

// Rate lists of the port driver's sample-rate loop, zero-terminated. The
// Plug and Play ID knock is one no modeled mouse answers with an ID of its
// own; the wheel and five-button lists switch mice into those modes.
constexpr UCHAR kPnpIdRates[] = {20, 40, 80, 0};
constexpr UCHAR kWheelRates[] = {200, 100, 80, 0};
constexpr UCHAR kFiveButtonRates[] = {200, 200, 80, 0};

// RESENDs in a row the port driver answers by sending its command again
// before it starts the reset over.
constexpr int kResendLimit = 3;

// Largest movements a packet can carry; an overflowed axis reports these.
constexpr LONG kMaximumPositiveDelta = 0xFF;
constexpr LONG kMaximumNegativeDelta = -0x100;

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// One axis of a packet: nine-bit two's complement, or the largest movement
// in the sign's direction when the mouse reported an overflow.
LONG Axis(UCHAR value, bool negative, bool overflow) {
    if (overflow) return negative ? kMaximumNegativeDelta : kMaximumPositiveDelta;
    return static_cast<LONG>(value) - (negative ? 256 : 0);
}

}  // namespace

std::string SubStateName(MOUSE_RESET_SUBSTATE substate) {
    static const char* const kNames[] = {"ExpectingReset",
                                         "ExpectingResetId",
                                         "ExpectingGetDeviceIdACK",
                                         "ExpectingGetDeviceIdValue",
                                         "ExpectingSetResolutionDefaultACK",
                                         "ExpectingSetResolutionDefaultValueACK",
                                         "ExpectingSetResolutionACK",
                                         "ExpectingSetResolutionValueACK",
                                         "ExpectingSetScaling1to1ACK",
                                         "ExpectingSetScaling1to1ACK2",
                                         "ExpectingSetScaling1to1ACK3",
                                         "ExpectingReadMouseStatusACK",
                                         "ExpectingReadMouseStatusByte1",
                                         "ExpectingReadMouseStatusByte2",
                                         "ExpectingReadMouseStatusByte3",
                                         "StartPnPIdDetection",
                                         "ExpectingLoopSetSamplingRateACK",
                                         "ExpectingLoopSetSamplingRateValueACK",
                                         "ExpectingPnpIdByte1",
                                         "ExpectingPnpIdByte2",
                                         "ExpectingPnpIdByte3",
                                         "ExpectingPnpIdByte4",
                                         "ExpectingPnpIdByte5",
                                         "ExpectingPnpIdByte6",
                                         "ExpectingPnpIdByte7",
                                         "EnableWheel",
                                         "Enable5Buttons",
                                         "ExpectingGetDeviceId2ACK",
                                         "ExpectingGetDeviceId2Value",
                                         "ExpectingSetSamplingRateACK",
                                         "ExpectingSetSamplingRateValueACK",
                                         "ExpectingEnableACK",
                                         "ExpectingFinalResolutionACK",
                                         "ExpectingFinalResolutionValueACK",
                                         "ExpectingGetDeviceIdDetectACK",
                                         "ExpectingGetDeviceIdDetectValue"};
    int value = static_cast<int>(substate);
    if (value >= 0 && value < static_cast<int>(sizeof(kNames) / sizeof(kNames[0]))) return kNames[value];
    return "substate " + std::to_string(value);
}

std::string MouseStateName(MOUSE_STATE state) {
    static const char* const kNames[] = {"MouseIdle", "XMovement", "YMovement",
                                         "ZMovement", "MouseExpectingACK", "MouseResetting"};
    int value = static_cast<int>(state);
    if (value >= 0 && value < static_cast<int>(sizeof(kNames) / sizeof(kNames[0]))) return kNames[value];
    return "state " + std::to_string(value);
}

I8042PortModel::I8042PortModel(I8042Options options) : kernel_(Kernel::Current()), options_(options) {
    driver_ = kernel_.CreateDriverObject(L"\\Driver\\i8042prt");
    for (auto& slot : driver_->MajorFunction) slot = Dispatch;
    IoCreateDevice(driver_, sizeof(PortExtension), nullptr, FILE_DEVICE_8042_PORT, 0, FALSE, &device_);
    static_cast<PortExtension*>(device_->DeviceExtension)->model = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

I8042PortModel::~I8042PortModel() {
    // Disconnect the interrupt: routines that come later do nothing.
    connection_->connected = false;
    IoDeleteDevice(device_);
    kernel_.UnloadDriver(driver_);
}

// ---------------------------------------------------------------- requests

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
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
            // Back from a sleep the mouse has lost its settings: reset it.
            DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
            bool resume = state == PowerDeviceD0 && self->powerState_ != PowerDeviceD0;
            self->powerState_ = state;
            if (resume) self->StartReset();
        }
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
    if (KeGetCurrentIrql() != kMouseIrql || !self->inHook_) {
        self->kernel_.Fail(rule::kIrqlNotLess, "IsrWritePort called outside the mouse interrupt service routine");
    }
    self->Write(value, true);
}

VOID NTAPI I8042PortModel::QueueMousePacket(PVOID context) {}

// ---------------------------------------------------------------- the interrupt

// Routines that touch the interrupt service routine's state run on the mouse
// interrupt's context at its IRQL, one after another, as KeSynchronizeExecution
// serialises a routine with the interrupt; none once it is disconnected.
void I8042PortModel::RunSynchronized(const std::shared_ptr<InterruptConnection>& connection,
                                     const std::function<void()>& fn) {
    Kernel::Current().RequestInterrupt(kMouseIrql, [connection, fn] {
        if (connection->connected) fn();
    });
}

void I8042PortModel::Synchronize(const std::function<void()>& fn) {
    RunSynchronized(std::shared_ptr<InterruptConnection>(connection_), fn);
}

void I8042PortModel::Interrupt(UCHAR byte) {
    Synchronize([this, byte] { ServiceInterrupt(byte); });
}

void I8042PortModel::ServiceInterrupt(UCHAR byte) {
    const UCHAR received = byte;
    const MOUSE_STATE arrivedIn = state_;
    const MOUSE_RESET_SUBSTATE arrivedAt = substate_;
    if (state_ == MouseResetting) {
        ++activity_;
        ArmWatchdog();
    }
    // The hook sees the byte first. The port driver decides nothing for it:
    // a hook that leaves ContinueProcessing alone has the byte dropped.
    BOOLEAN proceed = FALSE;
    if (hookRoutine_ != nullptr) {
        MOUSE_STATE state = state_;
        MOUSE_RESET_SUBSTATE substate = substate_;
        inHook_ = true;
        BOOLEAN handled = hookRoutine_(hookContext_, &input_, &output_, 0x21, &byte, &proceed, &state, &substate);
        inHook_ = false;
        // A substate written by the hook is the port driver's own.
        substate_ = substate;
        // Processing stops here; the hook's result is the routine's.
        if (!proceed && !handled) ++unclaimed_;
    } else {
        proceed = TRUE;
    }
    PortEvent read{PortEvent::Kind::Read, received, false, proceed ? std::optional<UCHAR>(byte) : std::nullopt};
    read.state = arrivedIn;
    read.substate = arrivedAt;
    Record(read);
    std::vector<PortEvent> written;
    written.swap(writtenByHook_);
    for (PortEvent& event : written) {
        event.state = state_;
        event.substate = substate_;
        Record(event);
    }
    if (proceed) Process(byte);
}

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
    PortEvent event{PortEvent::Kind::Write, byte, byFilter, std::nullopt};
    event.state = state_;
    event.substate = substate_;
    Record(event);
    if (state_ == MouseResetting) {
        ++activity_;
        ArmWatchdog();
    }
    // Bytes reach the mouse in the order written, whichever processor runs
    // each arrival.
    toMouse_.push_back(byte);
    kernel_.ScheduleAfter(kByteTime, [this, connection = connection_] {
        if (!connection->connected || toMouse_.empty()) return;
        UCHAR next = toMouse_.front();
        toMouse_.pop_front();
        if (mouse_ != nullptr) mouse_->Receive(next);
    });
}

void I8042PortModel::Command(UCHAR byte, MOUSE_RESET_SUBSTATE next) {
    substate_ = next;
    resendCount_ = 0;
    Write(byte, false);
}

void I8042PortModel::Process(UCHAR byte) {
    if (state_ == MouseResetting) {
        ProcessReset(byte);
    } else {
        ProcessPacketByte(byte);
    }
}

// ---------------------------------------------------------------- reset sequence

void I8042PortModel::StartReset() {
    Synchronize([this] {
        ++resets_;
        restarts_ = 0;
        BeginReset();
    });
}

void I8042PortModel::BeginReset() {
    state_ = MouseResetting;
    resetDone_ = false;
    fiveButtonsTried_ = false;
    Command(kReset, ExpectingReset);
}

void I8042PortModel::RestartReset() {
    if (++restarts_ > kRestartLimit) {
        GiveUp();
        return;
    }
    ++totalRestarts_;
    BeginReset();
}

void I8042PortModel::GiveUp() {
    // No mouse that finishes a reset: nothing is reported until the next one.
    state_ = MouseIdle;
    deviceId_ = -1;
    packetSize_ = 3;
    FinishReset();
}

// Each write and each byte of a reset sequence re-arms the watchdog; it
// restarts the sequence when it fires with nothing heard or sent since.
void I8042PortModel::ArmWatchdog() {
    uint64_t activity = activity_;
    kernel_.ScheduleOnClockTick(kResetTimeout, [this, connection = connection_, activity] {
        RunSynchronized(connection, [this, activity] { CheckStall(activity); });
    });
}

void I8042PortModel::CheckStall(uint64_t activity) {
    if (state_ == MouseResetting && activity_ == activity) RestartReset();
}

void I8042PortModel::SendRates(const UCHAR* rates, MOUSE_RESET_SUBSTATE after) {
    rates_ = rates;
    rateIndex_ = 0;
    afterRates_ = after;
    Command(kSetSampleRate, ExpectingLoopSetSamplingRateACK);
}

// Steps that begin by sending rather than by a byte from the mouse.
void I8042PortModel::EnterStep(MOUSE_RESET_SUBSTATE step) {
    switch (step) {
    case StartPnPIdDetection:
        SendRates(kPnpIdRates, EnableWheel);
        return;
    case EnableWheel:
        SendRates(kWheelRates, ExpectingGetDeviceId2ACK);
        return;
    case Enable5Buttons:
        fiveButtonsTried_ = true;
        SendRates(kFiveButtonRates, ExpectingGetDeviceId2ACK);
        return;
    case ExpectingGetDeviceId2ACK:
        Command(kGetDeviceId, ExpectingGetDeviceId2ACK);
        return;
    default:
        RestartReset();
        return;
    }
}

void I8042PortModel::SettleDeviceId(UCHAR id) {
    deviceId_ = id;
    packetSize_ = (id == 3 || id == 4) ? 4 : 3;
    PortEvent event{PortEvent::Kind::DeviceId, id, false, std::nullopt};
    event.state = state_;
    event.substate = substate_;
    Record(event);
    Command(kSetSampleRate, ExpectingSetSamplingRateACK);
}

void I8042PortModel::FinishReset() {
    resetDone_ = true;
    buttons_ = 0;
    if (pendingStart_ != nullptr) {
        PIRP irp = pendingStart_;
        pendingStart_ = nullptr;
        kernel_.QueueDpc([irp] { Complete(irp, STATUS_SUCCESS); });
    }
}

void I8042PortModel::ProcessReset(UCHAR byte) {
    // The steps that wait for the mouse to acknowledge a command: a RESEND
    // has the command sent again, a few times; any other answer starts the
    // reset over.
    switch (substate_) {
    case ExpectingReset:
    case ExpectingGetDeviceIdACK:
    case ExpectingSetResolutionDefaultACK:
    case ExpectingSetResolutionDefaultValueACK:
    case ExpectingSetResolutionACK:
    case ExpectingSetResolutionValueACK:
    case ExpectingSetScaling1to1ACK:
    case ExpectingSetScaling1to1ACK2:
    case ExpectingSetScaling1to1ACK3:
    case ExpectingReadMouseStatusACK:
    case ExpectingLoopSetSamplingRateACK:
    case ExpectingLoopSetSamplingRateValueACK:
    case ExpectingGetDeviceId2ACK:
    case ExpectingSetSamplingRateACK:
    case ExpectingSetSamplingRateValueACK:
    case ExpectingEnableACK:
    case ExpectingFinalResolutionACK:
    case ExpectingFinalResolutionValueACK:
        if (byte == kResend) {
            if (++resendCount_ > kResendLimit) return RestartReset();
            Write(lastCommand_, false);
            return;
        }
        if (substate_ == ExpectingReset && byte != kAck) {
            // After its ACK a reset mouse reports its self-test and ID.
            // Anything else is what was on its way before the reset (the
            // rest of a packet): the watchdog covers a mouse that never
            // answers.
            if (byte == kSelfTestPassed) substate_ = ExpectingResetId;
            return;
        }
        if (byte != kAck) return RestartReset();
        break;
    default:
        break;
    }

    switch (substate_) {
    case ExpectingReset:
        return;  // the ACK of the reset; the self-test result follows
    case ExpectingResetId:
        if (byte != 0x00) return RestartReset();
        // A new sequence, whoever reset the mouse.
        fiveButtonsTried_ = false;
        Command(kGetDeviceId, ExpectingGetDeviceIdACK);
        return;
    case ExpectingGetDeviceIdACK:
        substate_ = ExpectingGetDeviceIdValue;
        return;
    case ExpectingGetDeviceIdValue:
        Command(kSetResolution, ExpectingSetResolutionDefaultACK);
        return;
    case ExpectingSetResolutionDefaultACK:
        Command(0x00, ExpectingSetResolutionDefaultValueACK);
        return;
    case ExpectingSetResolutionDefaultValueACK:
        Command(kSetResolution, ExpectingSetResolutionACK);
        return;
    case ExpectingSetResolutionACK:
        Command(kResolution, ExpectingSetResolutionValueACK);
        return;
    case ExpectingSetResolutionValueACK:
        Command(kSetScaling1to1, ExpectingSetScaling1to1ACK);
        return;
    case ExpectingSetScaling1to1ACK:
        Command(kSetScaling1to1, ExpectingSetScaling1to1ACK2);
        return;
    case ExpectingSetScaling1to1ACK2:
        Command(kSetScaling1to1, ExpectingSetScaling1to1ACK3);
        return;
    case ExpectingSetScaling1to1ACK3:
        Command(kStatusRequest, ExpectingReadMouseStatusACK);
        return;
    case ExpectingReadMouseStatusACK:
        substate_ = ExpectingReadMouseStatusByte1;
        return;
    case ExpectingReadMouseStatusByte1:
        substate_ = ExpectingReadMouseStatusByte2;
        return;
    case ExpectingReadMouseStatusByte2:
        substate_ = ExpectingReadMouseStatusByte3;
        return;
    case ExpectingReadMouseStatusByte3:
        EnterStep(StartPnPIdDetection);
        return;
    case ExpectingLoopSetSamplingRateACK:
        Command(rates_[rateIndex_], ExpectingLoopSetSamplingRateValueACK);
        return;
    case ExpectingLoopSetSamplingRateValueACK:
        if (rates_[++rateIndex_] != 0) {
            Command(kSetSampleRate, ExpectingLoopSetSamplingRateACK);
        } else {
            EnterStep(afterRates_);
        }
        return;
    case StartPnPIdDetection:
    case EnableWheel:
    case Enable5Buttons:
        // A byte handed over at a step that begins by sending (a hook set
        // it): the step begins now.
        EnterStep(substate_);
        return;
    case ExpectingGetDeviceId2ACK:
        substate_ = ExpectingGetDeviceId2Value;
        return;
    case ExpectingGetDeviceId2Value:
        // A wheel mouse may have five buttons too: try that once.
        if (byte == 3 && !fiveButtonsTried_) {
            EnterStep(Enable5Buttons);
        } else {
            SettleDeviceId(byte);
        }
        return;
    case ExpectingSetSamplingRateACK:
        Command(kSampleRate, ExpectingSetSamplingRateValueACK);
        return;
    case ExpectingSetSamplingRateValueACK:
        Command(kEnable, ExpectingEnableACK);
        return;
    case ExpectingEnableACK:
        Command(kSetResolution, ExpectingFinalResolutionACK);
        return;
    case ExpectingFinalResolutionACK:
        Command(kResolution, ExpectingFinalResolutionValueACK);
        return;
    case ExpectingFinalResolutionValueACK:
        state_ = MouseIdle;
        FinishReset();
        return;
    default:
        // A hook's own steps are the hook's business.
        if (substate_ >= CustomHookStateMinimum && substate_ <= CustomHookStateMaximum) return;
        RestartReset();
        return;
    }
}

// ---------------------------------------------------------------- packets

void I8042PortModel::ProcessPacketByte(UCHAR byte) {
    switch (state_) {
    case MouseIdle:
        // A first byte always has bit 3 set; anything else is out of step.
        if ((byte & 0x08) == 0) return;
        packet_[0] = byte;
        state_ = XMovement;
        return;
    case XMovement:
        // 0xAA 0x00 is a mouse announcing that it reset itself (plugged in
        // again): reset it properly.
        if (packet_[0] == kSelfTestPassed && byte == 0x00) {
            ++resets_;
            restarts_ = 0;
            BeginReset();
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

void I8042PortModel::DeliverPacket() {
    state_ = MouseIdle;
    UCHAR first = packet_[0];
    LONG x = Axis(packet_[1], first & 0x10, first & 0x40);
    LONG y = Axis(packet_[2], first & 0x20, first & 0x80);
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
