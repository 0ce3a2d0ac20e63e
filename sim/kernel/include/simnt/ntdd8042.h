// The i8042 port driver's internal interface: the request through which
// filters above the port driver's mouse device install a hook into its
// interrupt handling, the hook's signature, and the port driver's mouse state
// and reset sub-state values that a hook reads and writes. Names, layouts and
// numbering are the platform's.
#pragma once

#include "simnt/ntddmou.h"

#define IOCTL_INTERNAL_I8042_HOOK_MOUSE CTL_CODE(FILE_DEVICE_MOUSE, 0x0FF0, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_I8042_MOUSE_WRITE_BUFFER CTL_CODE(FILE_DEVICE_MOUSE, 0x0FF1, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_I8042_MOUSE_START_INFORMATION \
    CTL_CODE(FILE_DEVICE_MOUSE, 0x0FF3, METHOD_NEITHER, FILE_ANY_ACCESS)

typedef enum _TRANSMIT_STATE { Idle = 0, SendingBytes } TRANSMIT_STATE;

// The bytes the port driver is sending to the device.
typedef struct _OUTPUT_PACKET {
    PUCHAR Bytes;
    ULONG CurrentByte;
    ULONG ByteCount;
    TRANSMIT_STATE State;
} OUTPUT_PACKET, *POUTPUT_PACKET;

// Where the port driver stands with the mouse: which byte of a packet it
// expects next, or that it waits for an acknowledgement or runs a reset.
typedef enum _MOUSE_STATE {
    MouseIdle = 0,
    XMovement,
    YMovement,
    ZMovement,
    MouseExpectingACK,
    MouseResetting
} MOUSE_STATE, *PMOUSE_STATE;

// The steps of the port driver's mouse reset sequence.
typedef enum _MOUSE_RESET_SUBSTATE {
    ExpectingReset = 0,
    ExpectingResetId,
    ExpectingGetDeviceIdACK,
    ExpectingGetDeviceIdValue,
    ExpectingSetResolutionDefaultACK,
    ExpectingSetResolutionDefaultValueACK,
    ExpectingSetResolutionACK,
    ExpectingSetResolutionValueACK,
    ExpectingSetScaling1to1ACK,
    ExpectingSetScaling1to1ACK2,
    ExpectingSetScaling1to1ACK3,
    ExpectingReadMouseStatusACK,
    ExpectingReadMouseStatusByte1,
    ExpectingReadMouseStatusByte2,
    ExpectingReadMouseStatusByte3,
    StartPnPIdDetection,
    ExpectingLoopSetSamplingRateACK,
    ExpectingLoopSetSamplingRateValueACK,
    ExpectingPnpIdByte1,
    ExpectingPnpIdByte2,
    ExpectingPnpIdByte3,
    ExpectingPnpIdByte4,
    ExpectingPnpIdByte5,
    ExpectingPnpIdByte6,
    ExpectingPnpIdByte7,
    EnableWheel,
    Enable5Buttons,
    ExpectingGetDeviceId2ACK,
    ExpectingGetDeviceId2Value,
    ExpectingSetSamplingRateACK,
    ExpectingSetSamplingRateValueACK,
    ExpectingEnableACK,
    ExpectingFinalResolutionACK,
    ExpectingFinalResolutionValueACK,
    ExpectingGetDeviceIdDetectACK,
    ExpectingGetDeviceIdDetectValue,
    CustomHookStateMinimum = 100,
    CustomHookStateMaximum = 999,
    I8042ReservedMinimum = 1000
} MOUSE_RESET_SUBSTATE, *PMOUSE_RESET_SUBSTATE;

// Writes one byte to the mouse from inside the interrupt service routine.
typedef VOID(NTAPI* PI8042_ISR_WRITE_PORT)(PVOID Context, UCHAR Value);
// Queues the packet the port driver has built for delivery at DISPATCH_LEVEL.
typedef VOID(NTAPI* PI8042_QUEUE_PACKET)(PVOID Context);

// Called by the port driver's mouse interrupt service routine for every byte
// from the mouse, before the port driver looks at the byte.
typedef BOOLEAN(NTAPI* PI8042_MOUSE_ISR)(PVOID IsrContext, PMOUSE_INPUT_DATA CurrentInput,
                                          POUTPUT_PACKET CurrentOutput, UCHAR StatusByte, PUCHAR Byte,
                                          PBOOLEAN ContinueProcessing, PMOUSE_STATE MouseState,
                                          PMOUSE_RESET_SUBSTATE ResetSubState);

// The hook request's buffer. Filters fill Context and IsrRoutine on the way
// down; the port driver fills the other three before it sends the request.
typedef struct _INTERNAL_I8042_HOOK_MOUSE {
    PVOID Context;
    PI8042_MOUSE_ISR IsrRoutine;
    PI8042_ISR_WRITE_PORT IsrWritePort;
    PI8042_QUEUE_PACKET QueueMousePacket;
    PVOID CallContext;
} INTERNAL_I8042_HOOK_MOUSE, *PINTERNAL_I8042_HOOK_MOUSE;
