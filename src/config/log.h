// The daily log file.
#pragma once

#include "platform/compiler.h"

namespace stow {

// Formats a message in the manner of printf and appends it, stamped with the
// local time, to the day's log file in the "LogPath" folder. Messages carry
// their own line ends. Writes the log file's path to standard output, and a
// failure message there when the file cannot be opened. Never throws.
void WriteLogBufferToFile(const char* format, ...) STOW_PRINTF_FORMAT(1, 2);

// Clock of the log's time stamps; tests replace it. Null restores the system
// clock.
void SetLogClockForTesting(long long (*clock)());

}  // namespace stow
