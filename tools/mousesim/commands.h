// The subcommands of mousesim. Each takes the arguments after its name and
// returns the process exit status: 0 done, 2 bad input.
#pragma once

#include <string>
#include <vector>

namespace mousesim {

using Arguments = std::vector<std::string>;

struct Command {
    const char* name;
    const char* usage;    // one line, after "mousesim "
    const char* summary;  // what it shows
    int (*run)(const Arguments& args);
};

// Every subcommand, in the order `mousesim --help` lists them.
const std::vector<Command>& Commands();

// Prints "mousesim: <message>" and the command's usage to standard error;
// returns 2.
int BadInput(const Command& command, const std::string& message);

int RunDemo(const Arguments& args);
int RunReplay(const Arguments& args);
int RunPs2(const Arguments& args);
int RunIdentify(const Arguments& args);

}  // namespace mousesim
