// Serial port control: everything a serial mouse driver does to its port goes
// as a request to the serial port driver below it (LowerDevice). Every
// operation here is synchronous: it returns once the port has completed its
// request, so all of them run at PASSIVE_LEVEL only (SignalEventCompletion,
// a completion routine, excepted).
#pragma once

#include "serial_core/device_state.h"

// Fixed delays of identification, as relative due times in 100-ns units.
#define SERIAL_DELAY_2_MS (-20000L)
#define SERIAL_DELAY_175_MS (-1750000L)
#define SERIAL_DELAY_200_MS (-2000000L)
#define SERIAL_DELAY_500_MS (-5000000L)

// ---- generic requests

// The event and status block an operation passes to each of its requests,
// on the calling thread's stack.
struct SerialRequestContext {
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
};

// A NotificationEvent, not signalled, and a cleared status block.
void InitializeSerialRequestContext(SerialRequestContext* Context);

// Sends one device-control request (internal when Internal is TRUE) to Device
// and waits for it. The request is built by the I/O manager, which frees it,
// copies the status into IoStatus and signals Event at completion; Event is
// cleared here before the request goes out. Returns the call's status when it
// failed, else the request's final status; STATUS_INSUFFICIENT_RESOURCES when
// the request could not be built.
NTSTATUS SendSerialRequest(BOOLEAN Internal, ULONG IoControlCode, PDEVICE_OBJECT Device, PKEVENT Event,
                           PIO_STATUS_BLOCK IoStatus, PVOID InputBuffer, ULONG InputBufferLength,
                           PVOID OutputBuffer, ULONG OutputBufferLength);

// SendSerialRequest without buffers: DTR/RTS and the enumerator's
// remove-self request.
NTSTATUS SendSerialCommand(BOOLEAN Internal, ULONG IoControlCode, PDEVICE_OBJECT Device, PKEVENT Event,
                           PIO_STATUS_BLOCK IoStatus);

// Completion routine whose Context is a KEVENT: signals it and keeps the
// request (STATUS_MORE_PROCESSING_REQUIRED). Up to DISPATCH_LEVEL.
extern "C" NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// ---- port configuration (each one public request)

NTSTATUS SetBaudRate(DeviceState* Device, ULONG BaudRate);
// Sends the three bytes StopBits, Parity, WordLength unchanged.
NTSTATUS SetLineControl(DeviceState* Device, const SERIAL_LINE_CONTROL* LineControl);
// 0: no read timeouts (a read waits for its byte). Otherwise a one-byte read
// returns at once with a buffered byte, else waits up to Milliseconds for one
// and completes with STATUS_TIMEOUT. Writes never time out.
NTSTATUS SetReadTimeout(DeviceState* Device, ULONG Milliseconds);
NTSTATUS PurgeReceiveBuffer(DeviceState* Device);
NTSTATUS SetFifoControl(DeviceState* Device, UCHAR Value);

// ---- reading (on ReadRequest; only while the read loop has no read out)

// Reads up to Count bytes, one request per byte, straight into Buffer. Ends
// early with the status of a read that failed, timed out or delivered
// nothing; *Got is the number of bytes delivered.
NTSTATUS ReadSerialBytes(DeviceState* Device, PUCHAR Buffer, USHORT Count, PUSHORT Got);
// One byte: a failure of the port is returned unchanged, a missing byte is
// STATUS_UNSUCCESSFUL (and *Byte is left alone).
NTSTATUS ReadSerialByte(DeviceState* Device, PUCHAR Byte);

// ---- writing (built into serwheel only, the one driver that commands its
// mouse)

NTSTATUS WriteSerial(DeviceState* Device, PVOID Buffer, ULONG Length, PIO_STATUS_BLOCK IoStatus);
NTSTATUS WriteSerialChar(DeviceState* Device, CHAR Character);
// Writes the characters before the terminator.
NTSTATUS WriteSerialString(DeviceState* Device, const CHAR* String);

// ---- waiting

// Waits Interval (negative: relative, in 100-ns units) on DelayTimer.
NTSTATUS TimerDelay(DeviceState* Device, LONG Interval);

// ---- the port's own settings

// Keeps the port's settings in SavedSerialSettings and puts the port into
// basic settings; falls back to the separate timeout and flow-control
// requests when the port refuses the internal request.
NTSTATUS SaveSerialSettings(DeviceState* Device);
// Gives the port back SavedSerialSettings, with the same fallback.
NTSTATUS RestoreSerialSettings(DeviceState* Device);

// ---- modem-line sequences that power the mouse

// DTR up, RTS down, 200 ms.
NTSTATUS PrepareMouseLines(DeviceState* Device);
// Both lines down, 200 ms, DTR up, 200 ms, RTS up, 175 ms.
NTSTATUS PowerCycleMouse(DeviceState* Device);
// serwheel only: DTR and RTS up; 500 ms more when both CTS and DSR changed.
// Returns the status of the modem-status request.
NTSTATUS PowerUpCSeriesMouse(DeviceState* Device);
