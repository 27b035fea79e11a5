// What the stowmaster program needs of the system it runs on, written once
// per system: program_posix.cc and program_win32.cc, one of which the build
// picks. The program itself holds no system header and no #if.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace stow_program {

// The library's file name, as the system's loader looks it up on its own
// paths.
extern const char kLibraryName[];

// The folder of this program's file, links resolved, with a trailing
// separator; empty when it cannot be had.
std::string ProgramDir();

// The files the installed library may be, in the order tried, for a program
// in the folder `dir` (ProgramDir()).
std::vector<std::string> LibraryCandidates(const std::string& dir);

bool Readable(const std::string& path);

// The file the loaded code at `address` comes from, links resolved; "?" when
// it cannot be told.
std::string FileOfAddress(void* address);

bool StderrIsTerminal();

// `path` as an absolute path, as the index spells the paths it lists: a
// relative path taken from the current folder, runs of separators folded
// into one, "." names dropped and ".." names folded with the name before.
// `path` itself when the current folder cannot be had.
std::string AbsolutePath(const std::string& path);

// Keeps the standard output for the program's own output: returns a new
// stream on it, and points the standard output of everything else in the
// process (the library's log echo, "EchoToStdout=1") to the standard error.
// The standard output itself when that cannot be done.
std::FILE* TakeStandardOutput();

// `text` as the system's calls take and give it (on Windows in the ANSI code
// page, elsewhere bytes meant as UTF-8) converted to UTF-8. False when it has
// no exact UTF-8 form: `utf8` then holds what could be converted. Whether the
// result is well-formed UTF-8 is the caller's to check.
bool SystemTextToUtf8(const std::string& text, std::string* utf8);

// Puts `text` in the file `path` whole or not at all, so that a reader never
// sees it empty or half-written: writes a temporary file in the same folder,
// named "." + the file's name + ".tmp." + the process id (a name that a
// collector of "*.prom" files skips), flushes it to the disk and renames it
// over `path`. On any failure `path` is left as it was, the temporary file is
// removed, and `error` says which call failed on which file and why.
bool ReplaceFileWith(const std::string& path, const std::string& text, std::string* error);

}  // namespace stow_program

namespace stow_program {

// The folder separator of the system's paths.
extern const char kPathSeparator;

// `c` as the system compares path names: on Windows '/' as '\\' and ASCII
// letters in lower case; elsewhere `c` itself.
char PathSpellingKey(char c);

}  // namespace stow_program
