// The files monitor keeps for the record, as the system gives them: the
// event history, appended a line at a time, and the walk-test sheet,
// replaced whole at each listing. A line that could not be written whole is
// cut off again, so the history never holds half a line; a sheet is written
// beside its file and renamed over it, so a crash leaves the last whole one.
#pragma once

#include <string>

namespace zelhost {

// A file opened for appending (created if missing); -1 with the reason.
int OpenForAppend(const std::string &path, std::string *error);
long long RecordFileSize(int file);
// Appends all of `bytes`; false with the system's reason when it could not.
bool AppendBytes(int file, const std::string &bytes, std::string *why);
// Cuts the file back to `size` bytes, the end of its last whole line.
bool CutBack(int file, long long size);
// What was written put on the disk; false when the system could not.
bool SyncRecordFile(int file);
void CloseRecordFile(int file);
// Whether `path` still names the open file: a log rotation renames or
// removes it, and the lines would go to a file nobody reads.
bool StillAtPath(int file, const std::string &path);
// Replaces the file at `path` with `text`; false with the reason.
bool ReplaceFileWith(const std::string &path, const std::string &text, std::string *why);

}  // namespace zelhost
