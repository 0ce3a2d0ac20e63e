// The command-line options of a mousesim subcommand: "--name value",
// "--name=value", bare "--flag"s, and positional arguments ("-" is one).
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "output.h"

namespace mousesim {

struct OptionSpec {
    std::string name;          // e.g. "--protocol"
    bool takesValue;
    std::string missingValue;  // the message when its value is missing
};

struct ParsedOptions {
    std::map<std::string, std::string> values;  // the last value of each option given
    std::set<std::string> flags;
    std::vector<std::string> positional;

    bool Has(const std::string& name) const { return values.count(name) != 0 || flags.count(name) != 0; }
    std::string Value(const std::string& name) const;
};

// Parses `args` against `specs`. Returns "" when they fit, otherwise the
// message that tells the user what is wrong.
std::string ParseOptions(const Arguments& args, const std::vector<OptionSpec>& specs, ParsedOptions* parsed);

// The --format option (text when absent). Returns "" or the message.
std::string ParseFormatOption(const ParsedOptions& parsed, Format* format);

}  // namespace mousesim
