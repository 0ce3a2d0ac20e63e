// auxhook: an upper filter on the i8042 port driver's mouse device. It takes
// part in the port driver's mouse reset sequence to switch a mouse with the
// extended five-button mode into that mode, and rewrites each packet so that
// the port driver sees a standard five-button wheel mouse.
#pragma once

#include "platform/kernel.h"

// The filter device's extension.
typedef struct _FilterState {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT PhysicalDevice;
    PDEVICE_OBJECT LowerDevice;
    LONG OpenCount;  // interlocked only

    // From the port driver's hook request, as it passed down.
    PVOID UpperIsrContext;
    PI8042_MOUSE_ISR UpperIsrRoutine;
    PI8042_ISR_WRITE_PORT IsrWritePort;
    PVOID CallContext;
    PI8042_QUEUE_PACKET QueueMousePacket;  // never called

    // The class driver's connection; a service routine marks it connected.
    CONNECT_DATA ClassConnection;

    DEVICE_POWER_STATE PowerState;
    BOOLEAN Started;
    BOOLEAN SurpriseRemoved;
    BOOLEAN RemovePending;

    // Extended-mode activation and packet rewriting, owned by FilterIsrHook.
    const UCHAR* RateTable;
    UCHAR RateIndex;
    USHORT StepAfterRates;
    SHORT ResendCount;
    ULONG ActivationStep;
    UCHAR DeviceId;
    UCHAR SavedFirstByte;
    BOOLEAN ActivationDone;
    // Activations since the last reset the port driver began on its own
    // that ended in a reset before they were done.
    UCHAR FailedActivations;
} FilterState;

// Steps of the filter's own command sequence (ActivationStep).
enum {
    ActivationStart = 26,
    AwaitRateCommandAck = 16,
    AwaitRateValueAck = 17,
    RatesDone = 1003,
    AwaitGetIdAck = 27,
    AwaitExtendedId = 28
};

// PS/2 mouse bytes.
#define PS2_SET_SAMPLE_RATE 0xF3
#define PS2_GET_DEVICE_ID 0xF2
#define PS2_RESET 0xFF
#define PS2_ACK 0xFA
#define PS2_RESEND 0xFE

// Device IDs.
#define FIVE_BUTTON_WHEEL_ID 4
#define EXTENDED_MODE_ID 5
#define NO_DEVICE_ID 0xFF

// Consecutive RESENDs answered by resending; the next one gets a reset.
#define FILTER_RESEND_LIMIT 4

// Failed activations after which the filter leaves the mouse in the mode the
// port driver finds, until the port driver resets it again on its own.
#define FILTER_ACTIVATION_LIMIT 3

// The first byte a mouse sends after it has reset itself (plugged in), before
// its ID 0x00.
#define PS2_SELF_TEST_PASSED 0xAA

// The sample rates that switch a mouse into the extended mode, zero-terminated.
extern const UCHAR ExtendedModeRates[5];

extern "C" {

DRIVER_INITIALIZE DriverEntry;
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT PhysicalDevice);
NTSTATUS NTAPI FilterPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI FilterCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI FilterInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI FilterPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI FilterPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI StartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID NTAPI FilterUnload(PDRIVER_OBJECT Driver);
VOID NTAPI FilterServiceCallback(PDEVICE_OBJECT DeviceObject, PMOUSE_INPUT_DATA InputDataStart,
                                 PMOUSE_INPUT_DATA InputDataEnd, PULONG InputDataConsumed);
BOOLEAN NTAPI FilterIsrHook(PVOID IsrContext, PMOUSE_INPUT_DATA CurrentInput, POUTPUT_PACKET CurrentOutput,
                            UCHAR StatusByte, PUCHAR Byte, PBOOLEAN ContinueProcessing, PMOUSE_STATE MouseState,
                            PMOUSE_RESET_SUBSTATE ResetSubState);

}  // extern "C"
