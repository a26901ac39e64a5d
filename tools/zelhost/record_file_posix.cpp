// Linux: descriptors, ftruncate, fsync; a rename replaces a file at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "record_file.h"

namespace zelhost {
namespace {

bool WriteAll(int file, const std::string &bytes, std::string *why) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(file, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = n < 0 ? std::strerror(errno) : "nothing written";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int OpenForAppend(const std::string &path, std::string *error) {
    const int file = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (file < 0) *error = std::strerror(errno);
    return file;
}

long long RecordFileSize(int file) {
    struct stat status {};
    return fstat(file, &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

bool AppendBytes(int file, const std::string &bytes, std::string *why) { return WriteAll(file, bytes, why); }

bool CutBack(int file, long long size) { return size >= 0 && ftruncate(file, static_cast<off_t>(size)) == 0; }

bool SyncRecordFile(int file) { return fsync(file) == 0; }

void CloseRecordFile(int file) {
    if (file >= 0) close(file);
}

bool StillAtPath(int file, const std::string &path) {
    struct stat open {}, named {};
    if (fstat(file, &open) != 0) return true;  // nothing better to compare with
    return stat(path.c_str(), &named) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

bool ReplaceFileWith(const std::string &path, const std::string &text, std::string *why) {
    const std::string beside = path + ".new";
    const int file = open(beside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) {
        *why = std::string("cannot write ") + beside + ": " + std::strerror(errno);
        return false;
    }
    std::string reason;
    const bool written = WriteAll(file, text, &reason) && (fsync(file) == 0 || (reason = std::strerror(errno), false));
    close(file);
    if (written && rename(beside.c_str(), path.c_str()) == 0) return true;
    if (written) reason = std::string("cannot rename it over ") + path + ": " + std::strerror(errno);
    unlink(beside.c_str());
    *why = reason;
    return false;
}

}  // namespace zelhost
