// The reading engine on the simulated kernel: bytes per second through
// ReadCompletion and delivery, allocations per byte, and the stack depth of
// draining a burst the port already holds.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "serial_core/reading.h"
#include "tests/support/serial_device.h"

namespace {

BOOLEAN DecodeEveryByte(DeviceState*, PMOUSE_INPUT_DATA report, DecoderState*, UCHAR byte) {
    report->RawButtons = byte & 1;
    report->LastX = byte;
    return TRUE;
}

struct Bench {
    Bench() : kernel(Options()), mouse(std::make_unique<SerialMouseDevice>(DecodeEveryByte, 3)) {}
    ~Bench() {
        mouse.reset();
        kernel.Shutdown();
    }
    static sim::KernelOptions Options() {
        sim::KernelOptions options;
        options.reportToStderr = true;
        return options;
    }
    sim::Kernel kernel;
    std::unique_ptr<SerialMouseDevice> mouse;
};

// Bytes arrive in bursts while a read is pending: the pending read completes
// in the caller, and the loop drains the rest of the burst.
void BM_BytesThroughReadCompletion(benchmark::State& state) {
    Bench bench;
    StartReadLoop(&bench.mouse->state());
    std::vector<UCHAR> burst(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<UCHAR>(i);
    uint64_t poolBefore = bench.kernel.PoolAllocations();
    uint64_t irpsBefore = bench.kernel.IrpAllocations();
    for (auto _ : state) {
        bench.mouse->port().Receive(burst);
        bench.mouse->mouseClass().ClearRecords();
    }
    uint64_t bytes = static_cast<uint64_t>(state.iterations()) * burst.size();
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["ns_per_byte"] =
        benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["pool_allocs_per_byte"] =
        static_cast<double>(bench.kernel.PoolAllocations() - poolBefore) / static_cast<double>(bytes);
    state.counters["irp_allocs_per_byte"] =
        static_cast<double>(bench.kernel.IrpAllocations() - irpsBefore) / static_cast<double>(bytes);
}
BENCHMARK(BM_BytesThroughReadCompletion)->Arg(1)->Arg(1000);

// The port already holds the burst when reading starts: one loop call drains
// it. The deepest stack must not grow with the burst.
void BM_DrainHeldBurstStackDepth(benchmark::State& state) {
    size_t deepest = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Bench bench;
        std::vector<UCHAR> burst(static_cast<size_t>(state.range(0)), 0x01);
        // The port holds the whole burst: a receive buffer of the burst's size.
        bench.mouse->port().SetReceiveBufferSize(burst.size());
        bench.mouse->port().Receive(burst);
        bench.kernel.ResetDeepestStack();
        state.ResumeTiming();
        StartReadLoop(&bench.mouse->state());
        state.PauseTiming();
        deepest = bench.kernel.DeepestStack();
        if (bench.mouse->mouseClass().Records().size() != burst.size()) {
            // A skipped benchmark may not resume its timer: leave the loop.
            state.SkipWithError("bytes were lost");
            break;
        }
        state.ResumeTiming();
    }
    state.counters["deepest_stack_bytes"] = static_cast<double>(deepest);
    state.counters["bytes"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_DrainHeldBurstStackDepth)->Arg(10)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
