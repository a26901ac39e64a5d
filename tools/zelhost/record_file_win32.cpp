// Windows: CRT descriptors, _chsize_s, _commit; MoveFileEx replaces a file.
// A file open here cannot be renamed or removed by another program (it is
// not opened for sharing deletion), so it always stays at its path.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "record_file.h"

namespace zelhost {
namespace {

bool WriteAll(int file, const std::string &bytes, std::string *why) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int n = _write(file, bytes.data() + done, static_cast<unsigned>(bytes.size() - done));
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
    const int file = _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (file < 0) *error = std::strerror(errno);
    return file;
}

long long RecordFileSize(int file) { return _filelengthi64(file); }

bool AppendBytes(int file, const std::string &bytes, std::string *why) { return WriteAll(file, bytes, why); }

bool CutBack(int file, long long size) { return size >= 0 && _chsize_s(file, size) == 0; }

bool SyncRecordFile(int file) { return _commit(file) == 0; }

void CloseRecordFile(int file) {
    if (file >= 0) _close(file);
}

bool StillAtPath(int, const std::string &) { return true; }

bool ReplaceFileWith(const std::string &path, const std::string &text, std::string *why) {
    const std::string beside = path + ".new";
    const int file = _open(beside.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (file < 0) {
        *why = "cannot write " + beside + ": " + std::strerror(errno);
        return false;
    }
    std::string reason;
    const bool written = WriteAll(file, text, &reason) && (_commit(file) == 0 || (reason = std::strerror(errno), false));
    _close(file);
    if (written && MoveFileExA(beside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    if (written) reason = "cannot put it in place of " + path + ": error " + std::to_string(GetLastError());
    _unlink(beside.c_str());
    *why = reason;
    return false;
}

}  // namespace zelhost
