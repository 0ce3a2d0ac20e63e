// The Microsoft-family decoders. All three protocols share the first three
// bytes of a packet:
//   byte 0: 0x40 sync | 0x20 left | 0x10 right | Y7 Y6 | X7 X6
//   byte 1: X5..X0     byte 2: Y5..Y0
// A byte with 0x40 set can only be byte 0: it always starts a new packet, and
// a byte without it is dropped where a packet must begin.
#include "serwheel/decoders.h"

namespace {

const UCHAR SyncBit = 0x40;
const UCHAR LeftButtonBit = 0x20;
const UCHAR RightButtonBit = 0x10;

// Extended wheel mouse: byte 3 announces buttons 4 and 5 with this bit.
const UCHAR ExtensionBit = 0x20;
const UCHAR WheelMiddleBit = 0x10;
const ULONG MiddleRawBit = 0x4;
const ULONG Button4RawBit = 0x8;
const ULONG Button5RawBit = 0x10;

// One step of the wheel, as the class driver counts it.
const USHORT WheelStepForward = 120;
const USHORT WheelStepBackward = (USHORT)-120;

LONG SignExtend8(ULONG Value) { return (LONG)((Value & 0xFF) ^ 0x80) - 0x80; }
LONG SignExtend9(ULONG Value) { return (LONG)((Value & 0x1FF) ^ 0x100) - 0x100; }

// Left and right from byte 0, in raw bits 0 and 1.
ULONG LeftRight(const UCHAR* Packet) {
    return ((Packet[0] & LeftButtonBit) ? 0x1u : 0u) | ((Packet[0] & RightButtonBit) ? 0x2u : 0u);
}

// The 8-bit movement of the three-byte and wheel protocols. Bits 7 and 6 of
// bytes 1 and 2 carry nothing (the sync bit and, on a seven-bit line, always
// 0) and never change the result.
void SetMovement8(PMOUSE_INPUT_DATA Report, const UCHAR* Packet) {
    Report->LastX = SignExtend8(((ULONG)(Packet[0] & 0x03) << 6) | (Packet[1] & 0x3F));
    Report->LastY = SignExtend8(((ULONG)(Packet[0] & 0x0C) << 4) | (Packet[2] & 0x3F));
}

// The common sync rule. Stores the byte at ByteIndex and returns TRUE, or
// drops it and returns FALSE.
BOOLEAN StoreByte(DecoderState* State, UCHAR Byte) {
    if (Byte & SyncBit) {
        State->ByteIndex = 0;
    } else if (State->ByteIndex == 0) {
        return FALSE;
    }
    State->Packet[State->ByteIndex] = Byte;
    return TRUE;
}

// A decoder takes over whatever ByteIndex the previous one left; a position
// this protocol does not have begins a new packet.
void ClampByteIndex(DecoderState* State, ULONG Last) {
    if (State->ByteIndex > Last) State->ByteIndex = 0;
}

// Buttons 4 and 5 of the extended wheel mouse from byte 3 bits 3-0.
ULONG ExtendedButtons(UCHAR Code) {
    switch (Code & 0x0F) {
    case 0x0: return Button4RawBit | Button5RawBit;
    case 0x1: return Button4RawBit;
    case 0xF: return Button5RawBit;
    default: return 0;
    }
}

}  // namespace

// ByteIndex 3 means a packet was reported and the next byte is either the
// middle-button byte (no sync bit, 0x20 = middle pressed) or the next
// packet's sync byte. The middle button's state lives in bit 2 of the
// report's RawButtons, which between packets equals PreviousButtons.
RESIDENT_ROUTINE BOOLEAN DecodeThreeByte(DeviceState* Device, PMOUSE_INPUT_DATA Report, DecoderState* State,
                                         UCHAR Byte) {
    ClampByteIndex(State, 3);
    if ((Byte & SyncBit) && State->ByteIndex == 3) {
        // The mouse sends the middle-button byte after every packet while the
        // middle button is down; a packet without it means the button is up.
        // The next packet carries the release, so the class driver hears it.
        Report->RawButtons &= ~MiddleRawBit;
    }
    if (!StoreByte(State, Byte)) return FALSE;

    ULONG position = State->ByteIndex;
    if (position < 2) {
        State->ByteIndex = position + 1;
        return FALSE;
    }
    if (position == 2) {
        State->ByteIndex = 3;
        Report->RawButtons = LeftRight(State->Packet) | (Report->RawButtons & MiddleRawBit);
        SetMovement8(Report, State->Packet);
        return TRUE;
    }

    // The middle-button byte: a record of its own when the button changed.
    State->ByteIndex = 0;
    BOOLEAN middle = (Byte & 0x20) != 0;
    BOOLEAN wasMiddle = (State->PreviousButtons & MiddleRawBit) != 0;
    if (middle == wasMiddle) return FALSE;
    Report->RawButtons ^= MiddleRawBit;
    Report->LastX = 0;
    Report->LastY = 0;
    return TRUE;
}

// Byte 3 bit 0 is X bit 8 and bit 1 is Y bit 8; its other bits are ignored.
RESIDENT_ROUTINE BOOLEAN DecodeBallPoint(DeviceState* Device, PMOUSE_INPUT_DATA Report, DecoderState* State,
                                         UCHAR Byte) {
    ClampByteIndex(State, 3);
    if (!StoreByte(State, Byte)) return FALSE;

    ULONG position = State->ByteIndex;
    if (position < 3) {
        State->ByteIndex = position + 1;
        return FALSE;
    }
    State->ByteIndex = 0;
    const UCHAR* packet = State->Packet;
    Report->RawButtons = LeftRight(packet);
    Report->LastX = SignExtend9(((ULONG)(packet[3] & 0x01) << 8) | ((ULONG)(packet[0] & 0x03) << 6) |
                                (packet[1] & 0x3F));
    Report->LastY = SignExtend9(((ULONG)(packet[3] & 0x02) << 7) | ((ULONG)(packet[0] & 0x0C) << 4) |
                                (packet[2] & 0x3F));
    return TRUE;
}

// Byte 3: 0x20 extension | 0x10 middle | bits 3-0 wheel count (4-bit signed).
// With the extension bit a fifth byte brings bits 7-4 of an 8-bit count, or,
// on an extended mouse (NumberOfButtons 5), bits 3-0 code buttons 4 and 5 and
// the packet has no wheel movement and no fifth byte. Every packet with wheel
// movement is one step, its direction opposite to the count's sign.
RESIDENT_ROUTINE BOOLEAN DecodeWheel(DeviceState* Device, PMOUSE_INPUT_DATA Report, DecoderState* State,
                                     UCHAR Byte) {
    ClampByteIndex(State, 4);
    if (!StoreByte(State, Byte)) return FALSE;

    BOOLEAN extended = Device->Attributes.NumberOfButtons == 5;
    UCHAR* packet = State->Packet;
    ULONG position = State->ByteIndex;
    if (position < 3) {
        State->ByteIndex = position + 1;
        return FALSE;
    }
    if (position == 3) {
        if ((packet[3] & ExtensionBit) && !extended) {
            State->ByteIndex = 4;
            return FALSE;
        }
        packet[4] = 0;
    }
    State->ByteIndex = 0;

    ULONG buttons = LeftRight(packet) | ((packet[3] & WheelMiddleBit) ? MiddleRawBit : 0);
    if ((packet[3] & ExtensionBit) && extended) {
        buttons |= ExtendedButtons(packet[3]);
        packet[3] &= 0xD0;  // the button code is no wheel movement
    }
    Report->RawButtons = buttons;
    SetMovement8(Report, packet);

    LONG count;
    if (packet[3] & ExtensionBit) {
        count = SignExtend8(((ULONG)packet[4] << 4) | (packet[3] & 0x0F));
    } else {
        count = SignExtend8((packet[3] & 0x08) ? (packet[3] | 0xF0u) : (packet[3] & 0x0Fu));
    }
    if (count == 0) {
        Report->ButtonData = 0;
    } else {
        Report->ButtonFlags |= MOUSE_WHEEL;
        Report->ButtonData = count < 0 ? WheelStepForward : WheelStepBackward;
    }
    return TRUE;
}
