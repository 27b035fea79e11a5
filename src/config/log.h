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

// Keeps the day's log file open while it lives, so that the lines written
// meanwhile, by any thread of the process, are appended without an open and
// a close each; the "LogPath" folder is read once, at the first line. Each
// line is still one append, a line of another day goes to that day's file,
// and the file is opened with the refusals of every log line. Holds may
// overlap; the file is closed when the last one goes. Meant for the length
// of one pass: between passes the file is left closed for other users and
// for rotation. Never throws.
class LogHold {
 public:
  LogHold();
  ~LogHold();
  LogHold(const LogHold&) = delete;
  LogHold& operator=(const LogHold&) = delete;
};

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
