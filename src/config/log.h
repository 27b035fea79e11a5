// The daily log file.
#pragma once

#include <string>

#include "platform/compiler.h"

namespace stow {

// Formats a message in the manner of printf and appends it, stamped with the
// local time, to the day's log file in the "LogPath" folder. Messages carry
// their own line ends. Writes nothing to the process's standard output: that
// belongs to the host program. Only when the settings file asks for it
// ("[Log]" "EchoToStdout=1", as ReadLogOptions last read it) does it write
// the log file's path there for every line, and a failure message when the
// file cannot be opened. Never throws.
void WriteLogBufferToFile(const char* format, ...) STOW_PRINTF_FORMAT(1, 2);

// Reads the log's options from the settings file; done with the cache
// settings (GetCacheSettings), so at every initialisation.
void ReadLogOptions();

// Today's log file: the "LogPath" folder and "Stowmaster_YYYYMMDD.LOG".
std::string LogFilePath();

// True when today's log file can be opened for appending (it is created,
// empty, when missing).
bool LogFileWritable();

// Clock of the log's time stamps; tests replace it. Null restores the system
// clock.
void SetLogClockForTesting(long long (*clock)());

}  // namespace stow
