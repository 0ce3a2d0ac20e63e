// Throughput of the packet decoders on a long stream of valid packets: the
// decoder alone, and the decoder inside ReadCompletion (decoding, button
// transitions and delivery to a connected class driver at DISPATCH_LEVEL).
// Reported as bytes per second and nanoseconds per byte.
#include <benchmark/benchmark.h>

#include <climits>
#include <string>
#include <vector>

#include "serial_core/reading.h"
#include "tests/support/decoder_properties.h"
#include "tests/support/serial_device.h"

namespace {

const size_t kStreamLength = 1 << 16;

void SetByteCounters(benchmark::State& state, size_t bytesPerIteration) {
    int64_t bytes = static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytesPerIteration);
    state.SetBytesProcessed(bytes);
    state.counters["time_per_byte"] =
        benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

USHORT ButtonsFor(const ProtocolLimits& p, int64_t extended) { return extended ? 5 : p.defaultButtons; }

void DecoderAlone(benchmark::State& state) {
    const ProtocolLimits& p = AllProtocols()[state.range(0)];
    USHORT buttons = ButtonsFor(p, state.range(1));
    std::vector<UCHAR> stream = RandomStream(p, buttons, kStreamLength, 1, UINT_MAX);
    static DeviceState device;
    device = DeviceState{};
    device.Attributes.NumberOfButtons = buttons;
    size_t packets = 0;
    for (auto _ : state) {
        for (UCHAR b : stream) {
            if (p.decoder(&device, &device.Report, &device.DecoderState, b)) {
                // What delivery does to the decoder's inputs between packets.
                device.DecoderState.PreviousButtons = device.Report.RawButtons;
                device.Report.Buttons = 0;
                ++packets;
            }
        }
        benchmark::DoNotOptimize(packets);
    }
    SetByteCounters(state, stream.size());
}

void ThroughReadCompletion(benchmark::State& state) {
    const ProtocolLimits& p = AllProtocols()[state.range(0)];
    USHORT buttons = ButtonsFor(p, state.range(1));
    std::vector<UCHAR> stream = RandomStream(p, buttons, kStreamLength, 1, UINT_MAX);
    sim::KernelOptions options;
    options.reportToStderr = false;
    sim::Kernel kernel(options);
    {
        SerialMouseDevice mouse(p.decoder, buttons);
        DeviceState* device = &mouse.state();
        PIRP irp = device->ReadRequest;
        for (auto _ : state) {
            for (UCHAR b : stream) {
                // A read that completed inside the read loop's call: the
                // completion decodes and delivers, and leaves the next read
                // to the loop.
                device->ReadCallState = ReadCallInProgress;
                device->ReadBuffer = b;
                irp->IoStatus.Status = STATUS_SUCCESS;
                irp->IoStatus.Information = 1;
                ReadCompletion(device->Self, irp, device);
            }
            state.PauseTiming();
            mouse.mouseClass().ClearRecords();
            state.ResumeTiming();
        }
        device->ReadCallState = ReadCallReturned;
    }
    kernel.Shutdown();
    SetByteCounters(state, stream.size());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    struct Variant {
        int protocol;
        int extended;
        std::string name;
    };
    std::vector<Variant> variants;
    for (int i = 0; i < static_cast<int>(AllProtocols().size()); ++i) variants.push_back({i, 0, AllProtocols()[i].name});
    variants.push_back({2, 1, "Wheel5Buttons"});
    for (const Variant& v : variants) {
        benchmark::RegisterBenchmark(("DecoderAlone/" + v.name).c_str(), DecoderAlone)->Args({v.protocol, v.extended});
    }
    for (const Variant& v : variants) {
        benchmark::RegisterBenchmark(("ThroughReadCompletion/" + v.name).c_str(), ThroughReadCompletion)
            ->Args({v.protocol, v.extended})
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
