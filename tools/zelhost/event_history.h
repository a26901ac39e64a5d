// monitor's event history: a file of JSON lines (event_json.h) to which
// every run appends. Each line is written whole and flushed as it comes,
// so that a crash loses nothing written; the lines are put on the disk
// at each look (every 50 ms), so that a power cut loses at most those.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zelhost {

struct EventHistory {
    std::FILE *file = nullptr;
    std::string path;
    std::vector<std::string> unwritten;  // lines a failed write left, in order
    bool unsynced = false;
    std::string problem;  // the last failure, once told
};

bool OpenEventHistory(const std::string &path, EventHistory *history, std::string *error);
// Appends a line (after any left unwritten). False when it could not be
// written: it is kept, and tried again with the next.
bool AppendEvent(EventHistory &history, const std::string &line);
// Writes the lines a failed write left, in order; false while some remain.
bool WriteUnwritten(EventHistory &history);
// Puts what was written on the disk; false when the system could not.
bool SyncEvents(EventHistory &history);
// Syncs and closes; the lines still unwritten stay counted.
void CloseEventHistory(EventHistory &history);

}  // namespace zelhost
