// The dispatcher's routines: IRQL, interlocked operations, spin locks,
// events, timers, DPCs and waits, on the virtual clock.
#include <set>
#include <sstream>

#include "kernel_internal.h"

using sim::Kernel;
using sim::SimThread;

namespace {

sim::Scheduler& Sched() {
    return Kernel::Current().scheduler();
}

std::string Describe(const void* object, const char* kind) {
    std::ostringstream out;
    out << kind << " " << object;
    return out.str();
}

// A timer's pending expiry, by timer address.
std::map<const KTIMER*, uint64_t>& TimerEvents() {
    static std::map<const KTIMER*, uint64_t> events;
    return events;
}

// DPCs queued and not yet run, by address.
std::set<const KDPC*>& QueuedDpcs() {
    static std::set<const KDPC*> dpcs;
    return dpcs;
}

template <typename T, typename Container>
const T* FirstIn(const Container& objects, const void* begin, size_t bytes) {
    auto* first = static_cast<const unsigned char*>(begin);
    for (const auto& entry : objects) {
        const T* object = entry;
        auto* p = reinterpret_cast<const unsigned char*>(object);
        if (p + sizeof(T) > first && p < first + bytes) return object;
    }
    return nullptr;
}

}  // namespace

namespace sim {

void ResetDispatcherState() {
    TimerEvents().clear();
    QueuedDpcs().clear();
}

const KTIMER* SetTimerIn(const void* begin, size_t bytes) {
    std::vector<const KTIMER*> timers = SetTimers();
    return FirstIn<KTIMER>(timers, begin, bytes);
}

const KDPC* QueuedDpcIn(const void* begin, size_t bytes) {
    return FirstIn<KDPC>(QueuedDpcs(), begin, bytes);
}

std::vector<const KTIMER*> SetTimers() {
    std::vector<const KTIMER*> timers;
    for (auto& [timer, handle] : TimerEvents()) timers.push_back(timer);
    return timers;
}

}  // namespace sim

extern "C" {

// ---------------------------------------------------------------- IRQL

KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return Sched().Current()->irql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    sim::Point("KfRaiseIrql");
    SimThread* self = Sched().Current();
    KIRQL old = self->irql;
    if (NewIrql < old) {
        Kernel::Current().Fail(sim::rule::kIrqlNotLess,
                               "KfRaiseIrql to " + std::to_string(NewIrql) + " from higher IRQL " + std::to_string(old));
    }
    self->irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
    SimThread* self = Sched().Current();
    if (NewIrql > self->irql) {
        Kernel::Current().Fail(sim::rule::kIrqlNotLess,
                               "KfLowerIrql to " + std::to_string(NewIrql) + " from lower IRQL " + std::to_string(self->irql));
    }
    self->irql = NewIrql;
    // The processor's DPCs run as soon as its IRQL drops below
    // DISPATCH_LEVEL, as a software interrupt does.
    Sched().DeliverPendingDpcs();
    sim::Point("KfLowerIrql");
}

// ---------------------------------------------------------------- interlocked operations
// Only one simulated thread runs at a time, so each operation is atomic; the
// scheduling point before it is where another processor may slip in.

LONG FASTCALL InterlockedIncrement(LONG volatile* Addend) {
    sim::Point("InterlockedIncrement");
    return ++*Addend;
}

LONG FASTCALL InterlockedDecrement(LONG volatile* Addend) {
    sim::Point("InterlockedDecrement");
    return --*Addend;
}

LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value) {
    sim::Point("InterlockedExchange");
    LONG old = *Target;
    *Target = Value;
    return old;
}

LONG FASTCALL InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    sim::Point("InterlockedCompareExchange");
    LONG old = *Destination;
    if (old == Comparand) *Destination = Exchange;
    return old;
}

PVOID FASTCALL InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    sim::Point("InterlockedExchangePointer");
    PVOID old = *Target;
    *Target = Value;
    return old;
}

// ---------------------------------------------------------------- spin locks
// A spin lock holds the address of its holder's thread record. A processor
// that finds it held spins: it lets the other processors run until it is
// free.

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
}

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    sim::CheckIrql("KeAcquireSpinLock", DISPATCH_LEVEL);
    *OldIrql = KfRaiseIrql(DISPATCH_LEVEL);
    SimThread* self = Sched().Current();
    while (*SpinLock != 0) {
        if (*SpinLock == reinterpret_cast<ULONG_PTR>(self)) {
            Kernel::Current().Fail(sim::rule::kDeadlock, "spin lock acquired twice by thread '" + self->name + "'");
        }
        Sched().Spin("KeAcquireSpinLock");
    }
    *SpinLock = reinterpret_cast<ULONG_PTR>(self);
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    SimThread* self = Sched().Current();
    if (*SpinLock != reinterpret_cast<ULONG_PTR>(self)) {
        Kernel::Current().Fail(sim::rule::kSpinLockNotHeld, "KeReleaseSpinLock by a thread that does not hold it");
    }
    // A spin lock is held at DISPATCH_LEVEL and released to the IRQL its
    // acquisition returned, never above DISPATCH_LEVEL.
    if (self->irql != DISPATCH_LEVEL || NewIrql > DISPATCH_LEVEL) {
        Kernel::Current().Fail(sim::rule::kSpinLockReleaseIrql,
                               "KeReleaseSpinLock at IRQL " + std::to_string(self->irql) + " to IRQL " +
                                   std::to_string(NewIrql) + " (held at DISPATCH_LEVEL, released to it or below)");
    }
    *SpinLock = 0;
    KfLowerIrql(NewIrql);
}

// ---------------------------------------------------------------- events

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    sim::Point("KeInitializeEvent");
    Event->Header.Type = Type == NotificationEvent ? SIM_OBJECT_EVENT_NOTIFICATION : SIM_OBJECT_EVENT_SYNCHRONIZATION;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    sim::Point("KeSetEvent");
    sim::CheckIrql("KeSetEvent", DISPATCH_LEVEL);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    Sched().Signal(&Event->Header);
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    sim::Point("KeClearEvent");
    sim::CheckIrql("KeClearEvent", DISPATCH_LEVEL);
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    sim::Point("KeResetEvent");
    sim::CheckIrql("KeResetEvent", DISPATCH_LEVEL);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    sim::Point("KeReadStateEvent");
    return Event->Header.SignalState;
}

// ---------------------------------------------------------------- DPCs

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    std::memset(Dpc, 0, sizeof(*Dpc));
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    sim::Point("KeInsertQueueDpc");
    if (Dpc->Number != 0) return FALSE;  // already queued
    Dpc->Number = 1;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    QueuedDpcs().insert(Dpc);
    Sched().InsertDpc([Dpc] {
        QueuedDpcs().erase(Dpc);
        Dpc->Number = 0;
        Dpc->DeferredRoutine(Dpc, Dpc->DeferredContext, Dpc->SystemArgument1, Dpc->SystemArgument2);
    });
    return TRUE;
}

// ---------------------------------------------------------------- timers

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    sim::Point("KeInitializeTimerEx");
    std::memset(Timer, 0, sizeof(*Timer));
    Timer->Header.Type = Type == NotificationTimer ? SIM_OBJECT_TIMER_NOTIFICATION : SIM_OBJECT_TIMER_SYNCHRONIZATION;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    TimerEvents().erase(Timer);
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    sim::Point("KeCancelTimer");
    sim::CheckIrql("KeCancelTimer", DISPATCH_LEVEL);
    auto it = TimerEvents().find(Timer);
    if (it == TimerEvents().end()) return FALSE;
    Sched().CancelTimedEvent(it->second);
    TimerEvents().erase(it);
    Timer->Header.Inserted = FALSE;
    return TRUE;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    sim::CheckIrql("KeSetTimer", DISPATCH_LEVEL);
    BOOLEAN wasSet = KeCancelTimer(Timer);
    sim::Point("KeSetTimer");
    sim::Scheduler& sched = Sched();
    // Negative: relative to now. Positive: absolute on the virtual clock.
    // Either way it expires at the first clock tick at or after that time.
    sim::Ticks due = sched.TickAtOrAfter(DueTime.QuadPart < 0 ? sched.Now() - DueTime.QuadPart : DueTime.QuadPart);
    Timer->Header.SignalState = 0;
    Timer->Header.Inserted = TRUE;
    Timer->DueTime.QuadPart = due;
    Timer->Dpc = Dpc;
    uint64_t handle = sched.AddTimedEvent(due, [Timer, &sched] {
        // Runs inside the scheduler, with its state locked.
        TimerEvents().erase(Timer);
        Timer->Header.Inserted = FALSE;
        Timer->Header.SignalState = 1;
        sched.SignalLocked(&Timer->Header);
        // A DPC still queued is not queued twice.
        if (Timer->Dpc != nullptr && Timer->Dpc->Number == 0) {
            PKDPC dpc = Timer->Dpc;
            dpc->Number = 1;
            QueuedDpcs().insert(dpc);
            sched.QueueDpcLocked([dpc] {
                QueuedDpcs().erase(dpc);
                dpc->Number = 0;
                dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
            });
        }
    }, false);
    TimerEvents()[Timer] = handle;
    return wasSet;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    sim::Point("KeReadStateTimer");
    return Timer->Header.SignalState != 0;
}

// ---------------------------------------------------------------- waits

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    sim::Point("KeWaitForSingleObject");
    sim::Scheduler& sched = Sched();
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!zeroTimeout && sched.Current()->irql > APC_LEVEL) {
        Kernel::Current().Fail(sim::rule::kWaitAboveApcLevel,
                               "KeWaitForSingleObject with a timeout other than zero at IRQL " +
                                   std::to_string(sched.Current()->irql) + " in thread '" + sched.Current()->name + "'");
    }
    if (header->SignalState > 0) {
        if (header->Type == SIM_OBJECT_EVENT_SYNCHRONIZATION || header->Type == SIM_OBJECT_TIMER_SYNCHRONIZATION) {
            header->SignalState = 0;
        }
        return STATUS_SUCCESS;
    }
    if (zeroTimeout) return STATUS_TIMEOUT;
    sim::Ticks deadline = -1;
    if (Timeout != nullptr) {
        deadline = Timeout->QuadPart < 0 ? sched.Now() - Timeout->QuadPart : Timeout->QuadPart;
        // A timeout ends on a clock tick.
        if (deadline > sched.Now()) deadline = sched.TickAtOrAfter(deadline);
    }
    const char* kind = header->Type >= SIM_OBJECT_TIMER_NOTIFICATION ? "timer" : "event";
    return sched.WaitOn(header, deadline, Describe(Object, kind));
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    sim::Point("KeDelayExecutionThread");
    sim::Scheduler& sched = Sched();
    if (sched.Current()->irql > APC_LEVEL) {
        Kernel::Current().Fail(sim::rule::kWaitAboveApcLevel, "KeDelayExecutionThread above APC_LEVEL");
    }
    sim::Ticks deadline = Interval->QuadPart < 0 ? sched.Now() - Interval->QuadPart : Interval->QuadPart;
    // A delay lasts at least until the clock tick at or after its end.
    if (deadline > sched.Now()) deadline = sched.TickAtOrAfter(deadline);
    NTSTATUS status = sched.WaitOn(nullptr, deadline, "a delay");
    return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

// Interrupt time, system time and the tick count are kept by the clock
// interrupt: they move once per clock tick.

ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
    return static_cast<ULONGLONG>(Sched().LastTick());
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = sim::kSystemTimeAtBoot + Sched().LastTick();
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    sim::Scheduler& sched = Sched();
    CurrentCount->QuadPart = sched.ClockTick() > 0 ? sched.LastTick() / sched.ClockTick() : sched.Now();
}

ULONG NTAPI KeQueryTimeIncrement(VOID) {
    return static_cast<ULONG>(Sched().ClockTick());
}

}  // extern "C"
