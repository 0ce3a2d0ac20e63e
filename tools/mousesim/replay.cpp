// mousesim replay: recorded bytes from a serial mouse, run through one of the
// package's decoders in the real read loop, and every record that reaches the
// mouse class driver.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "options.h"
#include "output.h"
#include "serfive/decoders.h"
#include "serial_rig.h"
#include "serwheel/decoders.h"

namespace mousesim {

namespace {

struct Protocol {
    const char* name;
    PacketDecoder* decoder;
    USHORT defaultButtons;  // what identification gives this kind of mouse
    sim::Ticks byteTime;    // one character at 1200 baud
};

// Microsoft-family mice use seven data bits (nine bits a character), the
// others eight (ten bits a character).
const sim::Ticks kSevenBitByte = sim::kTicksPerSecond * 9 / 1200;
const sim::Ticks kEightBitByte = sim::kTicksPerSecond * 10 / 1200;

const Protocol kProtocols[] = {
    {"three-byte", DecodeThreeByte, 3, kSevenBitByte},
    {"ballpoint", DecodeBallPoint, 2, kSevenBitByte},
    {"wheel", DecodeWheel, 3, kSevenBitByte},
    {"c-series", DecodeCSeries, 3, kEightBitByte},
    {"five-byte", DecodeFiveByte, 3, kEightBitByte},
};

const USHORT kMaxButtons = 5;

std::string ProtocolNames() {
    std::string names;
    for (const Protocol& p : kProtocols) names += (names.empty() ? "" : ", ") + std::string(p.name);
    return names;
}

const Command& ReplayCommand() {
    for (const Command& c : Commands()) {
        if (std::strcmp(c.name, "replay") == 0) return c;
    }
    return Commands().front();
}

bool ReadAll(FILE* in, std::vector<UCHAR>* bytes) {
    UCHAR buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
    return !std::ferror(in);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whitespace-separated byte values in hex ("4a", "4A", "0x4a"); "#" starts
// a comment to the end of the line. On a malformed token, *error says which.
bool ParseHex(const std::vector<UCHAR>& text, std::vector<UCHAR>* bytes, std::string* error) {
    size_t i = 0, line = 1;
    while (i < text.size()) {
        char c = static_cast<char>(text[i]);
        if (c == '\n') ++line;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
            ++i;
            continue;
        }
        if (c == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
            continue;
        }
        size_t start = i;
        while (i < text.size() && !std::strchr(" \t\r\n\f\v#", static_cast<char>(text[i]))) ++i;
        std::string token(text.begin() + static_cast<long>(start), text.begin() + static_cast<long>(i));
        std::string digits = token;
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
        int value = 0;
        bool ok = !digits.empty() && digits.size() <= 2;
        for (char d : digits) {
            int v = HexDigit(d);
            if (v < 0) ok = false;
            value = value * 16 + (v < 0 ? 0 : v);
        }
        if (!ok) {
            *error = "malformed hex byte '" + token + "' on line " + std::to_string(line) +
                     " (expected a value 00 to ff)";
            return false;
        }
        bytes->push_back(static_cast<UCHAR>(value));
    }
    return true;
}

}  // namespace

int RunReplay(const Arguments& args) {
    const Command& self = ReplayCommand();
    const Protocol* protocol = nullptr;
    ParsedOptions options;
    Format format = Format::Text;
    std::string problem = ParseOptions(args,
                                       {{"--protocol", true, "--protocol needs a name: " + ProtocolNames()},
                                        {"--buttons", true, "--buttons must be a number from 1 to 5"},
                                        {"--format", true, "--format needs a value: text or jsonl"},
                                        {"--hex", false, ""}},
                                       &options);
    if (problem.empty()) problem = ParseFormatOption(options, &format);
    if (!problem.empty()) return BadInput(self, problem);
    if (options.positional.size() > 1) {
        return BadInput(self, "more than one input file ('" + options.positional[0] + "' and '" +
                                  options.positional[1] + "')");
    }
    const std::string protocolName = options.Value("--protocol");
    const std::string buttonsText = options.Value("--buttons");
    const bool haveButtons = options.Has("--buttons");
    const bool hex = options.Has("--hex");
    const bool haveFile = !options.positional.empty();
    const std::string file = haveFile ? options.positional[0] : "";

    if (protocolName.empty()) return BadInput(self, "--protocol is required: " + ProtocolNames());
    for (const Protocol& p : kProtocols) {
        if (protocolName == p.name) protocol = &p;
    }
    if (protocol == nullptr) {
        return BadInput(self, "unknown protocol '" + protocolName + "'; valid protocols: " + ProtocolNames());
    }
    USHORT buttons = protocol->defaultButtons;
    if (haveButtons) {
        bool ok = buttonsText.size() == 1 && buttonsText[0] >= '1' && buttonsText[0] <= '0' + kMaxButtons;
        if (!ok) return BadInput(self, "--buttons must be a number from 1 to 5, not '" + buttonsText + "'");
        buttons = static_cast<USHORT>(buttonsText[0] - '0');
    }

    std::vector<UCHAR> input;
    if (!haveFile || file == "-") {
        if (!ReadAll(stdin, &input)) return BadInput(self, std::string("cannot read standard input: ") + std::strerror(errno));
    } else {
        FILE* in = std::fopen(file.c_str(), "rb");
        if (in == nullptr) return BadInput(self, "cannot read '" + file + "': " + std::strerror(errno));
        bool ok = ReadAll(in, &input);
        int error = errno;
        std::fclose(in);
        if (!ok) return BadInput(self, "cannot read '" + file + "': " + std::strerror(error));
    }
    std::vector<UCHAR> bytes;
    if (hex) {
        std::string error;
        if (!ParseHex(input, &bytes, &error)) return BadInput(self, error);
    } else {
        bytes.swap(input);
    }

    std::string verdict;
    size_t delivered = 0;
    try {
        SerialMouseRig rig(protocol->decoder, buttons);
        rig.OnRecord([format](const sim::DeliveredRecord& r) {
            std::printf("%s\n", FormatRecord(r.data, format, r.time).c_str());
        });
        rig.Play(bytes, protocol->byteTime);
        delivered = rig.RecordsDelivered();
        verdict = rig.Finish();
    } catch (const sim::BugCheck& bugCheck) {
        verdict = bugCheck.what();
    }
    std::fflush(stdout);
    if (!verdict.empty()) {
        std::fprintf(stderr, "mousesim replay: the verifier stopped the machine:\n%s\n", verdict.c_str());
        return 1;
    }
    if (format == Format::Text) {
        std::fprintf(stderr, "%zu bytes, %zu records (%s, %u buttons)\n", bytes.size(), delivered, protocol->name,
                     static_cast<unsigned>(buttons));
    }
    return 0;
}

}  // namespace mousesim
