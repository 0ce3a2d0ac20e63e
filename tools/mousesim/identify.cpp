// mousesim identify: a device start's identification on a simulated COM port
// with a modeled mouse attached, and the whole conversation it had: every
// request to the port, every byte written to the mouse with the baud it went
// out at, every byte read, and what was installed in the end.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "options.h"
#include "output.h"
#include "serfive/decoders.h"
#include "serfive/identify.h"
#include "serial_core/device_state.h"
#include "serwheel/decoders.h"
#include "serwheel/identify.h"
#include "sim/devices/serial_port.h"
#include "sim/mice/serial_mouse.h"
#include "tests/support/serial_device.h"

namespace mousesim {

namespace {

const char* const kModels[] = {"two-button", "three-button", "ballpoint",     "wheel",         "wheel5",
                               "five-byte",  "c-series",     "c-series@1200", "c-series@2400", "c-series@4800",
                               "c-series@9600", "none",      "noise"};

std::string ModelNames() {
    std::string names;
    for (const char* m : kModels) names += (names.empty() ? "" : ", ") + std::string(m);
    return names;
}

const Command& IdentifyCommand() {
    for (const Command& c : Commands()) {
        if (std::strcmp(c.name, "identify") == 0) return c;
    }
    return Commands().front();
}

struct RequestName {
    ULONG code;
    bool internal;
    const char* name;
};

const RequestName kRequestNames[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, false, "IOCTL_SERIAL_SET_BAUD_RATE"},
    {IOCTL_SERIAL_SET_LINE_CONTROL, false, "IOCTL_SERIAL_SET_LINE_CONTROL"},
    {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, true, "IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS"},
    {IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, true, "IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS"},
    {IOCTL_SERIAL_SET_TIMEOUTS, false, "IOCTL_SERIAL_SET_TIMEOUTS"},
    {IOCTL_SERIAL_GET_TIMEOUTS, false, "IOCTL_SERIAL_GET_TIMEOUTS"},
    {IOCTL_SERIAL_SET_DTR, false, "IOCTL_SERIAL_SET_DTR"},
    {IOCTL_SERIAL_CLR_DTR, false, "IOCTL_SERIAL_CLR_DTR"},
    {IOCTL_SERIAL_SET_RTS, false, "IOCTL_SERIAL_SET_RTS"},
    {IOCTL_SERIAL_CLR_RTS, false, "IOCTL_SERIAL_CLR_RTS"},
    {IOCTL_SERIAL_SET_WAIT_MASK, false, "IOCTL_SERIAL_SET_WAIT_MASK"},
    {IOCTL_SERIAL_PURGE, false, "IOCTL_SERIAL_PURGE"},
    {IOCTL_SERIAL_GET_HANDFLOW, false, "IOCTL_SERIAL_GET_HANDFLOW"},
    {IOCTL_SERIAL_SET_HANDFLOW, false, "IOCTL_SERIAL_SET_HANDFLOW"},
    {IOCTL_SERIAL_GET_MODEMSTATUS, false, "IOCTL_SERIAL_GET_MODEMSTATUS"},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, false, "IOCTL_SERIAL_SET_FIFO_CONTROL"},
};

std::string RequestNameOf(const sim::SerialRequestRecord& r) {
    for (const RequestName& n : kRequestNames) {
        if (n.code == r.ioControlCode && n.internal == r.internal) return n.name;
    }
    char buffer[40];
    std::snprintf(buffer, sizeof(buffer), "%s 0x%08lX", r.internal ? "internal request" : "request",
                  static_cast<unsigned long>(r.ioControlCode));
    return buffer;
}

std::string Hex32(ULONG value) {
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "0x%08lX", static_cast<unsigned long>(value));
    return buffer;
}

ULONG UlongAt(const std::vector<UCHAR>& bytes, size_t offset) {
    if (bytes.size() < offset + 4) return 0;
    return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) | (ULONG(bytes[offset + 3]) << 24);
}

// One named argument of a request: its JSON value as text.
struct Field {
    std::string name;
    std::string value;
};

// The arguments worth showing, under the field names of the structures the
// port interface defines.
std::vector<Field> ArgumentsOf(const sim::SerialRequestRecord& r) {
    const std::vector<UCHAR>& in = r.input;
    auto ulong = [&](const char* name, size_t offset, const std::vector<UCHAR>& from) {
        return Field{name, std::to_string(UlongAt(from, offset))};
    };
    switch (r.ioControlCode) {
        case IOCTL_SERIAL_SET_BAUD_RATE:
            return {ulong("BaudRate", 0, in)};
        case IOCTL_SERIAL_SET_LINE_CONTROL:
            if (r.internal) return {};
            if (in.size() < 3) return {};
            return {{"StopBits", std::to_string(in[0])}, {"Parity", std::to_string(in[1])},
                    {"WordLength", std::to_string(in[2])}};
        case IOCTL_SERIAL_SET_TIMEOUTS:
            return {ulong("ReadIntervalTimeout", 0, in), ulong("ReadTotalTimeoutMultiplier", 4, in),
                    ulong("ReadTotalTimeoutConstant", 8, in), ulong("WriteTotalTimeoutMultiplier", 12, in),
                    ulong("WriteTotalTimeoutConstant", 16, in)};
        case IOCTL_SERIAL_SET_HANDFLOW:
            return {ulong("ControlHandShake", 0, in), ulong("FlowReplace", 4, in), ulong("XonLimit", 8, in),
                    ulong("XoffLimit", 12, in)};
        case IOCTL_SERIAL_PURGE:
            return {ulong("PurgeMask", 0, in)};
        case IOCTL_SERIAL_SET_FIFO_CONTROL:
            return {ulong("FifoControl", 0, in)};
        case IOCTL_SERIAL_SET_WAIT_MASK:
            return {ulong("WaitMask", 0, in)};
        case IOCTL_SERIAL_GET_MODEMSTATUS:
            return {ulong("ModemStatus", 0, r.output)};
        default:
            return {};
    }
}

std::string Printable(UCHAR byte) {
    char buffer[16];
    if (byte >= 0x20 && byte < 0x7F) {
        std::snprintf(buffer, sizeof(buffer), "'%c' 0x%02X", byte, byte);
    } else {
        std::snprintf(buffer, sizeof(buffer), "0x%02X", byte);
    }
    return buffer;
}

struct Event {
    sim::Ticks time;
    std::string jsonBody;  // after "t_ms":..., without braces
    std::string text;
};

const char* DecoderName(PacketDecoder* decoder) {
    if (decoder == DecodeThreeByte) return "DecodeThreeByte";
    if (decoder == DecodeBallPoint) return "DecodeBallPoint";
    if (decoder == DecodeWheel) return "DecodeWheel";
    if (decoder == DecodeCSeries) return "DecodeCSeries";
    if (decoder == DecodeFiveByte) return "DecodeFiveByte";
    return nullptr;
}

// The two drivers' identification as mousesim runs it: the routine that
// identifies and selects, and how to read back and name what IdentifyMouse
// answered from what SelectProtocol installed.
struct DriverIdentification {
    const char* name;
    NTSTATUS (*selectProtocol)(DeviceState*);
    int (*kindOf)(const DeviceState&);
    const char* (*kindName)(int);
};

// What IdentifyMouse answered, read back from what SelectProtocol installed:
// each Microsoft-family kind installs a decoder and button count of its own.
MouseKind KindOf(const DeviceState& device) {
    USHORT buttons = device.Attributes.NumberOfButtons;
    if (device.Decoder == DecodeThreeByte) return buttons == 3 ? ThreeButtonMouse : TwoButtonMouse;
    if (device.Decoder == DecodeBallPoint) return BallPointMouse;
    if (device.Decoder == DecodeWheel) return buttons == 5 ? ExtendedWheelMouse : WheelMouse;
    return NoMouse;
}

const char* KindName(MouseKind kind) {
    static const char* const names[] = {"NoMouse",        "TwoButtonMouse", "ThreeButtonMouse",
                                        "BallPointMouse", "WheelMouse",     "ExtendedWheelMouse"};
    return kind <= ExtendedWheelMouse ? names[kind] : "?";
}

// serfive's IdentifyMouse answers 1 for an 'H', which installs its decoder.
int FiveByteKindOf(const DeviceState& device) {
    return device.Decoder == DecodeFiveByte ? 1 : 0;
}

const char* FiveByteKindName(int kind) {
    return kind == 1 ? "five-byte mouse: 'H' in the answer" : "no five-byte mouse";
}

const DriverIdentification kDrivers[] = {
    {"serwheel", SelectProtocol, [](const DeviceState& d) { return static_cast<int>(KindOf(d)); },
     [](int kind) { return KindName(static_cast<MouseKind>(kind)); }},
    {"serfive", serfive::SelectProtocol, FiveByteKindOf, FiveByteKindName},
};

const char* IdentifierName(USHORT identifier) {
    switch (identifier) {
        case MOUSE_SERIAL_HARDWARE: return "MOUSE_SERIAL_HARDWARE";
        case BALLPOINT_SERIAL_HARDWARE: return "BALLPOINT_SERIAL_HARDWARE";
        case WHEELMOUSE_SERIAL_HARDWARE: return "WHEELMOUSE_SERIAL_HARDWARE";
        case 0: return "not set; a device start sets MOUSE_SERIAL_HARDWARE after a successful selection";
        default: return "?";
    }
}

// The conversation as events in the order they happened.
std::vector<Event> Conversation(const std::vector<sim::SerialRequestRecord>& requests, sim::Ticks start) {
    std::vector<Event> events;
    ULONG baud = 0;
    sim::SerialFraming framing;
    for (const sim::SerialRequestRecord& r : requests) {
        sim::Ticks t = r.time - start;
        if (r.majorFunction == IRP_MJ_DEVICE_CONTROL || r.majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            std::string name = RequestNameOf(r);
            std::string json = "\"event\":\"request\",\"name\":" + JsonString(name);
            std::string text = name;
            std::string args;
            for (const Field& f : ArgumentsOf(r)) {
                json += "," + JsonString(f.name) + ":" + f.value;
                args += (args.empty() ? "" : ", ") + f.name + " " + f.value;
            }
            json += ",\"status\":\"" + Hex32(static_cast<ULONG>(r.status)) + "\"";
            if (!args.empty()) text += " (" + args + ")";
            if (r.status != STATUS_SUCCESS) text += "  -> " + Hex32(static_cast<ULONG>(r.status));
            events.push_back({t, json, text});
            if (r.ioControlCode == IOCTL_SERIAL_SET_BAUD_RATE && !r.internal && r.status == STATUS_SUCCESS) {
                baud = UlongAt(r.input, 0);
                framing.baud = baud;
            }
            if (r.ioControlCode == IOCTL_SERIAL_SET_LINE_CONTROL && !r.internal && r.status == STATUS_SUCCESS &&
                r.input.size() >= 3) {
                framing.stopBits = r.input[0];
                framing.parity = r.input[1];
                framing.wordLength = r.input[2];
            }
        } else if (r.majorFunction == IRP_MJ_WRITE) {
            // Each byte leaves the port one character time after the one
            // before it.
            sim::Ticks each = baud != 0 ? sim::ByteTime(framing) : 0;
            for (size_t i = 0; i < r.input.size(); ++i) {
                UCHAR b = r.input[i];
                events.push_back({t + static_cast<sim::Ticks>(i) * each,
                                  "\"event\":\"write\",\"byte\":" + std::to_string(b) + ",\"baud\":" +
                                      std::to_string(baud),
                                  "write " + Printable(b) + " at " + std::to_string(baud) + " baud"});
            }
        } else if (r.majorFunction == IRP_MJ_READ) {
            sim::Ticks done = (r.completedAt >= 0 ? r.completedAt : r.time) - start;
            if (r.information >= 1 && !r.output.empty()) {
                events.push_back({done, "\"event\":\"read\",\"byte\":" + std::to_string(r.output[0]),
                                  "read  " + Printable(r.output[0])});
            } else {
                // No byte: the read's timeout ran out (or the port failed it).
                std::string status = Hex32(static_cast<ULONG>(r.status));
                events.push_back({done, "\"event\":\"no_byte\",\"status\":\"" + status + "\"",
                                  r.status == STATUS_TIMEOUT ? "read  nothing (timed out)"
                                                             : "read  failed with " + status});
            }
        }
    }
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.time < b.time; });
    return events;
}

}  // namespace

int RunIdentify(const Arguments& args) {
    const Command& self = IdentifyCommand();
    ParsedOptions options;
    Format format = Format::Text;
    std::string problem = ParseOptions(args,
                                       {{"--driver", true, "--driver needs a name: serwheel or serfive"},
                                        {"--mouse", true, "--mouse needs a model: " + ModelNames()},
                                        {"--format", true, "--format needs a value: text or jsonl"}},
                                       &options);
    if (problem.empty()) problem = ParseFormatOption(options, &format);
    if (!problem.empty()) return BadInput(self, problem);
    if (!options.positional.empty()) return BadInput(self, "unexpected argument '" + options.positional[0] + "'");
    const std::string driver = options.Value("--driver");
    const std::string model = options.Value("--mouse");

    if (driver.empty()) return BadInput(self, "--driver is required: serwheel or serfive");
    const DriverIdentification* identification = nullptr;
    for (const DriverIdentification& d : kDrivers) {
        if (driver == d.name) identification = &d;
    }
    if (identification == nullptr) {
        return BadInput(self, "unknown driver '" + driver + "'; drivers: serwheel, serfive");
    }
    if (model.empty()) return BadInput(self, "--mouse is required: " + ModelNames());
    if (std::find_if(std::begin(kModels), std::end(kModels), [&](const char* m) { return model == m; }) ==
        std::end(kModels)) {
        return BadInput(self, "unknown mouse '" + model + "'; models: " + ModelNames());
    }

    std::vector<Event> events;
    std::string verdict;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    DeviceState result{};
    ULONG portBaud = 0;
    sim::SerialFraming portFraming;
    sim::Ticks start = 0, end = 0;
    try {
        sim::KernelOptions options;
        options.reportToStderr = false;
        sim::Kernel kernel(options);
        // Identification needs the device as creation leaves it; the stand-in's
        // class connection and open handle play no part in it.
        auto device = std::make_unique<SerialMouseDevice>(nullptr, 0);
        sim::SerialPortModel& port = device->port();
        std::unique_ptr<sim::SerialMouse> mouse = sim::SerialMouse::Create(model, port);

        start = kernel.Now();
        status = identification->selectProtocol(&device->state());
        end = kernel.Now();
        result = device->state();
        portFraming = port.Framing();
        portBaud = portFraming.baud;
        events = Conversation(port.Requests(), start);

        mouse.reset();
        device.reset();
        verdict = kernel.Shutdown();
    } catch (const sim::BugCheck& bugCheck) {
        verdict = bugCheck.what();
    }
    if (!verdict.empty()) {
        std::fprintf(stderr, "mousesim identify: the verifier stopped the machine:\n%s\n", verdict.c_str());
        return 1;
    }

    int kind = identification->kindOf(result);
    const char* decoder = DecoderName(result.Decoder);
    USHORT identifier = result.Attributes.MouseIdentifier;
    USHORT buttons = result.Attributes.NumberOfButtons;
    sim::Ticks took = end - start;

    if (format == Format::Jsonl) {
        for (const Event& e : events) {
            std::printf("{\"t_ms\":%s,%s}\n", FormatMilliseconds(e.time).c_str(), e.jsonBody.c_str());
        }
        std::printf("{\"t_ms\":%s,\"event\":\"result\",\"status\":\"%s\",\"kind\":%d,\"decoder\":%s,"
                    "\"MouseIdentifier\":%u,\"NumberOfButtons\":%u,\"baud\":%lu,\"line\":[%u,%u,%u]}\n",
                    FormatMilliseconds(took).c_str(), Hex32(static_cast<ULONG>(status)).c_str(), kind,
                    decoder ? JsonString(decoder).c_str() : "null", identifier, buttons,
                    static_cast<unsigned long>(portBaud), portFraming.stopBits, portFraming.parity,
                    portFraming.wordLength);
        return 0;
    }

    std::printf("identifying a %s mouse with %s on COM1\n\n", model.c_str(), identification->name);
    for (const Event& e : events) {
        std::printf("%10s ms  %s\n", FormatMilliseconds(e.time).c_str(), e.text.c_str());
    }
    std::printf("\n%s after %s ms: ", status == STATUS_SUCCESS ? "identified" : "no mouse found",
                FormatMilliseconds(took).c_str());
    std::printf("status %s (%s)\n", Hex32(static_cast<ULONG>(status)).c_str(),
                status == STATUS_SUCCESS ? "STATUS_SUCCESS" : "STATUS_UNSUCCESSFUL: the device does not start");
    std::printf("  kind             %d (%s%s)\n", kind, identification->kindName(kind),
                status == STATUS_SUCCESS && kind == 0 ? "; a C-series mouse answered" : "");
    std::printf("  decoder          %s\n", decoder ? decoder : "none");
    std::printf("  MouseIdentifier  0x%04X (%s)\n", identifier, IdentifierName(identifier));
    std::printf("  NumberOfButtons  %u\n", buttons);
    std::printf("  port left at     %lu baud, line control %u, %u, %u (%s stop bit, %s, %u data bits)\n",
                static_cast<unsigned long>(portBaud), portFraming.stopBits, portFraming.parity,
                portFraming.wordLength, portFraming.stopBits == STOP_BIT_1 ? "1" : "more than 1",
                portFraming.parity == NO_PARITY ? "no parity" : portFraming.parity == EVEN_PARITY ? "even parity" : "parity",
                portFraming.wordLength);
    return 0;
}

}  // namespace mousesim
