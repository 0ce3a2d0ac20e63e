// The five-byte decoder. A packet:
//   byte 0: sync 0x80..0x87, bits 2, 1, 0 = left, right, middle, 0 = pressed
//   bytes 1, 2: first X and Y movement; bytes 3, 4: second X and Y movement,
//   each signed 8-bit, Y pointing up (reported negated).
// A byte between 0x80 and 0x87 always starts a new packet, so movement bytes
// in that range cannot be sent; any other byte is dropped where a packet must
// begin.
#include "serfive/decoders.h"

namespace {

LONG Signed8(UCHAR Value) { return (LONG)(Value ^ 0x80) - 0x80; }

}  // namespace

RESIDENT_ROUTINE BOOLEAN DecodeFiveByte(DeviceState* Device, PMOUSE_INPUT_DATA Report, DecoderState* State,
                                        UCHAR Byte) {
    // A position this protocol does not have begins a new packet.
    if (State->ByteIndex > 4) State->ByteIndex = 0;
    if ((Byte & 0xF8) == 0x80) {
        State->ByteIndex = 0;
    } else if (State->ByteIndex == 0) {
        return FALSE;
    }
    ULONG position = State->ByteIndex;
    const UCHAR* packet = State->Packet;
    State->Packet[position] = Byte;

    switch (position) {
    case 2: {
        UCHAR sync = packet[0];
        Report->RawButtons = ((((ULONG)sync >> 2) & 1) | (((ULONG)sync & 1) << 2) | ((ULONG)sync & 2)) ^ 7;
        Report->LastX = Signed8(packet[1]);
        Report->LastY = -Signed8(packet[2]);
        State->ByteIndex = 3;
        return TRUE;
    }
    case 4:
        // Delivery made PreviousButtons the first report's buttons: the
        // second report moves only.
        Report->RawButtons = State->PreviousButtons;
        Report->LastX = Signed8(packet[3]);
        Report->LastY = -Signed8(packet[4]);
        State->ByteIndex = 0;
        return TRUE;
    default:
        State->ByteIndex = position + 1;
        return FALSE;
    }
}
