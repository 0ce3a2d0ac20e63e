// The C-series decoder. A packet:
//   byte 0: 0x80 sync | 0x10 X positive | 0x08 Y negative | 0x04 left |
//           0x02 middle | 0x01 right
//   byte 1: X magnitude (7 bits)   byte 2: Y magnitude (7 bits)
// Any byte with 0x80 set starts a new packet; a byte without it is dropped
// where a packet must begin.
#include "serwheel/decoders.h"

RESIDENT_ROUTINE BOOLEAN DecodeCSeries(DeviceState* Device, PMOUSE_INPUT_DATA Report, DecoderState* State,
                                       UCHAR Byte) {
    // A position this protocol does not have (left by another decoder)
    // begins a new packet.
    if (State->ByteIndex > 2) State->ByteIndex = 0;
    if (Byte & 0x80) {
        State->ByteIndex = 0;
    } else if (State->ByteIndex == 0) {
        return FALSE;
    }
    ULONG position = State->ByteIndex;
    State->Packet[position] = Byte;
    if (position < 2) {
        State->ByteIndex = position + 1;
        return FALSE;
    }
    State->ByteIndex = 0;

    UCHAR header = State->Packet[0];
    Report->RawButtons = ((header & 0x04) ? 0x1u : 0u) | ((header & 0x01) ? 0x2u : 0u) | ((header & 0x02) ? 0x4u : 0u);
    LONG x = State->Packet[1] & 0x7F;
    LONG y = State->Packet[2] & 0x7F;
    Report->LastX = (header & 0x10) ? x : -x;
    Report->LastY = (header & 0x08) ? -y : y;
    return TRUE;
}
