#include "record_file.h"

#include "record_file_system.h"

namespace zelhost {
namespace sys = record_system;
namespace {

bool WriteAll(int file, const std::string &bytes, std::string *why) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const long long n = sys::WriteSome(file, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            *why = n < 0 ? sys::Reason() : "nothing written";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int OpenForAppend(const std::string &path, std::string *error) {
    const int file = sys::OpenAppending(path);
    if (file < 0) *error = sys::Reason();
    return file;
}

long long RecordFileSize(int file) { return sys::Size(file); }

bool AppendBytes(int file, const std::string &bytes, std::string *why) { return WriteAll(file, bytes, why); }

bool CutBack(int file, long long size) { return size >= 0 && sys::Truncate(file, size); }

bool SyncRecordFile(int file) { return sys::Sync(file); }

void CloseRecordFile(int file) {
    if (file >= 0) sys::Close(file);
}

bool StillAtPath(int file, const std::string &path) { return sys::StillAtPath(file, path); }

bool ReplaceFileWith(const std::string &path, const std::string &text, std::string *why) {
    const std::string beside = path + ".new";
    const int file = sys::OpenReplacing(beside);
    if (file < 0) {
        *why = "cannot write " + beside + ": " + sys::Reason();
        return false;
    }
    std::string reason;
    bool written = WriteAll(file, text, &reason);
    if (written && !sys::Sync(file)) {
        reason = sys::Reason();
        written = false;
    }
    sys::Close(file);
    if (written && sys::Replace(beside, path)) return true;
    if (written) reason = "cannot put it in place of " + path + ": " + sys::Reason();
    sys::Remove(beside);
    *why = reason;
    return false;
}

}  // namespace zelhost
