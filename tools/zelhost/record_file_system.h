// The system calls under the record files, one file per platform
// (record_file_posix.cpp, record_file_win32.cpp): descriptors, as the C
// runtime of each system gives them.
#pragma once

#include <cstddef>
#include <string>

namespace zelhost::record_system {

// -1 when it fails; Reason() tells why.
int OpenAppending(const std::string &path);
int OpenReplacing(const std::string &path);  // created, or emptied
// Bytes written, or -1.
long long WriteSome(int file, const char *bytes, std::size_t size);
long long Size(int file);
bool Truncate(int file, long long size);
bool Sync(int file);
void Close(int file);
// Renames over an existing file at `to`.
bool Replace(const std::string &from, const std::string &to);
void Remove(const std::string &path);
bool StillAtPath(int file, const std::string &path);
// The system's reason for the last failure.
std::string Reason();

}  // namespace zelhost::record_system
