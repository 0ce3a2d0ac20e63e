// Identification of Microsoft-family mice by their power-up answer, and the
// choice of protocol for whatever mouse was found.
#include "serwheel/identify.h"

#include "serial_core/serial_port.h"
#include "serwheel/decoders.h"

const MicrosoftProtocol MicrosoftProtocolTable[3] = {
    {DecodeThreeByte, {STOP_BIT_1, NO_PARITY, 7}},
    {DecodeBallPoint, {STOP_BIT_1, NO_PARITY, 7}},
    {DecodeWheel, {STOP_BIT_1, NO_PARITY, 7}},
};

namespace {

// The first byte of an answer waits this long; each later one this long
// after the one before it.
const ULONG FirstAnswerTimeout = 200;
const ULONG NextAnswerTimeout = 100;

// Finds the first 'M' or 'B' in the answer and classifies it. Answer holds
// Count bytes, bit 7 already cleared, and a 0 behind them, so looking one
// and two bytes past an 'M' never leaves the answer.
MouseKind ClassifyAnswer(const UCHAR* Answer, ULONG Count) {
    for (ULONG i = 0; i < Count; i++) {
        if (Answer[i] == 'B') return BallPointMouse;
        if (Answer[i] != 'M') continue;
        if (Answer[i + 1] == '3') return ThreeButtonMouse;
        if (Answer[i + 1] == 'Z') return Answer[i + 2] == 'D' ? ExtendedWheelMouse : WheelMouse;
        return TwoButtonMouse;
    }
    return NoMouse;
}

}  // namespace

PAGEABLE_ROUTINE MouseKind IdentifyMouse(DeviceState* Device) {
    PAGED_CODE();
    UCHAR answer[MOUSE_ANSWER_LENGTH + 1];
    ULONG count = 0;

    SaveSerialSettings(Device);
    PrepareMouseLines(Device);
    SetBaudRate(Device, 1200);
    SetLineControl(Device, &MicrosoftProtocolTable[0].LineControl);
    PurgeReceiveBuffer(Device);
    PowerCycleMouse(Device);

    SetReadTimeout(Device, FirstAnswerTimeout);
    if (NT_SUCCESS(ReadSerialByte(Device, &answer[0]))) {
        count = 1;
        // A gap longer than the timeout ends the answer; a device that never
        // stops talking is cut off when the buffer is full.
        SetReadTimeout(Device, NextAnswerTimeout);
        while (count < MOUSE_ANSWER_LENGTH) {
            if (!NT_SUCCESS(ReadSerialByte(Device, &answer[count]))) break;
            count++;
        }
    }
    answer[count] = 0;
    for (ULONG i = 0; i < count; i++) answer[i] &= 0x7F;

    MouseKind kind = ClassifyAnswer(answer, count);
    if (kind != NoMouse) {
        SetReadTimeout(Device, 0);
        return kind;
    }
    // Something talked, but not a mouse of this family: let it finish before
    // the C-series search writes to it.
    if (count > 0) TimerDelay(Device, SERIAL_DELAY_500_MS);
    return NoMouse;
}

PAGEABLE_ROUTINE PacketDecoder* LookupProtocol(DeviceState* Device, UCHAR Row) {
    PAGED_CODE();
    if (Row >= sizeof(MicrosoftProtocolTable) / sizeof(MicrosoftProtocolTable[0])) return nullptr;
    SetLineControl(Device, &MicrosoftProtocolTable[Row].LineControl);
    return MicrosoftProtocolTable[Row].Decoder;
}

namespace {

// What each Microsoft-family kind installs: its protocol row, identifier and
// button count. The extended wheel mouse shares the wheel decoder; five
// buttons make it read the extra ones.
struct MicrosoftSelection {
    UCHAR Row;
    USHORT MouseIdentifier;
    USHORT NumberOfButtons;
};

const MicrosoftSelection MicrosoftSelectionTable[] = {
    {0, MOUSE_SERIAL_HARDWARE, 2},       // TwoButtonMouse
    {0, MOUSE_SERIAL_HARDWARE, 3},       // ThreeButtonMouse
    {1, BALLPOINT_SERIAL_HARDWARE, 2},   // BallPointMouse
    {2, WHEELMOUSE_SERIAL_HARDWARE, 3},  // WheelMouse
    {2, WHEELMOUSE_SERIAL_HARDWARE, 5},  // ExtendedWheelMouse
};

}  // namespace

PAGEABLE_ROUTINE NTSTATUS SelectProtocol(DeviceState* Device) {
    PAGED_CODE();
    NTSTATUS status = STATUS_SUCCESS;
    PacketDecoder* decoder = nullptr;
    ULONG buttons = 2;

    MouseKind kind = IdentifyMouse(Device);
    if (kind >= TwoButtonMouse && kind <= ExtendedWheelMouse) {
        const MicrosoftSelection* selection = &MicrosoftSelectionTable[kind - TwoButtonMouse];
        decoder = LookupProtocol(Device, selection->Row);
        Device->Attributes.MouseIdentifier = selection->MouseIdentifier;
        buttons = selection->NumberOfButtons;
    } else if (DetectCSeries(Device, &buttons)) {
        // A C-series mouse keeps the MouseIdentifier it had.
        decoder = SelectCSeriesProtocol(Device, 0);
    } else {
        buttons = 2;
        status = STATUS_UNSUCCESSFUL;
    }
    Device->Decoder = decoder;
    Device->Attributes.NumberOfButtons = static_cast<USHORT>(buttons);

    if (NT_SUCCESS(status)) {
        // The read loop starts on an empty receive buffer with the FIFO off.
        SetFifoControl(Device, 0);
        PurgeReceiveBuffer(Device);
    }
    return status;
}
