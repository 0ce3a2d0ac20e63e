// The serial mouse drivers' event-message table, generated from the same
// message source as the drivers' message-table resource, for the simulated
// event log.
#pragma once

#include <cstddef>

#include "sim/error_log.h"

extern const sim::MessageTableEntry SerialMouseMessages[];
extern const size_t SerialMouseMessageCount;
