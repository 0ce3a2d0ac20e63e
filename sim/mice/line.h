// The serial line between a port and a device: what a receiver makes of a
// byte framed differently from its own settings.
#pragma once

#include <optional>

#include "sim/devices/serial_port.h"

namespace sim {

// The byte a UART set to `receiver` assembles from one byte sent in
// `sender`'s framing, or nothing when it sees no start bit. The receiver
// takes the falling edge of the start bit as time 0 and samples the line in
// the middle of each of its own bit times; after the sender's stop bits the
// line idles high. Parity and framing errors do not stop the byte, as with a
// serial driver that keeps erroneous characters. At matching settings the
// byte arrives unchanged.
std::optional<UCHAR> ReceivedByte(UCHAR byte, const SerialFraming& sender, const SerialFraming& receiver);

}  // namespace sim
