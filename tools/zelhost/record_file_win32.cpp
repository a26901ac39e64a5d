// Windows: C runtime descriptors, _chsize_s, _commit; MoveFileEx replaces a
// file. A file open here cannot be renamed or removed by another program
// (the runtime does not share its deletion), so it stays at its path.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "record_file_system.h"

namespace zelhost::record_system {
namespace {

std::string lastReason;

}  // namespace

int OpenAppending(const std::string &path) {
    return _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

int OpenReplacing(const std::string &path) {
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

long long WriteSome(int file, const char *bytes, std::size_t size) { return _write(file, bytes, static_cast<unsigned>(size)); }

long long Size(int file) { return _filelengthi64(file); }

bool Truncate(int file, long long size) { return _chsize_s(file, size) == 0; }

bool Sync(int file) { return _commit(file) == 0; }

void Close(int file) { _close(file); }

bool Replace(const std::string &from, const std::string &to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    lastReason = "error " + std::to_string(GetLastError());
    errno = 0;
    return false;
}

void Remove(const std::string &path) { _unlink(path.c_str()); }

bool StillAtPath(int, const std::string &) { return true; }

std::string Reason() { return errno != 0 ? std::strerror(errno) : lastReason; }

}  // namespace zelhost::record_system
