// KORVAN stand-in: the host library's log and client registry, as small as
// our tools and tests need them. Not part of the driver.
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "korvan.h"
#include "korvan_standin.h"

namespace {

constexpr int kMaxClients = 256;
constexpr unsigned short kDefaultVersion = 820;

// A spin lock: the library must also build with toolchains whose standard
// library has no std::mutex.
std::atomic_flag lineLock = ATOMIC_FLAG_INIT;

struct Guard {
    Guard() {
        while (lineLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~Guard() { lineLock.clear(std::memory_order_release); }
};

FILE *logFile = nullptr;  // nullptr: stderr
char logFileBuffer[8192];
KorStandinSink sink = nullptr;
void *sinkContext = nullptr;

std::atomic<bool> configured{false};
std::atomic<int> registrationResult{0};
std::atomic<unsigned> version{kDefaultVersion};
std::atomic<int> versionQueries{0};
std::atomic<int> removals{0};

bool active[kMaxClients];
// The name each id was registered with: a name registered again while it
// is still registered gets its id back, as a host's registry does, so that
// a process that reopens its channels never runs out of ids.
char clientNames[kMaxClients][128];
int nextClient = 1;
char lastClientName[128];
// The first environment variable the stand-in could not apply, as one line.
char environmentProblem[160];

// Decimal or 0x...; false for anything else.
bool ParseNumber(const char *text, long *value) {
    char *end = nullptr;
    errno = 0;
    *value = std::strtol(text, &end, 0);
    return end != text && *end == '\0' && errno == 0;
}

void NoteProblem(const char *name, const char *value, const char *what) {
    if (environmentProblem[0] == '\0')
        std::snprintf(environmentProblem, sizeof environmentProblem, "%s '%.40s'%s %s", name, value,
                      std::strlen(value) > 40 ? "..." : "", what);
}

// Applies the environment once, before the first use. A value that is not
// a number refuses registrations rather than be taken for 0 (accept).
void Configure() {
    if (configured.exchange(true)) return;
    long number = 0;
    if (const char *path = std::getenv("KORVAN_LOG_FILE"); path != nullptr && *path != '\0')
        if (KorStandinSetLogFile(path) != 0) NoteProblem("KORVAN_LOG_FILE", path, "cannot be opened for appending");
    if (const char *result = std::getenv("KORVAN_REGISTER"); result != nullptr && *result != '\0') {
        const bool ok = ParseNumber(result, &number);
        registrationResult = ok ? static_cast<int>(number) : 1;
        if (!ok) NoteProblem("KORVAN_REGISTER", result, "is not a number (0 accepts clients, 1 refuses them)");
    }
    if (const char *v = std::getenv("KORVAN_VERSION"); v != nullptr && *v != '\0') {
        if (ParseNumber(v, &number)) {
            version = static_cast<unsigned>(number) & 0xFFFF;
        } else {
            NoteProblem("KORVAN_VERSION", v, "is not a number");
        }
    }
}

}  // namespace

extern "C" {

int KORVAN_CDECL err(int level, const char *format, ...) {
    Configure();
    char line[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    Guard guard;
    // The log file gets every line, also while a sink shows them.
    if (sink != nullptr) sink(sinkContext, level, line);
    if (sink == nullptr || logFile != nullptr) {
        FILE *out = logFile != nullptr ? logFile : stderr;
        std::fprintf(out, "[%d] %s\n", level, line);
        std::fflush(out);
    }
    return 0;
}

int KORVAN_CDECL KorMkClient(const char *name, int, int, unsigned short *clientId) {
    Configure();
    const int result = registrationResult.load();
    if ((result & 0xFFFF) != 0) return result;
    Guard guard;
    std::snprintf(lastClientName, sizeof lastClientName, "%s", name != nullptr ? name : "");
    int id = 1;
    while (id < nextClient && !(active[id] && std::strcmp(clientNames[id], lastClientName) == 0)) ++id;
    if (id == nextClient) {
        if (nextClient >= kMaxClients) return 0x00FF;
        id = nextClient++;
        std::memcpy(clientNames[id], lastClientName, sizeof lastClientName);
        active[id] = true;
    }
    if (clientId != nullptr) *clientId = static_cast<unsigned short>(id);
    return result;
}

int KORVAN_CDECL KorGetKorvanVer(unsigned short, unsigned short *versionOut, void *area100) {
    Configure();
    ++versionQueries;
    if (area100 != nullptr) std::memset(area100, 0, 100);
    if (versionOut != nullptr) *versionOut = static_cast<unsigned short>(version.load());
    return 0;
}

int KORVAN_CDECL KorRmClient(unsigned short clientId) {
    Configure();
    ++removals;
    Guard guard;
    if (clientId == 0 || clientId >= kMaxClients || !active[clientId]) return 1;
    active[clientId] = false;
    return 0;
}

int KorStandinSetLogFile(const char *path) {
    configured = true;
    Guard guard;
    if (logFile != nullptr) std::fclose(logFile);
    logFile = nullptr;
    if (path == nullptr) return 0;
    logFile = std::fopen(path, "a");
    if (logFile == nullptr) return -1;
    // A fixed buffer: logging allocates nothing after this.
    std::setvbuf(logFile, logFileBuffer, _IOFBF, sizeof logFileBuffer);
    return 0;
}

void KorStandinSetLogSink(KorStandinSink newSink, void *context) {
    Configure();
    Guard guard;
    sink = newSink;
    sinkContext = context;
}

void KorStandinSetRegistrationResult(int result) {
    Configure();
    registrationResult = result;
}

void KorStandinSetVersion(unsigned short newVersion) {
    Configure();
    version = newVersion;
}

int KorStandinClientCount(void) {
    Guard guard;
    int count = 0;
    for (bool a : active) count += a ? 1 : 0;
    return count;
}

int KorStandinLastClientName(char *out, int size) {
    if (out == nullptr || size <= 0) return -1;
    Guard guard;
    std::snprintf(out, static_cast<std::size_t>(size), "%s", lastClientName);
    return static_cast<int>(std::strlen(out));
}

int KorStandinEnvironmentProblem(char *out, int size) {
    Configure();
    if (out == nullptr || size <= 0) return -1;
    std::snprintf(out, static_cast<std::size_t>(size), "%s", environmentProblem);
    return static_cast<int>(std::strlen(out));
}

int KorStandinVersionQueries(void) { return versionQueries.load(); }
int KorStandinRemovals(void) { return removals.load(); }

}  // extern "C"
