// Linux: descriptors, ftruncate, fsync; rename replaces a file at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "record_file_system.h"

namespace zelhost::record_system {

int OpenAppending(const std::string &path) { return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644); }

int OpenReplacing(const std::string &path) { return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }

long long WriteSome(int file, const char *bytes, std::size_t size) {
    ssize_t n = 0;
    do n = write(file, bytes, size);
    while (n < 0 && errno == EINTR);
    return n;
}

long long Size(int file) {
    struct stat status {};
    return fstat(file, &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

bool Truncate(int file, long long size) { return ftruncate(file, static_cast<off_t>(size)) == 0; }

bool Sync(int file) { return fsync(file) == 0; }

void Close(int file) { close(file); }

bool Replace(const std::string &from, const std::string &to) { return std::rename(from.c_str(), to.c_str()) == 0; }

void Remove(const std::string &path) { unlink(path.c_str()); }

bool StillAtPath(int file, const std::string &path) {
    struct stat open {}, named {};
    if (fstat(file, &open) != 0) return true;  // nothing better to compare with
    return stat(path.c_str(), &named) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

std::string Reason() { return std::strerror(errno); }

}  // namespace zelhost::record_system
