// mousesim ps2: a PS/2 mouse on the simulated i8042 port, reset by the port
// driver with auxhook above it (unless --no-filter), playing a script of user
// actions. Shows every byte written to the mouse and by whom, every byte the
// mouse sent and what the port driver was handed of it, the device ID the
// port driver settled on, and every record the class driver received.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "auxhook/auxhook.h"
#include "commands.h"
#include "options.h"
#include "output.h"
#include "sim/machine/ps2_machine.h"

namespace mousesim {

namespace {

// Preemption of a run given a seed, when the kernel does not preempt by
// default.
constexpr double kSeededPreemption = 0.3;

struct Action {
    enum class Kind { Move, Press, Release, Wheel, Wait, Unplug, Plug, Reset } kind;
    int a = 0;
    int b = 0;
};

const Command& Ps2Command() {
    for (const Command& c : Commands()) {
        if (std::string(c.name) == "ps2") return c;
    }
    return Commands().front();
}

bool ParseInt(const std::string& text, int* value) {
    try {
        size_t used = 0;
        long v = std::stol(text, &used, 10);
        if (used != text.size() || v < -100000 || v > 100000) return false;
        *value = static_cast<int>(v);
        return true;
    } catch (...) {
        return false;
    }
}

bool ParseButton(const std::string& name, int* button) {
    static const char* const kNames[] = {"left", "right", "middle", "4", "5"};
    for (int i = 0; i < 5; ++i) {
        if (name == kNames[i]) {
            *button = i;
            return true;
        }
    }
    return false;
}

// Parses a script; on a bad line returns false with the reason in *error.
bool ParseScript(std::istream& in, std::vector<Action>* actions, std::string* error) {
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.empty() || w[0][0] == '#') continue;
        Action action{};
        bool ok = false;
        const std::string& verb = w[0];
        if (verb == "move" && w.size() == 3) {
            action.kind = Action::Kind::Move;
            ok = ParseInt(w[1], &action.a) && ParseInt(w[2], &action.b);
        } else if ((verb == "press" || verb == "release") && w.size() == 2) {
            action.kind = verb == "press" ? Action::Kind::Press : Action::Kind::Release;
            ok = ParseButton(w[1], &action.a);
        } else if (verb == "wheel" && w.size() == 2) {
            action.kind = Action::Kind::Wheel;
            ok = ParseInt(w[1], &action.a);
        } else if (verb == "wait" && w.size() == 2) {
            action.kind = Action::Kind::Wait;
            ok = ParseInt(w[1], &action.a) && action.a >= 0;
        } else if (w.size() == 1 && (verb == "unplug" || verb == "plug" || verb == "reset")) {
            action.kind = verb == "unplug" ? Action::Kind::Unplug
                          : verb == "plug" ? Action::Kind::Plug
                                           : Action::Kind::Reset;
            ok = true;
        }
        if (!ok) {
            *error = "script line " + std::to_string(number) + ": cannot understand '" + line +
                     "' (expected move DX DY, press/release left|right|middle|4|5, wheel N, wait MS, unplug, plug, "
                     "reset)";
            return false;
        }
        actions->push_back(action);
    }
    return true;
}

std::string Hex(UCHAR byte) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", byte);
    return text;
}

const char* DescribeId(int id) {
    switch (id) {
    case 0: return "standard mouse, three-byte packets";
    case 3: return "wheel mouse, four-byte packets";
    case 4: return "five-button wheel mouse, four-byte packets";
    default: return "unknown mouse, three-byte packets";
    }
}

// Where the port driver stood for a byte: its reset step while it resets
// the mouse, otherwise the byte's place in a packet.
std::string Place(const sim::PortEvent& e) {
    return e.state == MouseResetting ? sim::SubStateName(e.substate) : sim::MouseStateName(e.state);
}

// JSON: the state, and the substate while the port driver resets the mouse.
std::string JsonPlace(const sim::PortEvent& e) {
    std::string substate = e.state == MouseResetting ? std::to_string(static_cast<int>(e.substate)) : "null";
    return "\"state\":" + std::to_string(static_cast<int>(e.state)) + ",\"substate\":" + substate;
}

void PrintEvent(const sim::PortEvent& e, Format format) {
    std::string t = FormatMilliseconds(e.time);
    if (format == Format::Jsonl) {
        std::string place = JsonPlace(e);
        switch (e.kind) {
        case sim::PortEvent::Kind::Write:
            std::printf("{\"event\":\"write\",\"t_ms\":%s,\"byte\":%d,\"by\":\"%s\",%s}\n", t.c_str(), e.byte,
                        e.byFilter ? "filter" : "port", place.c_str());
            break;
        case sim::PortEvent::Kind::Read: {
            std::string passed = e.passed ? std::to_string(*e.passed) : "null";
            std::printf("{\"event\":\"read\",\"t_ms\":%s,\"byte\":%d,\"passed\":%s,%s}\n", t.c_str(), e.byte,
                        passed.c_str(), place.c_str());
            break;
        }
        case sim::PortEvent::Kind::DeviceId:
            std::printf("{\"event\":\"device-id\",\"t_ms\":%s,\"id\":%d}\n", t.c_str(), e.byte);
            break;
        }
        return;
    }
    std::string place = "[" + Place(e) + "]";
    switch (e.kind) {
    case sim::PortEvent::Kind::Write:
        std::printf("t=%sms  %-6s writes %s  %s\n", t.c_str(), e.byFilter ? "filter" : "port", Hex(e.byte).c_str(),
                    place.c_str());
        break;
    case sim::PortEvent::Kind::Read: {
        std::string what;
        if (!e.passed) {
            what = "  (taken by the filter)";
        } else if (*e.passed != e.byte) {
            what = "  -> port driver gets " + Hex(*e.passed);
        }
        std::printf("t=%sms  mouse  sends  %s  %s%s\n", t.c_str(), Hex(e.byte).c_str(), place.c_str(), what.c_str());
        break;
    }
    case sim::PortEvent::Kind::DeviceId:
        std::printf("t=%sms  port driver settles on device ID %d (%s)\n", t.c_str(), e.byte, DescribeId(e.byte));
        break;
    }
}

}  // namespace

int RunPs2(const Arguments& args) {
    const Command& self = Ps2Command();
    ParsedOptions parsed;
    Format format = Format::Text;
    std::string problem = ParseOptions(args,
                                       {{"--mouse", true, "--mouse needs a model: standard, wheel, five-button, extended"},
                                        {"--script", true, "--script needs a file"},
                                        {"--format", true, "--format needs a value: text or jsonl"},
                                        {"--seed", true, "--seed needs a number"},
                                        {"--no-filter", false, ""}},
                                       &parsed);
    if (problem.empty()) problem = ParseFormatOption(parsed, &format);
    if (!problem.empty()) return BadInput(self, problem);
    if (!parsed.positional.empty()) return BadInput(self, "unexpected argument '" + parsed.positional[0] + "'");
    if (!parsed.Has("--mouse")) return BadInput(self, "--mouse is required");
    sim::Ps2MachineOptions options;
    const std::string mouseName = parsed.Value("--mouse");
    if (!sim::ParsePs2MouseKind(mouseName, &options.mouse)) {
        return BadInput(self, "unknown mouse '" + mouseName + "' (standard, wheel, five-button, extended)");
    }
    const std::string scriptPath = parsed.Value("--script");
    const bool filtered = !parsed.Has("--no-filter");
    options.filterEntry = nullptr;
    if (filtered) {
        options.filterEntry = DriverEntry;
        options.filterName = L"\\Driver\\auxhook";
    }

    std::vector<Action> actions;
    if (!scriptPath.empty()) {
        std::ifstream in(scriptPath);
        if (!in) return BadInput(self, "cannot read script '" + scriptPath + "'");
        std::string error;
        if (!ParseScript(in, &actions, &error)) return BadInput(self, error);
    }

    sim::KernelOptions kernelOptions;
    if (parsed.Has("--seed")) {
        // A seed picks one interleaving of the simulated processors.
        const std::string seed = parsed.Value("--seed");
        if (seed.empty() || seed.find_first_not_of("0123456789") != std::string::npos || seed.size() > 19) {
            return BadInput(self, "--seed must be a number from 0 to 9999999999999999999, not '" + seed + "'");
        }
        kernelOptions.seed = std::stoull(seed);
        if (kernelOptions.preemption == 0.0) kernelOptions.preemption = kSeededPreemption;
    }
    sim::Kernel kernel(kernelOptions);
    std::string verdict;
    {
        sim::Ps2Machine machine(options);
        machine.port().OnEvent([format](const sim::PortEvent& e) { PrintEvent(e, format); });
        machine.mouseClass().OnRecord([format](const sim::DeliveredRecord& r) {
            std::printf("%s\n", FormatRecord(r.data, format, r.time).c_str());
        });
        if (format == Format::Text) {
            std::printf("A PS/2 %s mouse on the i8042 port%s.\n\n", mouseName.c_str(),
                        filtered ? ", auxhook above the port driver" : ", no filter");
        }
        NTSTATUS status = machine.Start();
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "mousesim ps2: the mouse stack did not start: %s\n", sim::FormatStatus(status).c_str());
        }
        machine.WaitForReset();
        for (const Action& a : actions) {
            sim::Ps2Mouse& mouse = machine.mouse();
            switch (a.kind) {
            case Action::Kind::Move: mouse.Move(a.a, a.b); break;
            case Action::Kind::Press: mouse.Press(a.a); break;
            case Action::Kind::Release: mouse.Release(a.a); break;
            case Action::Kind::Wheel: mouse.Wheel(a.a); break;
            case Action::Kind::Wait: kernel.RunFor(sim::Milliseconds(a.a)); break;
            case Action::Kind::Unplug: mouse.Unplug(); break;
            case Action::Kind::Plug: mouse.Plug(); break;
            case Action::Kind::Reset: machine.port().StartReset(); break;
            }
            // A plugged mouse announces itself and the port driver resets it;
            // the next action waits for that reset to end.
            int resets = machine.port().Resets() - (a.kind == Action::Kind::Reset ? 1 : 0);
            kernel.RunFor(sim::Milliseconds(10));
            if (a.kind == Action::Kind::Plug || a.kind == Action::Kind::Reset) machine.WaitForNewReset(resets);
        }
        kernel.RunFor(sim::Milliseconds(10));
        machine.Stop();
    }
    verdict = kernel.Shutdown();
    if (format == Format::Text) {
        std::printf("\nverifier: %s\n", verdict.empty() ? "clean" : verdict.c_str());
    } else {
        std::printf("{\"event\":\"verifier\",\"clean\":%s,\"report\":%s}\n", verdict.empty() ? "true" : "false",
                    JsonString(verdict).c_str());
    }
    return verdict.empty() ? 0 : 1;
}

}  // namespace mousesim
