// The few operating-system services that the renderer needs beyond the C++
// standard library. platform_posix.cpp implements them for POSIX systems,
// platform_win.cpp for Windows; nothing else in the renderer calls the
// operating system directly.
#pragma once

#include <cstdio>
#include <string>

namespace vorn::render::platform {

// Whether standard error is a terminal.
bool stderr_is_terminal();

// Creates a new, empty file in `dir` whose name begins with `prefix`, with
// the permissions that a newly created file would get. Its path in *path.
bool create_temp_file(const std::string& dir, const std::string& prefix, std::string* path, std::string* error);

// Moves `from` onto `to` in one step, replacing `to` if it exists.
bool replace_file(const std::string& from, const std::string& to, std::string* error);

// Opens `path` for writing in binary, emptying it, as std::fopen(path, "wb")
// does, or null with errno set. On Windows the file may be removed while it
// is open, so that an interrupt can remove it (on_interrupt_remove).
std::FILE* open_for_writing(const std::string& path);

// Removes a file; nothing happens if it does not exist.
void remove_file(const std::string& path);

// While a path is set, an interrupt or termination request removes that
// file, writes `message` and what happened to standard error and ends
// the process with status 128 + the signal number. An empty path clears it.
void on_interrupt_remove(const std::string& path, const std::string& message);

}  // namespace vorn::render::platform
