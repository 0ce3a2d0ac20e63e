#include "scheduler.h"
#include "verifier.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <sstream>

namespace sim {

namespace {

const char* StackPointer() {
    return static_cast<const char*>(__builtin_frame_address(0));
}

}  // namespace

Scheduler::Scheduler(Kernel& kernel, const KernelOptions& options)
    : kernel_(kernel), options_(options), rng_(options.seed), costRng_(options.seed ^ 0x9E3779B97F4A7C15ull) {
    auto main = std::make_unique<SimThread>();
    main->id = 0;
    main->name = "main";
    main->state = SimThread::State::Running;
    main->hasBaton = true;
    main->stackBase = StackPointer();
    main_ = main.get();
    current_ = main_;
    threads_.push_back(std::move(main));
    int processors = std::max(1, options.dpcProcessors);
    for (int i = 0; i < processors; ++i) dpcProcessors_.push_back(CreateContext("dpc" + std::to_string(i), false));
    interrupt_ = CreateContext("interrupt", true);
}

Scheduler::~Scheduler() {
    Shutdown();
}

// ---------------------------------------------------------------- threads

void Scheduler::CreateThread(const std::string& name, std::function<void()> body) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto thread = std::make_unique<SimThread>();
    SimThread* t = thread.get();
    t->id = static_cast<int>(threads_.size());
    t->name = name;
    t->irql = PASSIVE_LEVEL;
    t->body = std::move(body);
    t->state = SimThread::State::Ready;
    threads_.push_back(std::move(thread));
    ready_.push_back(t);
    t->host = std::thread([this, t] { Trampoline(t); });
}

SimThread* Scheduler::CreateContext(const std::string& name, bool interrupt) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto thread = std::make_unique<SimThread>();
    SimThread* t = thread.get();
    t->id = static_cast<int>(threads_.size());
    t->name = name;
    t->isDpcProcessor = !interrupt;
    t->isInterrupt = interrupt;
    t->irql = DISPATCH_LEVEL;
    t->queueObject.Type = SIM_OBJECT_EVENT_SYNCHRONIZATION;
    t->body = [this, t] { ContextLoop(t); };
    t->state = SimThread::State::Ready;
    threads_.push_back(std::move(thread));
    ready_.push_back(t);
    t->host = std::thread([this, t] { Trampoline(t); });
    return t;
}

void Scheduler::Trampoline(SimThread* t) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        t->cv.wait(lock, [t] { return t->hasBaton; });
    }
    t->stackBase = StackPointer();
    if (!t->kill) {
        try {
            t->body();
        } catch (const ThreadExit&) {
        } catch (const std::exception& e) {
            std::fprintf(stderr, "simulated thread '%s' ended by exception: %s\n", t->name.c_str(), e.what());
        }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    t->state = SimThread::State::Done;
    t->hasBaton = false;
    SimThread* next = shuttingDown_ ? main_ : PickNext();
    next->state = SimThread::State::Running;
    next->hasBaton = true;
    current_ = next;
    next->cv.notify_one();
}

void Scheduler::MakeReady(SimThread* thread) {
    thread->state = SimThread::State::Ready;
    ready_.push_back(thread);
}

SimThread* Scheduler::PickNext() {
    for (;;) {
        if (stopped_ && !shuttingDown_) {
            // The machine has stopped: only main goes on, to report it.
            ready_.erase(std::remove(ready_.begin(), ready_.end(), main_), ready_.end());
            return main_;
        }
        if (!ready_.empty()) {
            size_t index = 0;
            if (options_.preemption > 0.0 && ready_.size() > 1) {
                index = std::uniform_int_distribution<size_t>(0, ready_.size() - 1)(rng_);
            }
            SimThread* next = ready_[index];
            ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(index));
            return next;
        }
        if (!timedEvents_.empty() && timedEvents_.begin()->first.first <= now_) {
            FireDueEvents();
            continue;
        }
        // Nothing can run at this instant: a thread waiting for the machine
        // to settle goes on before the clock moves.
        SimThread* settler = nullptr;
        for (auto& t : threads_) {
            if (t->state == SimThread::State::Waiting && t->settling &&
                (settler == nullptr || t->waitGeneration < settler->waitGeneration)) {
                settler = t.get();
            }
        }
        if (settler != nullptr) {
            settler->settling = false;
            settler->waitResult = STATUS_SUCCESS;
            MakeReady(settler);
            continue;
        }
        if (!timedEvents_.empty()) {
            now_ = std::max(now_, timedEvents_.begin()->first.first);
            FireDueEvents();
            continue;
        }
        // Every thread waits and nothing is scheduled.
        stopped_ = true;
        stopRule_ = rule::kDeadlock;
        stopMessage_ = "every thread waits and nothing is scheduled:" + DescribeWaiters();
        if (options_.reportToStderr) std::fprintf(stderr, "VERIFIER %s: %s\n", stopRule_.c_str(), stopMessage_.c_str());
        kernel_.verifier().Record(stopRule_, stopMessage_);
        return main_;
    }
}

std::string Scheduler::DescribeWaiters() const {
    std::ostringstream out;
    for (auto& t : threads_) {
        if (t->state != SimThread::State::Waiting) continue;
        if (t->waitObject == &t->queueObject) continue;
        out << " thread '" << t->name << "' waits on " << t->waitDescription << " since t="
            << (t->waitingSince / kTicksPerMillisecond) << "ms;";
    }
    return out.str();
}

void Scheduler::FireDueEvents() {
    while (!timedEvents_.empty() && timedEvents_.begin()->first.first <= now_) {
        auto it = timedEvents_.begin();
        TimedEvent event = std::move(it->second);
        timedEventKeys_.erase(event.handle);
        timedEvents_.erase(it);
        if (event.runAsDpc) {
            QueueDpcLocked(std::move(event.fn));
        } else {
            event.fn();
        }
    }
}

void Scheduler::SwitchTo(SimThread* next, std::unique_lock<std::mutex>& lock) {
    SimThread* self = current_;
    if (next != self) {
        self->hasBaton = false;
        next->hasBaton = true;
        next->state = SimThread::State::Running;
        current_ = next;
        next->cv.notify_one();
        self->cv.wait(lock, [self] { return self->hasBaton; });
    } else {
        self->state = SimThread::State::Running;
    }
    AfterResume(self);
}

void Scheduler::AfterResume(SimThread* self) {
    if (self->kill && std::uncaught_exceptions() == 0) throw ThreadExit{};
    if (stopped_ && self == main_ && !shuttingDown_ && !stopReported_) {
        stopReported_ = true;
        throw BugCheck(stopRule_, stopMessage_);
    }
}

void Scheduler::BlockCurrent(std::unique_lock<std::mutex>& lock) {
    SimThread* next = PickNext();
    SwitchTo(next, lock);
}

// ---------------------------------------------------------------- scheduling points

void Scheduler::Point(const char* name) {
    std::unique_lock<std::mutex> lock(mutex_);
    SimThread* self = current_;
    if (self->kill) return;
    if (self == main_ && stopped_ && !stopReported_ && !shuttingDown_) {
        stopReported_ = true;
        throw BugCheck(stopRule_, stopMessage_);
    }
    if (self->stackBase != nullptr) {
        size_t depth = static_cast<size_t>(self->stackBase - StackPointer());
        if (depth < (64u << 20)) deepestStack_ = std::max(deepestStack_, depth);
    }
    // Running code costs time: a timer or a hardware event may come due
    // between any two kernel calls.
    if (options_.pointCost > 0) {
        now_ += std::uniform_int_distribution<Ticks>(0, options_.pointCost)(costRng_);
        if (!timedEvents_.empty() && timedEvents_.begin()->first.first <= now_) FireDueEvents();
    }
    if (!pinned_.empty()) {
        for (size_t i = 0; i < pinned_.size(); ++i) {
            PinnedSwitch& p = pinned_[i];
            if (p.point != name || p.thread != self->name) continue;
            int count = ++pointCounts_[{p.point, p.thread}];
            if (count < p.occurrence) continue;
            auto action = std::move(p.action);
            pinned_.erase(pinned_.begin() + static_cast<std::ptrdiff_t>(i));
            // The action runs on another processor before this thread goes on.
            SimThread* other = dpcProcessors_[self == dpcProcessors_[0] && dpcProcessors_.size() > 1 ? 1 : 0];
            other->queue.push_front(std::move(action));
            if (self == other) return;  // the processor runs it right after the current item
            RunOnContextNow(other, lock);
            return;
        }
    }
    if (options_.preemption > 0.0 && !ready_.empty()) {
        if (std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < options_.preemption) {
            MakeReady(self);
            SwitchTo(PickNext(), lock);
        }
    }
}

void Scheduler::Spin(const char* name) {
    std::unique_lock<std::mutex> lock(mutex_);
    SimThread* self = current_;
    if (ready_.empty() && timedEvents_.empty() && !AnyQueuedWork()) {
        lock.unlock();
        kernel_.Fail(rule::kDeadlock, std::string(name) + ": spinning on a lock whose holder cannot run");
    }
    MakeReady(self);
    SwitchTo(PickNext(), lock);
}

void Scheduler::PinSwitch(PinnedSwitch pinned) {
    std::unique_lock<std::mutex> lock(mutex_);
    pointCounts_[{pinned.point, pinned.thread}] = 0;
    pinned_.push_back(std::move(pinned));
}

// ---------------------------------------------------------------- waits

NTSTATUS Scheduler::WaitOn(DISPATCHER_HEADER* object, Ticks deadline, const std::string& description) {
    std::unique_lock<std::mutex> lock(mutex_);
    SimThread* self = current_;
    if (self->kill) throw ThreadExit{};
    self->waitObject = object;
    self->waitDescription = description;
    self->waitGeneration = ++waitSequence_;
    self->waitResult = STATUS_SUCCESS;
    self->waitingSince = now_;
    self->state = SimThread::State::Waiting;
    if (deadline >= 0) {
        uint64_t generation = self->waitGeneration;
        AddTimedEventLocked(deadline, [this, self, generation] {
            if (self->state == SimThread::State::Waiting && self->waitGeneration == generation) {
                self->waitObject = nullptr;
                self->settling = false;
                self->waitResult = STATUS_TIMEOUT;
                MakeReady(self);
            }
        }, false);
    }
    BlockCurrent(lock);
    return self->waitResult;
}

void Scheduler::WaitUntilSettled() {
    std::unique_lock<std::mutex> lock(mutex_);
    SimThread* self = current_;
    if (self->kill) throw ThreadExit{};
    self->waitObject = nullptr;
    self->settling = true;
    self->waitDescription = "the machine to settle";
    self->waitGeneration = ++waitSequence_;
    self->waitingSince = now_;
    self->state = SimThread::State::Waiting;
    BlockCurrent(lock);
}

void Scheduler::Signal(DISPATCHER_HEADER* object) {
    std::unique_lock<std::mutex> lock(mutex_);
    SignalLocked(object);
}

void Scheduler::SignalLocked(DISPATCHER_HEADER* object) {
    std::vector<SimThread*> waiters;
    for (auto& t : threads_) {
        if (t->state == SimThread::State::Waiting && t->waitObject == object) waiters.push_back(t.get());
    }
    std::sort(waiters.begin(), waiters.end(),
              [](SimThread* a, SimThread* b) { return a->waitGeneration < b->waitGeneration; });
    bool synchronization = object->Type == SIM_OBJECT_EVENT_SYNCHRONIZATION ||
                           object->Type == SIM_OBJECT_TIMER_SYNCHRONIZATION;
    for (SimThread* t : waiters) {
        if (object->SignalState <= 0) break;
        if (synchronization) object->SignalState = 0;
        t->waitObject = nullptr;
        t->waitResult = STATUS_SUCCESS;
        MakeReady(t);
    }
}

// ---------------------------------------------------------------- timed events and DPCs

uint64_t Scheduler::AddTimedEvent(Ticks due, std::function<void()> fn, bool runAsDpc) {
    std::unique_lock<std::mutex> lock(mutex_);
    return AddTimedEventLocked(due, std::move(fn), runAsDpc);
}

uint64_t Scheduler::AddTimedEventLocked(Ticks due, std::function<void()> fn, bool runAsDpc) {
    uint64_t handle = nextEventHandle_++;
    auto key = std::make_pair(std::max(due, now_), handle);
    timedEvents_.emplace(key, TimedEvent{handle, std::move(fn), runAsDpc});
    timedEventKeys_[handle] = key;
    return handle;
}

void Scheduler::CancelTimedEvent(uint64_t handle) {
    std::unique_lock<std::mutex> lock(mutex_);
    CancelTimedEventLocked(handle);
}

void Scheduler::CancelTimedEventLocked(uint64_t handle) {
    auto it = timedEventKeys_.find(handle);
    if (it == timedEventKeys_.end()) return;
    timedEvents_.erase(it->second);
    timedEventKeys_.erase(it);
}

void Scheduler::QueueDpc(std::function<void()> fn) {
    std::unique_lock<std::mutex> lock(mutex_);
    QueueDpcLocked(std::move(fn));
}

void Scheduler::QueueDpcLocked(std::function<void()> fn) {
    // An idle processor takes it (which one is the seed's choice); else the
    // one with the shortest queue.
    std::vector<SimThread*> idle;
    for (SimThread* p : dpcProcessors_) {
        if (p->queue.empty() && p->state == SimThread::State::Waiting) idle.push_back(p);
    }
    SimThread* target = nullptr;
    if (!idle.empty()) {
        size_t index = 0;
        if (options_.preemption > 0.0 && idle.size() > 1) {
            index = std::uniform_int_distribution<size_t>(0, idle.size() - 1)(rng_);
        }
        target = idle[index];
    } else {
        for (SimThread* p : dpcProcessors_) {
            if (target == nullptr || p->queue.size() < target->queue.size()) target = p;
        }
    }
    target->queue.push_back(std::move(fn));
    WakeContext(target);
}

void Scheduler::WakeContext(SimThread* context) {
    if (context->state == SimThread::State::Waiting && context->waitObject == &context->queueObject) {
        context->waitObject = nullptr;
        MakeReady(context);
    }
}

bool Scheduler::AnyQueuedWork() const {
    for (const auto& t : threads_) {
        if (!t->queue.empty()) return true;
    }
    return false;
}

void Scheduler::InsertDpc(std::function<void()> fn) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        SimThread* self = current_;
        if (self->isDpcProcessor) {
            self->queue.push_back(std::move(fn));
            return;
        }
        if (self->isInterrupt) {
            QueueDpcLocked(std::move(fn));
            return;
        }
        self->pendingDpcs.push_back(std::move(fn));
    }
    DeliverPendingDpcs();
}

void Scheduler::DeliverPendingDpcs() {
    // Only the running thread touches its own pending DPCs.
    SimThread* self = current_;
    if (self->isDpcProcessor || self->isInterrupt) return;
    while (self->irql < DISPATCH_LEVEL && !self->pendingDpcs.empty()) {
        KIRQL before = self->irql;
        std::function<void()> dpc = std::move(self->pendingDpcs.front());
        self->pendingDpcs.pop_front();
        self->irql = DISPATCH_LEVEL;
        dpc();
        if (self->irql != DISPATCH_LEVEL) {
            kernel_.Fail(rule::kIrqlChangedByCompletion,
                         "a DPC returned at IRQL " + std::to_string(self->irql) + " instead of DISPATCH_LEVEL");
        }
        self->irql = before;
    }
}

void Scheduler::RequestInterrupt(KIRQL irql, std::function<void()> isr) {
    std::unique_lock<std::mutex> lock(mutex_);
    interrupt_->queue.push_back([this, irql, isr = std::move(isr)] {
        SimThread* self = current_;
        self->irql = irql;
        isr();
        if (self->irql != irql) {
            kernel_.Fail(rule::kIrqlChangedByCompletion, "an interrupt service routine entered at IRQL " +
                                                             std::to_string(irql) + " returned at " +
                                                             std::to_string(self->irql));
        }
    });
    if (current_ == interrupt_) return;  // after the routine that runs now
    RunOnContextNow(interrupt_, lock);
}

void Scheduler::RunOnContextNow(SimThread* context, std::unique_lock<std::mutex>& lock) {
    SimThread* self = current_;
    if (context->state == SimThread::State::Done || context->state == SimThread::State::Parked || stopped_) {
        return;
    }
    if (context->state == SimThread::State::Ready) {
        ready_.erase(std::remove(ready_.begin(), ready_.end(), context), ready_.end());
    }
    context->waitObject = nullptr;
    self->state = SimThread::State::Ready;
    ready_.push_front(self);
    SwitchTo(context, lock);
}

void Scheduler::ContextLoop(SimThread* self) {
    for (;;) {
        std::function<void()> item;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            while (self->queue.empty()) {
                self->waitObject = &self->queueObject;
                self->waitDescription = self->isInterrupt ? "interrupts" : "the DPC queue";
                self->waitGeneration = ++waitSequence_;
                self->waitingSince = now_;
                self->state = SimThread::State::Waiting;
                BlockCurrent(lock);
            }
            item = std::move(self->queue.front());
            self->queue.pop_front();
        }
        if (self->isInterrupt) {
            item();
            continue;
        }
        self->irql = DISPATCH_LEVEL;
        item();
        if (self->irql != DISPATCH_LEVEL) {
            kernel_.Fail(rule::kIrqlChangedByCompletion,
                         "a DPC returned at IRQL " + std::to_string(self->irql) + " instead of DISPATCH_LEVEL");
        }
    }
}

Ticks Scheduler::TickAtOrAfter(Ticks t) const {
    Ticks tick = options_.clockTick;
    if (tick <= 0 || t <= 0) return t;
    return (t + tick - 1) / tick * tick;
}

Ticks Scheduler::LastTick() const {
    Ticks tick = options_.clockTick;
    if (tick <= 0) return now_;
    return now_ / tick * tick;
}

// ---------------------------------------------------------------- stopping

void Scheduler::Stop(const std::string& rule, const std::string& detail) {
    std::unique_lock<std::mutex> lock(mutex_);
    SimThread* self = current_;
    if (!stopped_) {
        stopped_ = true;
        stopRule_ = rule;
        stopMessage_ = detail;
    }
    if (self == main_) {
        stopReported_ = true;
        lock.unlock();
        throw BugCheck(rule, detail);
    }
    // This thread never goes on; main reports the stop.
    self->state = SimThread::State::Parked;
    ready_.erase(std::remove(ready_.begin(), ready_.end(), main_), ready_.end());
    main_->waitObject = nullptr;
    main_->settling = false;
    SwitchTo(main_, lock);
    // Only a kill at shutdown resumes a parked thread, and that throws above.
    for (;;) self->cv.wait(lock);
}

void Scheduler::Shutdown() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (shuttingDown_) return;
    shuttingDown_ = true;
    for (auto& t : threads_) {
        SimThread* thread = t.get();
        if (thread == main_ || thread->state == SimThread::State::Done) continue;
        thread->kill = true;
        ready_.erase(std::remove(ready_.begin(), ready_.end(), thread), ready_.end());
        main_->state = SimThread::State::Ready;
        SwitchTo(thread, lock);
    }
    lock.unlock();
    for (auto& t : threads_) {
        if (t->host.joinable()) t->host.join();
    }
}

size_t Scheduler::DeepestStack() const {
    std::unique_lock<std::mutex> lock(mutex_);
    return deepestStack_;
}

void Scheduler::ResetDeepestStack() {
    std::unique_lock<std::mutex> lock(mutex_);
    deepestStack_ = 0;
    current_->stackBase = StackPointer();
}

std::string Scheduler::CurrentThreadName() const {
    std::unique_lock<std::mutex> lock(mutex_);
    return current_->name;
}

}  // namespace sim
