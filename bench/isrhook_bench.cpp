// Nanoseconds per byte through FilterIsrHook for packet bytes, with the
// extended mode on (first and fourth bytes rewritten) and off, and for the
// bytes of a whole activation during the port driver's reset.
#include <benchmark/benchmark.h>

#include "auxhook/auxhook.h"

namespace {

void PacketBytes(benchmark::State& state, UCHAR deviceId) {
    DEVICE_OBJECT device{};
    FilterState filter{};
    device.DeviceExtension = &filter;
    filter.Self = &device;
    filter.DeviceId = deviceId;
    static const UCHAR kPacket[4] = {0xC9, 0x05, 0xFB, 0x0F};
    static const MOUSE_STATE kStates[4] = {MouseIdle, XMovement, YMovement, ZMovement};
    MOUSE_INPUT_DATA input{};
    OUTPUT_PACKET output{};
    MOUSE_RESET_SUBSTATE substate = ExpectingReset;
    size_t i = 0;
    for (auto _ : state) {
        UCHAR byte = kPacket[i & 3];
        MOUSE_STATE mouseState = kStates[i & 3];
        BOOLEAN proceed;
        benchmark::DoNotOptimize(
            FilterIsrHook(&device, &input, &output, 0, &byte, &proceed, &mouseState, &substate));
        benchmark::DoNotOptimize(byte);
        ++i;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["ns_per_byte"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate |
                                                                        benchmark::Counter::kInvert);
}

VOID NTAPI DiscardWrite(PVOID, UCHAR) {}

// The arming byte, the first ID, nine ACKs and the final ID 5 of one
// activation, over and over.
void BM_IsrHookActivation(benchmark::State& state) {
    DEVICE_OBJECT device{};
    FilterState filter{};
    device.DeviceExtension = &filter;
    filter.Self = &device;
    filter.IsrWritePort = DiscardWrite;
    static const UCHAR kBytes[12] = {0xFA, 3, 0xFA, 0xFA, 0xFA, 0xFA, 0xFA, 0xFA, 0xFA, 0xFA, 0xFA, 5};
    MOUSE_INPUT_DATA input{};
    OUTPUT_PACKET output{};
    size_t i = 0;
    for (auto _ : state) {
        size_t at = i % 12;
        UCHAR byte = kBytes[at];
        MOUSE_STATE mouseState = MouseResetting;
        MOUSE_RESET_SUBSTATE substate = at == 0 ? ExpectingReset : ExpectingGetDeviceId2Value;
        BOOLEAN proceed = FALSE;
        benchmark::DoNotOptimize(
            FilterIsrHook(&device, &input, &output, 0, &byte, &proceed, &mouseState, &substate));
        benchmark::DoNotOptimize(byte);
        ++i;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_IsrHookExtendedMode(benchmark::State& state) { PacketBytes(state, EXTENDED_MODE_ID); }
void BM_IsrHookModeOff(benchmark::State& state) { PacketBytes(state, FIVE_BUTTON_WHEEL_ID); }

BENCHMARK(BM_IsrHookExtendedMode);
BENCHMARK(BM_IsrHookModeOff);
BENCHMARK(BM_IsrHookActivation);

}  // namespace


