// Identification of a five-byte mouse by its power-up answer, and the
// installation of its protocol.
#include "serfive/identify.h"

#include "serfive/decoders.h"
#include "serial_core/serial_port.h"

namespace serfive {

const FiveByteProtocol FiveByteProtocolTable[1] = {
    {DecodeFiveByte, {STOP_BIT_1, NO_PARITY, 8}},
};

namespace {

// The first byte of an answer waits this long; each later one this long
// after the one before it.
const ULONG FirstAnswerTimeout = 200;
const ULONG NextAnswerTimeout = 100;

// Reads the power-up answer into Answer (room for FIVE_BYTE_ANSWER_LENGTH
// bytes and a 0 behind them) and returns how many bytes came. A gap longer
// than the timeout ends the answer; a device that never stops talking is cut
// off when the buffer is full.
ULONG ReadAnswer(DeviceState* Device, UCHAR* Answer) {
    ULONG count = 0;
    SetReadTimeout(Device, FirstAnswerTimeout);
    if (NT_SUCCESS(ReadSerialByte(Device, &Answer[0]))) {
        count = 1;
        SetReadTimeout(Device, NextAnswerTimeout);
        while (count < FIVE_BYTE_ANSWER_LENGTH) {
            if (!NT_SUCCESS(ReadSerialByte(Device, &Answer[count]))) break;
            count++;
        }
    }
    Answer[count] = 0;
    return count;
}

}  // namespace

PAGEABLE_ROUTINE UCHAR IdentifyMouse(DeviceState* Device) {
    PAGED_CODE();
    UCHAR answer[FIVE_BYTE_ANSWER_LENGTH + 1];

    SaveSerialSettings(Device);
    PrepareMouseLines(Device);
    SetBaudRate(Device, 1200);
    SetLineControl(Device, &FiveByteProtocolTable[0].LineControl);
    PurgeReceiveBuffer(Device);
    PowerCycleMouse(Device);

    ULONG count = ReadAnswer(Device, answer);
    for (ULONG i = 0; i < count; i++) {
        // Only the low seven bits identify; the bytes around the 'H' do not
        // matter.
        if ((answer[i] & 0x7F) == 'H') {
            SetReadTimeout(Device, 0);
            return 1;
        }
    }
    // No five-byte mouse: the start fails at once, whatever did answer.
    return 0;
}

PAGEABLE_ROUTINE PacketDecoder* LookupProtocol(DeviceState* Device, UCHAR Row) {
    PAGED_CODE();
    if (Row >= sizeof(FiveByteProtocolTable) / sizeof(FiveByteProtocolTable[0])) return nullptr;
    SetLineControl(Device, &FiveByteProtocolTable[Row].LineControl);
    return FiveByteProtocolTable[Row].Decoder;
}

PAGEABLE_ROUTINE NTSTATUS SelectProtocol(DeviceState* Device) {
    PAGED_CODE();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PacketDecoder* decoder = nullptr;
    USHORT buttons = 2;

    if (IdentifyMouse(Device) == 1) {
        decoder = LookupProtocol(Device, 0);
        Device->Attributes.MouseIdentifier = MOUSE_SERIAL_HARDWARE;
        buttons = 3;
        status = STATUS_SUCCESS;
    }
    Device->Decoder = decoder;
    Device->Attributes.NumberOfButtons = buttons;

    if (NT_SUCCESS(status)) {
        // The read loop starts on an empty receive buffer with the FIFO off.
        SetFifoControl(Device, 0);
        PurgeReceiveBuffer(Device);
    }
    return status;
}

}  // namespace serfive
