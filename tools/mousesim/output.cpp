#include "output.h"

#include <sstream>

namespace mousesim {

bool ParseFormat(const std::string& name, Format* format) {
    if (name == "text") {
        *format = Format::Text;
        return true;
    }
    if (name == "jsonl") {
        *format = Format::Jsonl;
        return true;
    }
    return false;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string FormatMilliseconds(sim::Ticks time) {
    std::ostringstream out;
    out << time / sim::kTicksPerMillisecond;
    sim::Ticks fraction = time % sim::kTicksPerMillisecond;
    if (fraction != 0) {
        char digits[8];
        std::snprintf(digits, sizeof(digits), "%04lld", static_cast<long long>(fraction));
        std::string f = digits;
        while (!f.empty() && f.back() == '0') f.pop_back();
        out << "." << f;
    }
    return out.str();
}

std::string DescribeButtonFlags(USHORT flags) {
    static const char* const kNames[] = {"left down", "left up", "right down", "right up", "middle down",
                                         "middle up", "button 4 down", "button 4 up", "button 5 down",
                                         "button 5 up"};
    std::string out;
    for (int bit = 0; bit < 10; ++bit) {
        if (flags & (1u << bit)) out += (out.empty() ? "" : ", ") + std::string(kNames[bit]);
    }
    return out;
}

std::string FormatRecord(const MOUSE_INPUT_DATA& record, Format format, sim::Ticks time) {
    std::ostringstream out;
    if (format == Format::Jsonl) {
        out << "{\"event\":\"record\",\"t_ms\":" << FormatMilliseconds(time) << ",\"UnitId\":" << record.UnitId
            << ",\"Flags\":" << record.Flags << ",\"ButtonFlags\":" << record.ButtonFlags
            << ",\"ButtonData\":" << record.ButtonData << ",\"RawButtons\":" << record.RawButtons
            << ",\"LastX\":" << record.LastX << ",\"LastY\":" << record.LastY
            << ",\"ExtraInformation\":" << record.ExtraInformation << "}";
        return out.str();
    }
    out << "t=" << FormatMilliseconds(time) << "ms  move (" << record.LastX << ", " << record.LastY << ")";
    std::string buttons = DescribeButtonFlags(record.ButtonFlags);
    if (!buttons.empty()) out << "  " << buttons;
    if (record.ButtonFlags & MOUSE_WHEEL) {
        int steps = static_cast<SHORT>(record.ButtonData) / 120;
        out << "  wheel " << (steps > 0 ? "+" : "") << steps;
    }
    return out.str();
}

}  // namespace mousesim
