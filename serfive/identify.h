// serfive's identification: a five-byte mouse answers its power-up with an
// 'H'; nothing else is accepted. Everything here runs at PASSIVE_LEVEL on the
// thread that starts the device, while neither the read loop nor the removal
// monitor is active, and uses only the port's configuration and read
// operations: serfive never sends a byte to its mouse.
//
// The routines live in the namespace serfive so that a host program can hold
// them beside serwheel's routines of the same names; the driver image binds
// the core's identification hook to serfive::SelectProtocol.
#pragma once

#include "serial_core/device_state.h"

// Longest power-up answer read; the buffer holds one more byte for the 0
// written behind the last byte received.
#define FIVE_BYTE_ANSWER_LENGTH 255

namespace serfive {

// The one protocol: its decoder and the line control it runs at.
struct FiveByteProtocol {
    PacketDecoder* Decoder;
    SERIAL_LINE_CONTROL LineControl;
};

// Row 0: five-byte packets at 1 stop bit, no parity, 8 data bits (also the
// line control of identification).
extern const FiveByteProtocol FiveByteProtocolTable[1];

// Identifies the mouse and installs DecodeFiveByte, MOUSE_SERIAL_HARDWARE and
// three buttons; then switches the FIFO off and empties the receive buffer.
// STATUS_UNSUCCESSFUL, Decoder null and two buttons when no five-byte mouse
// answered (MouseIdentifier is then left as it was).
NTSTATUS SelectProtocol(DeviceState* Device);

// Powers the mouse up through the modem lines at 1200 baud, eight data bits,
// and looks for an 'H' in its answer: 1 when there is one, else 0 at once.
// Saves the port's own settings first.
UCHAR IdentifyMouse(DeviceState* Device);

// Sets the row's line control on the port (result ignored) and returns the
// row's decoder; null for a row the table does not have.
PacketDecoder* LookupProtocol(DeviceState* Device, UCHAR Row);

}  // namespace serfive
