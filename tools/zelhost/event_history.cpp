#include "event_history.h"

#include "record_file.h"

namespace zelhost {
namespace {

// One line, whole or not at all.
bool WriteLine(EventHistory &history, const std::string &line) {
    const long long end = RecordFileSize(history.file);
    std::string why;
    if (AppendBytes(history.file, line + "\n", &why)) {
        history.failure.clear();
        return true;
    }
    CutBack(history.file, end);
    history.failure = why;
    return false;
}

}  // namespace

bool OpenEventHistory(const std::string &path, EventHistory *history, std::string *error) {
    history->path = path;
    std::string why;
    history->file = OpenForAppend(path, &why);
    if (history->file < 0) {
        *error = "cannot open " + path + " to append: " + why;
        return false;
    }
    return true;
}

bool Recording(const EventHistory &history) { return history.file >= 0; }

bool AppendEvent(EventHistory &history, const std::string &line) {
    history.unwritten.push_back(line);
    return WriteUnwritten(history);
}

bool WriteUnwritten(EventHistory &history) {
    if (history.file < 0) return history.unwritten.empty();
    std::size_t written = 0;
    while (written < history.unwritten.size() && WriteLine(history, history.unwritten[written])) ++written;
    history.unwritten.erase(history.unwritten.begin(), history.unwritten.begin() + static_cast<std::ptrdiff_t>(written));
    history.unsynced = history.unsynced || written > 0;
    return history.unwritten.empty();
}

bool SyncEvents(EventHistory &history) {
    if (history.file < 0 || !history.unsynced) return true;
    history.unsynced = false;
    return SyncRecordFile(history.file);
}

bool FollowRotation(EventHistory &history) {
    if (history.file < 0 || StillAtPath(history.file, history.path)) return false;
    std::string why;
    const int renewed = OpenForAppend(history.path, &why);
    if (renewed < 0) return false;  // tried again at the next look
    SyncEvents(history);
    CloseRecordFile(history.file);
    history.file = renewed;
    return true;
}

void CloseEventHistory(EventHistory &history) {
    if (history.file < 0) return;
    SyncEvents(history);
    CloseRecordFile(history.file);
    history.file = -1;
}

}  // namespace zelhost
