// The per-device record of both serial mouse drivers (their device
// extension), the running state of the active protocol decoder, and the
// decoder contract.
#pragma once

#include "platform/kernel.h"

// Pool allocations and the remove lock of the serial drivers carry this tag.
#define SERIAL_MOUSE_POOL_TAG MAKE_POOL_TAG('M', 's', 'e', 'r')

struct DeviceState;

// Running state of the active decoder.
struct DecoderState {
    // Bytes of the current packet stored so far; where the next byte goes.
    ULONG ByteIndex;
    // RawButtons of the last report that delivery processed.
    ULONG PreviousButtons;
    // The current packet's bytes in arrival order.
    UCHAR Packet[5];
};

// A protocol decoder: called once per received byte with the device's Report
// and DecoderState; returns TRUE when Report holds a packet to deliver.
// Decoders write RawButtons, LastX and LastY (the wheel decoder also
// MOUSE_WHEEL and ButtonData), never block, allocate or fail.
typedef BOOLEAN PacketDecoder(DeviceState* Device, PMOUSE_INPUT_DATA Report, DecoderState* State, UCHAR Byte);

// Hand-over between the read loop and the read completion.
enum ReadCallStateValue : LONG {
    // The read loop has issued the current read and is still inside
    // IoCallDriver for it.
    ReadCallInProgress = 1,
    // No read loop is inside IoCallDriver; the completion of the outstanding
    // read starts the next read itself.
    ReadCallReturned = 2,
    // The read completed while the read loop was still inside IoCallDriver;
    // the loop issues the next read.
    ReadCompletedInCall = 3,
    // The read completed while the read loop was still inside IoCallDriver
    // with a status that ends reading; the loop issues nothing more and gives
    // back the remove-lock acquisition of reading.
    ReadEndedInCall = 4,
};

// The class driver's service callback, as the connection hands it over.
typedef VOID NTAPI MouseClassService(PDEVICE_OBJECT DeviceObject, PMOUSE_INPUT_DATA InputDataStart,
                                     PMOUSE_INPUT_DATA InputDataEnd, PULONG InputDataConsumed);

struct DeviceState {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT PhysicalDevice;
    IO_REMOVE_LOCK RemoveLock;
    volatile LONG ReadCallState;
    CONNECT_DATA ClassConnection;
    volatile LONG OpenCount;
    PIRP ReadRequest;
    PIRP WaitMaskRequest;
    ULONG WaitMaskResult;
    WMILIB_CONTEXT WmiContext;
    MOUSE_ATTRIBUTES Attributes;
    MOUSE_INPUT_DATA Report;
    KTIMER DelayTimer;
    ULONG WaitEventMask;
    ULONG InitialModemStatus;
    PacketDecoder* Decoder;
    struct DecoderState DecoderState;
    DEVICE_POWER_STATE PowerState;
    SERIAL_BASIC_SETTINGS SavedSerialSettings;
    BOOLEAN RemovePending;
    BOOLEAN Halted;
    BOOLEAN Started;
    BOOLEAN MouseLost;
    UCHAR ReadBuffer;
    BOOLEAN MonitorActive;
    BOOLEAN PoweringDown;
};
