// How mousesim shows what happened: text for people, JSON lines for programs.
#pragma once

#include <cstdio>
#include <string>

#include "sim/kernel.h"

namespace mousesim {

enum class Format { Text, Jsonl };

// Parses "text" or "jsonl"; false for anything else.
bool ParseFormat(const std::string& name, Format* format);

// One record as the class driver received it. Text: movement, the buttons
// pressed and released by name, wheel steps. JSON: the fields of
// MOUSE_INPUT_DATA under their own names, each the value the record holds.
std::string FormatRecord(const MOUSE_INPUT_DATA& record, Format format, sim::Ticks time);

// Names of the button transitions in a ButtonFlags word, e.g. "left down, wheel".
std::string DescribeButtonFlags(USHORT flags);

// A JSON string literal.
std::string JsonString(const std::string& text);

// Milliseconds of virtual time, e.g. 12.5.
std::string FormatMilliseconds(sim::Ticks time);

}  // namespace mousesim
