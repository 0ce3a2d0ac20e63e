#include "sim/mice/line.h"

namespace sim {

namespace {

bool ParityBit(UCHAR data, const SerialFraming& framing) {
    int ones = __builtin_popcount(data);
    switch (framing.parity) {
        case ODD_PARITY: return (ones % 2) == 0;
        case EVEN_PARITY: return (ones % 2) != 0;
        case MARK_PARITY: return true;
        default: return false;  // space
    }
}

// Level of the sender's line during its bit `index` (0 the start bit).
bool SenderLevel(UCHAR byte, const SerialFraming& sender, LONGLONG index) {
    if (index == 0) return false;
    if (index <= sender.wordLength) return (byte >> (index - 1)) & 1;
    if (sender.parity != NO_PARITY && index == sender.wordLength + 1) {
        UCHAR data = static_cast<UCHAR>(byte & ((1u << sender.wordLength) - 1));
        return ParityBit(data, sender);
    }
    return true;  // stop bits, then idle
}

}  // namespace

std::optional<UCHAR> ReceivedByte(UCHAR byte, const SerialFraming& sender, const SerialFraming& receiver) {
    // Sample i of the receiver lies at (2i + 1) / (2 * receiver baud) seconds;
    // the sender's bit there is floor(time * sender baud).
    auto sample = [&](LONGLONG i) {
        LONGLONG index = (2 * i + 1) * static_cast<LONGLONG>(sender.baud) / (2 * static_cast<LONGLONG>(receiver.baud));
        return SenderLevel(byte, sender, index);
    };
    if (sample(0)) return std::nullopt;  // the start bit was too short to be one
    UCHAR data = 0;
    for (int bit = 0; bit < receiver.wordLength; ++bit) {
        if (sample(bit + 1)) data = static_cast<UCHAR>(data | (1u << bit));
    }
    return data;
}

}  // namespace sim
