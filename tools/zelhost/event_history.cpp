#include "event_history.h"

#include <cerrno>
#include <cstring>

#include "monitor_input.h"

namespace zelhost {
namespace {

bool WriteLine(std::FILE *file, const std::string &line) {
    const std::string whole = line + "\n";
    if (std::fwrite(whole.data(), 1, whole.size(), file) == whole.size() && std::fflush(file) == 0) return true;
    std::clearerr(file);
    return false;
}

}  // namespace

bool OpenEventHistory(const std::string &path, EventHistory *history, std::string *error) {
    history->path = path;
    history->file = std::fopen(path.c_str(), "ab");
    if (history->file == nullptr) {
        *error = "cannot open " + path + " to append: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool AppendEvent(EventHistory &history, const std::string &line) {
    history.unwritten.push_back(line);
    return WriteUnwritten(history);
}

bool WriteUnwritten(EventHistory &history) {
    if (history.file == nullptr) return history.unwritten.empty();
    std::size_t written = 0;
    while (written < history.unwritten.size() && WriteLine(history.file, history.unwritten[written])) ++written;
    history.unwritten.erase(history.unwritten.begin(), history.unwritten.begin() + static_cast<std::ptrdiff_t>(written));
    history.unsynced = history.unsynced || written > 0;
    return history.unwritten.empty();
}

bool SyncEvents(EventHistory &history) {
    if (history.file == nullptr || !history.unsynced) return true;
    history.unsynced = false;
    return SyncToDisk(history.file);
}

void CloseEventHistory(EventHistory &history) {
    if (history.file == nullptr) return;
    SyncEvents(history);
    std::fclose(history.file);
    history.file = nullptr;
}

}  // namespace zelhost
