// serfive's packet decoder.
#pragma once

#include "serial_core/device_state.h"

// Five-byte packets (sync byte 0x80 to 0x87 with inverted buttons, then two
// X/Y movement pairs), reported twice: after the third byte with the buttons
// and the first movement, after the fifth with the second movement.
// ByteIndex 0 to 4.
BOOLEAN DecodeFiveByte(DeviceState* Device, PMOUSE_INPUT_DATA Report, DecoderState* State, UCHAR Byte);
