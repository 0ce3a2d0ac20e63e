#include "windows/messages/serial_mouse_messages.h"

const sim::MessageTableEntry SerialMouseMessages[] = {
#include "serial_mouse_messages.inc"
};

const size_t SerialMouseMessageCount = sizeof(SerialMouseMessages) / sizeof(SerialMouseMessages[0]);
