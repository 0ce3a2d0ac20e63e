// serwheel's packet decoders: the three Microsoft-family protocols (seven data
// bits, sync bit 0x40) and the C-series protocol (eight data bits, sync bit
// 0x80). Each is a PacketDecoder: called by ReadCompletion once per received
// byte, constant time, no allocation, touching only the report and the
// decoder state it is given.
#pragma once

#include "serial_core/device_state.h"

// Three-byte packets of two- and three-button mice, with the optional fourth
// byte that carries the middle button. ByteIndex 0 to 3.
BOOLEAN DecodeThreeByte(DeviceState* Device, PMOUSE_INPUT_DATA Report, DecoderState* State, UCHAR Byte);

// Four-byte packets of the ballpoint mouse: 9-bit movement. ByteIndex 0 to 3.
BOOLEAN DecodeBallPoint(DeviceState* Device, PMOUSE_INPUT_DATA Report, DecoderState* State, UCHAR Byte);

// Four-byte packets of wheel mice with an optional fifth byte (8-bit wheel
// count); with NumberOfButtons 5 the fourth byte codes buttons 4 and 5
// instead. ByteIndex 0 to 4.
BOOLEAN DecodeWheel(DeviceState* Device, PMOUSE_INPUT_DATA Report, DecoderState* State, UCHAR Byte);

// Three-byte C-series packets: buttons and signs in the sync byte, then two
// magnitudes. ByteIndex 0 to 2.
BOOLEAN DecodeCSeries(DeviceState* Device, PMOUSE_INPUT_DATA Report, DecoderState* State, UCHAR Byte);
