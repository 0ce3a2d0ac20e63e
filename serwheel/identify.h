// serwheel's identification: which mouse answers on the port, and everything
// that depends on it (decoder, mouse type, button count, line control).
// Everything here runs at PASSIVE_LEVEL on the thread that starts the device,
// while neither the read loop nor the removal monitor is active.
#pragma once

#include "serial_core/device_state.h"

// What a Microsoft-family mouse's power-up answer says it is.
enum MouseKind : UCHAR {
    NoMouse = 0,             // no byte, or neither 'M' nor 'B' in the answer
    TwoButtonMouse = 1,      // 'M' followed by anything but '3' or 'Z'
    ThreeButtonMouse = 2,    // "M3"
    BallPointMouse = 3,      // 'B'
    WheelMouse = 4,          // "MZ" followed by anything but 'D'
    ExtendedWheelMouse = 5,  // "MZD"
};

// Longest power-up answer read; the buffer holds one more byte for the 0
// written behind the last byte received.
#define MOUSE_ANSWER_LENGTH 255

// A Microsoft-family protocol: its decoder and the line control it runs at.
struct MicrosoftProtocol {
    PacketDecoder* Decoder;
    SERIAL_LINE_CONTROL LineControl;
};

// Row 0 three-byte (also the line control of identification), row 1
// ballpoint, row 2 wheel.
extern const MicrosoftProtocol MicrosoftProtocolTable[3];

// Identifies the mouse and installs its decoder, MouseIdentifier (C-series:
// left as it was) and NumberOfButtons; then switches the FIFO off and empties
// the receive buffer. STATUS_UNSUCCESSFUL, Decoder null and two buttons when
// neither a Microsoft-family nor a C-series mouse answered.
NTSTATUS SelectProtocol(DeviceState* Device);

// Powers the mouse up through the modem lines at 1200 baud, seven data bits,
// and classifies its answer. Saves the port's own settings first.
MouseKind IdentifyMouse(DeviceState* Device);

// Sets the row's line control on the port (result ignored) and returns the
// row's decoder; null for a row the table does not have.
PacketDecoder* LookupProtocol(DeviceState* Device, UCHAR Row);

// ---- C-series mice: silent at power-up, driven by one-character commands
// at their current baud.

// Baud rates searched for a C-series mouse, in order.
extern const ULONG CSeriesBaudScan[4];

// A C-series packet format: the command that selects it, its line control,
// and its decoder (only row 0's format is decoded).
struct CSeriesProtocol {
    CHAR Command;
    SERIAL_LINE_CONTROL LineControl;
    PacketDecoder* Decoder;
};
extern const CSeriesProtocol CSeriesProtocolTable[6];

// Report-rate commands with the smallest rate each stands for, ascending.
struct CSeriesRate {
    CHAR Command;
    UCHAR MinimumRate;
};
extern const CSeriesRate CSeriesRateTable[9];

// Baud-rate command strings with the baud each sets, ascending.
struct CSeriesBaud {
    CHAR Command[3];  // two characters and the terminator
    ULONG BaudRate;
};
extern const CSeriesBaud CSeriesBaudTable[4];

// Searches the bauds of CSeriesBaudScan for a mouse answering the status
// query; asks a mouse found for its button count (2 or 3) into *ButtonCount
// (written only when one was found). Whether or not one answered, ends with
// the mouse commanded to 1200 baud and 150 reports a second and the port at
// 1200 baud, eight data bits.
BOOLEAN DetectCSeries(DeviceState* Device, PULONG ButtonCount);

// Writes the row's command, sets the row's line control (results ignored)
// and returns the row's decoder; null for a row the table does not have.
PacketDecoder* SelectCSeriesProtocol(DeviceState* Device, UCHAR Row);

// Writes the command of the highest rate not above Rate.
NTSTATUS SetCSeriesReportRate(DeviceState* Device, UCHAR Rate);

// Commands the mouse (at the port's current baud) to the highest baud of
// CSeriesBaudTable not above BaudRate, then moves the port there and gives
// the mouse 2 ms. Below 1200 only the prompt-mode command is written.
NTSTATUS SetCSeriesBaudRate(DeviceState* Device, ULONG BaudRate);
