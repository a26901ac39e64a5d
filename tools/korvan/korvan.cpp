// KORVAN stand-in: the host library's log and client registry, as small as
// our tools and tests need them. Not part of the driver.
#include <atomic>
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
int nextClient = 1;
char lastClientName[128];

long ParseNumber(const char *text) { return std::strtol(text, nullptr, 0); }

// Applies the environment once, before the first use.
void Configure() {
    if (configured.exchange(true)) return;
    if (const char *path = std::getenv("KORVAN_LOG_FILE"); path != nullptr && *path != '\0')
        KorStandinSetLogFile(path);
    if (const char *result = std::getenv("KORVAN_REGISTER"); result != nullptr && *result != '\0')
        registrationResult = static_cast<int>(ParseNumber(result));
    if (const char *v = std::getenv("KORVAN_VERSION"); v != nullptr && *v != '\0')
        version = static_cast<unsigned>(ParseNumber(v)) & 0xFFFF;
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
    if (sink != nullptr) {
        sink(sinkContext, level, line);
    } else {
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
    if (nextClient >= kMaxClients) return 0x00FF;
    const int id = nextClient++;
    active[id] = true;
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

int KorStandinVersionQueries(void) { return versionQueries.load(); }
int KorStandinRemovals(void) { return removals.load(); }

}  // extern "C"
