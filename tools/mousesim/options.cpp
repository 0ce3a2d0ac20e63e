#include "options.h"

namespace mousesim {

std::string ParsedOptions::Value(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
}

std::string ParseOptions(const Arguments& args, const std::vector<OptionSpec>& specs, ParsedOptions* parsed) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg[0] != '-') {
            parsed->positional.push_back(arg);
            continue;
        }
        size_t equals = arg.find('=');
        std::string name = arg.substr(0, equals);
        const OptionSpec* known = nullptr;
        for (const OptionSpec& s : specs) {
            if (s.name == name) known = &s;
        }
        if (known == nullptr) return "unknown option '" + arg + "'";
        if (!known->takesValue) {
            if (equals != std::string::npos) return known->name + " takes no value";
            parsed->flags.insert(name);
            continue;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        }
        if (value.empty()) return known->missingValue;
        parsed->values[name] = value;
    }
    return "";
}

std::string ParseFormatOption(const ParsedOptions& parsed, Format* format) {
    *format = Format::Text;
    if (!parsed.Has("--format")) return "";
    std::string name = parsed.Value("--format");
    if (!ParseFormat(name, format)) return "--format must be text or jsonl, not '" + name + "'";
    return "";
}

}  // namespace mousesim
