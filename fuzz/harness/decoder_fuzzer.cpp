// A fuzz target for one packet decoder (chosen at build time by
// FUZZ_PROTOCOL, an index into AllProtocols()): arbitrary bytes go through
// the simulated port into the real read loop and ReadCompletion, and every
// record that reaches the class driver must be one the protocol can produce.
//
// The first input byte sets the starting conditions: bits 0-2 the ByteIndex
// another decoder may have left (0 to 4), bit 3 the extended five-button
// coding of the wheel decoder. The rest is the line.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "serial_core/reading.h"
#include "tests/support/decoder_properties.h"
#include "tests/support/serial_device.h"

namespace {

const ProtocolLimits& Protocol() { return AllProtocols()[FUZZ_PROTOCOL]; }

void Fail(const std::string& what) {
    std::fprintf(stderr, "%s decoder: %s\n", Protocol().name, what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const ProtocolLimits& protocol = Protocol();
    USHORT buttons = protocol.defaultButtons;
    if (protocol.decoder == DecodeWheel && (data[0] & 0x08)) buttons = 5;

    sim::KernelOptions options;
    options.reportToStderr = true;
    sim::Kernel kernel(options);
    std::string verdict;
    {
        SerialMouseDevice mouse(protocol.decoder, buttons);
        mouse.state().DecoderState.ByteIndex = (data[0] & 0x07) % 5;
        RecordChecker checker(protocol, buttons);
        mouse.mouseClass().OnRecord([&](const sim::DeliveredRecord& r) {
            std::string bad = checker.Check(r.data);
            if (!bad.empty()) Fail(bad);
        });
        if (StartReadLoop(&mouse.state()) != STATUS_SUCCESS) Fail("reading did not start");
        mouse.port().Receive(std::vector<UCHAR>(data + 1, data + size));
        kernel.Settle();
        // Any byte brings a position left by another decoder into range.
        if (size > 1 && mouse.state().DecoderState.ByteIndex > protocol.lastByteIndex) Fail("ByteIndex out of range");
        if (mouse.state().Report.ButtonFlags != 0 || mouse.state().Report.ButtonData != 0) {
            Fail("transition data outlived its record");
        }
    }
    verdict = kernel.Shutdown();
    if (!verdict.empty()) Fail("verifier: " + verdict);
    return 0;
}
