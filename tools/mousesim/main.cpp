// mousesim: runs the package's drivers on the simulated PC against modeled
// mice or recorded bytes, and shows what they do.
#include <cstdio>
#include <string>

#include "commands.h"

namespace mousesim {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"demo", "demo", "a serial mouse moving and clicking, read by the serial driver core", RunDemo},
        {"replay", "replay --protocol P [--buttons N] [--hex] [--format text|jsonl] [FILE]",
         "recorded serial mouse bytes (FILE or standard input) through a protocol's decoder; P is three-byte,\n"
         "      ballpoint, wheel, c-series or five-byte; --buttons 5 with wheel selects the extended coding",
         RunReplay},
        {"ps2",
         "ps2 --mouse standard|wheel|five-button|extended [--no-filter] [--script FILE] [--seed N]\n"
         "      [--format text|jsonl]",
         "a PS/2 mouse reset through the i8042 port driver with auxhook above it, playing a script; every\n"
         "      byte with the port driver's reset step (substate) or packet state; --seed N interleaves the\n"
         "      simulated processors as seed N picks",
         RunPs2},
        {"identify", "identify --driver serwheel|serfive --mouse MODEL [--format text|jsonl]",
         "a device start's identification of a modeled mouse on a simulated COM port: every request with its\n"
         "      virtual time, the bytes written (with their baud) and read, and what was installed; MODEL is\n"
         "      two-button, three-button, ballpoint, wheel, wheel5, five-byte, c-series, c-series@BAUD\n"
         "      (1200, 2400, 4800 or 9600), none or noise",
         RunIdentify},
    };
    return commands;
}

int BadInput(const Command& command, const std::string& message) {
    std::fprintf(stderr, "mousesim %s: %s\nusage: mousesim %s\n", command.name, message.c_str(), command.usage);
    return 2;
}

}  // namespace mousesim

namespace {

void PrintHelp(FILE* out) {
    std::fprintf(out, "usage: mousesim COMMAND [ARGS]\n\ncommands:\n");
    for (const mousesim::Command& c : mousesim::Commands()) {
        std::fprintf(out, "  %-s\n      %s\n", c.usage, c.summary);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintHelp(stderr);
        return 2;
    }
    std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        PrintHelp(stdout);
        return 0;
    }
    for (const mousesim::Command& c : mousesim::Commands()) {
        if (name == c.name) return c.run(mousesim::Arguments(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "mousesim: unknown command '%s'\n", name.c_str());
    PrintHelp(stderr);
    return 2;
}
