// monitor's event history: a file of JSON lines (event_json.h) to which
// every run appends. Each line is written whole as it comes, so that a
// crash loses nothing written, and put on the disk at each look (every
// 50 ms), so that a power cut loses at most those. A line the system could
// not write whole (a full disk) is cut off again and kept, to be written
// with the next; a file renamed or removed under the monitor (a log
// rotation) is noticed and begun anew at its path.
#pragma once

#include <string>
#include <vector>

namespace zelhost {

struct EventHistory {
    int file = -1;
    std::string path;
    std::vector<std::string> unwritten;  // lines a failed write left, in order
    bool unsynced = false;
    std::string failure;  // why the last write failed; empty while writes succeed
};

bool OpenEventHistory(const std::string &path, EventHistory *history, std::string *error);
bool Recording(const EventHistory &history);
// Appends a line (after any left unwritten). False when it could not be
// written: it is kept, and tried again with the next.
bool AppendEvent(EventHistory &history, const std::string &line);
// Writes the lines a failed write left, in order; false while some remain.
bool WriteUnwritten(EventHistory &history);
// Puts what was written on the disk; false when the system could not.
bool SyncEvents(EventHistory &history);
// When the path no longer names the open file, opens the file at the path
// anew (the next lines go there); true when it did.
bool FollowRotation(EventHistory &history);
// Syncs and closes; the lines still unwritten stay counted.
void CloseEventHistory(EventHistory &history);

}  // namespace zelhost
