// Micro benchmarks of the driver's hot paths (Google Benchmark).
//
// The decoder traces every message through the host's `err`. Here the
// KORVAN stand-in's log sink is a function that does nothing, so the figures
// hold the driver's formatting of each line and the stand-in's call, but no
// writing; DecodePanelMessage/Full15/LogToDevNull shows the cost with the
// stand-in writing its lines to /dev/null.
//
// After the run a summary gives each figure beside its target, with a
// verdict. Figures are reported, never asserted.
//
// Options (before the Google Benchmark ones): --quick, a short run of a few
// hundred ms per benchmark and one repetition.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "channel/channel_record.h"
#include "driver/operations.h"
#include "host/host_services.h"
#include "korvan_standin.h"
#include "message_changes.h"
#include "panel/decoder.h"
#include "panel/status_table.h"
#include "panel/tag_address.h"
#include "ui/address_fields.h"
#include "ui/dialog_ids.h"
#include "ui/dialog_state.h"
#include "ui/window_system.h"
#include "zelwnqx.h"

namespace {

// ---------------------------------------------------------------- fixtures

void DiscardLogLine(void *, int, const char *) {}

ChannelBlock *Channel() {
    static ChannelBlock *block = [] {
        auto *b = static_cast<ChannelBlock *>(std::calloc(1, sizeof(ChannelBlock)));
        b->statusTable[1][4][130] = 1;  // bus 1, slot 4, point 130
        return b;
    }();
    return block;
}

ZelCall CallOf(uint32_t operation, void *request) {
    ZelCall call{};
    call.channel = Channel();
    call.operation = operation;
    call.request = request;
    return call;
}

constexpr char kReadableAddress[] = "0104130";
constexpr char kRejectedAddress[] = "01A4130";

// 24-character record: panel bus digit, kind, three free characters, panel
// slot digit, point code, 16 free characters.
std::string Record(char bus, char kind, char slot, const char *code) {
    std::string r = std::string(1, bus) + kind + "000" + slot + code;
    return r + std::string(24 - r.size(), '0');
}

// A full event message: header, the free character, count F and 15 records
// of every kind the decoder applies, one of them the traced bus 1, slot 4,
// point 130 (so 17 trace lines in all).
std::string FullMessage() {
    std::string m = "\r\nhhhhhhhhhSF";
    m += Record('0', '3', '3', "00");  // CKT 130, traced
    const char kinds[] = {'0', '2', '8', '3'};
    for (int i = 1; i < 15; ++i) {
        char code[3];
        std::snprintf(code, sizeof code, "%02X", 10 + i * 7);
        m += Record(static_cast<char>('0' + i % 8), kinds[i % 4], static_cast<char>('0' + (i * 3) % 8), code);
    }
    return m;
}

// The receive buffer as the reception thread hands it over: the text,
// zeros behind it.
struct Buffer {
    char bytes[zel::kMessageBufferSize];
    explicit Buffer(const std::string &text) {
        std::memset(bytes, 0, sizeof bytes);
        std::memcpy(bytes, text.data(), std::min(text.size(), sizeof bytes - 1));
    }
};

uint8_t *Table() { return zel::TableOf(*Channel()); }

double LineTimeMs(std::size_t bytes, int baud) { return bytes * 10.0 * 1000.0 / baud; }  // 8N1: 10 bits

// ---------------------------------------------------------------- ReadTag

void ReadTag_ZelMain(benchmark::State &state) {
    TagValue value{};
    TagRequest request{};
    request.address = kReadableAddress;
    request.value = &value;
    ZelCall call = CallOf(ZEL_OP_READ_TAG, &request);
    if (ZelMain(&call) != ZEL_OK || value.value != 1) state.SkipWithError("ReadTag gave a wrong value");
    for (auto _ : state) {
        benchmark::DoNotOptimize(ZelMain(&call));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(ReadTag_ZelMain);

// The host's own path: ZelMain found with dlsym in the shared library.
void ReadTag_ZelMainFromLibrary(benchmark::State &state) {
    void *library = dlopen(ZEL_DRIVER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    auto zelMain = library != nullptr ? reinterpret_cast<ZelMainFunction>(dlsym(library, "ZelMain")) : nullptr;
    if (zelMain == nullptr) {
        state.SkipWithError("the driver library could not be loaded");
        for (auto _ : state) {
        }
        return;
    }
    TagValue value{};
    TagRequest request{};
    request.address = kReadableAddress;
    request.value = &value;
    ZelCall call = CallOf(ZEL_OP_READ_TAG, &request);
    if (zelMain(&call) != ZEL_OK || value.value != 1) state.SkipWithError("ReadTag gave a wrong value");
    for (auto _ : state) {
        benchmark::DoNotOptimize(zelMain(&call));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(ReadTag_ZelMainFromLibrary);

void ReadTag_Handler(benchmark::State &state) {
    TagValue value{};
    TagRequest request{};
    request.address = kReadableAddress;
    request.value = &value;
    ZelCall call = CallOf(ZEL_OP_READ_TAG, &request);
    ZelMain(&call);  // makes the channel current
    for (auto _ : state) {
        benchmark::DoNotOptimize(zel::ReadTag(call));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(ReadTag_Handler);

// A diagnostic tag of an open channel: its record found without a lock,
// and for SILENCE the clock read.
void ReadTag_DiagnosticTag(benchmark::State &state) {
    static const char *const kTags[] = {ZEL_TAG_LINK, ZEL_TAG_SILENCE, ZEL_TAG_MESSAGES};
    // Held for the rest of the process, as an open channel's record is.
    static zel::ChannelRecord *record = zel::AcquireChannelRecord(Channel());
    if (record == nullptr) {
        state.SkipWithError("no channel record");
        return;
    }
    zel::ResetLineDiagnostics(*record);
    TagValue value{};
    TagRequest request{};
    request.address = kTags[state.range(0)];
    request.value = &value;
    ZelCall call = CallOf(ZEL_OP_READ_TAG, &request);
    if (ZelMain(&call) != ZEL_OK || value.value == 1) state.SkipWithError("ReadTag gave a wrong value");
    for (auto _ : state) {
        benchmark::DoNotOptimize(ZelMain(&call));
        benchmark::ClobberMemory();
    }
    state.SetLabel(kTags[state.range(0)]);
}
BENCHMARK(ReadTag_DiagnosticTag)->DenseRange(0, 2);

void ReadTag_TagValueFor(benchmark::State &state) {
    const char *address = state.range(0) == 0 ? kReadableAddress : kRejectedAddress;
    uint8_t *table = Table();
    for (auto _ : state) {
        benchmark::DoNotOptimize(address);
        benchmark::DoNotOptimize(zel::TagValueFor(address, table));
    }
}
BENCHMARK(ReadTag_TagValueFor)->Arg(0)->Arg(1)->ArgName("rejected");

// ---------------------------------------------------------------- the tools

// What zelhost monitor and publish spend on each message the driver traces:
// the text decoded into their copy of the table and the changes found, an
// alarm and the clear command in turn (15 changes each way).
void Tools_FollowDecodedText(benchmark::State &state) {
    const std::string message = FullMessage();
    const std::string clear = "gggggggggg\r\n";
    zelhost::FollowedTable table;
    std::size_t changes = 0;
    for (auto _ : state) {
        changes += zelhost::FollowDecodedText(table, message).size();
        changes += zelhost::FollowDecodedText(table, clear).size();
    }
    if (changes == 0) state.SkipWithError("no change was followed");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 2));
}
BENCHMARK(Tools_FollowDecodedText);

// ---------------------------------------------------------------- ValidateAddress

void ValidateAddress_ZelMain(benchmark::State &state) {
    TagRequest request{};
    request.address = kReadableAddress;
    request.typeCode = 6;
    ZelCall call = CallOf(ZEL_OP_VALIDATE_ADDRESS, &request);
    if (ZelMain(&call) != 0) state.SkipWithError("ValidateAddress rejected a valid address");
    for (auto _ : state) {
        benchmark::DoNotOptimize(ZelMain(&call));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(ValidateAddress_ZelMain);

void ValidateAddress_CheckTagAddress(benchmark::State &state) {
    const char *address = state.range(0) == 0 ? kReadableAddress : kRejectedAddress;
    for (auto _ : state) {
        benchmark::DoNotOptimize(address);
        benchmark::DoNotOptimize(zel::CheckTagAddress(address, 6));
    }
}
BENCHMARK(ValidateAddress_CheckTagAddress)->Arg(0)->Arg(1)->ArgName("rejected");

// ---------------------------------------------------------------- decoding

void DecodePanelMessage_Full15(benchmark::State &state) {
    const std::string text = FullMessage();
    Buffer buffer(text);
    uint8_t *table = Table();
    zel::ClearTable(table);
    zel::DecodePanelMessage(buffer.bytes, table);
    if (table[zel::EntryIndex(1, 4, 130)] != 1) state.SkipWithError("the message was not decoded");
    for (auto _ : state) {
        zel::DecodePanelMessage(buffer.bytes, table);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(DecodePanelMessage_Full15);

void DecodePanelMessage_Full15_LogToDevNull(benchmark::State &state) {
    KorStandinSetLogSink(nullptr, nullptr);
    KorStandinSetLogFile("/dev/null");
    Buffer buffer(FullMessage());
    uint8_t *table = Table();
    for (auto _ : state) {
        zel::DecodePanelMessage(buffer.bytes, table);
        benchmark::ClobberMemory();
    }
    KorStandinSetLogFile(nullptr);
    KorStandinSetLogSink(DiscardLogLine, nullptr);
}
BENCHMARK(DecodePanelMessage_Full15_LogToDevNull);

// 999 printable characters without the header: traced, scanned for the
// clear command, dropped.
std::string Headerless999() {
    std::string text;
    for (int i = 0; i < 999; ++i) text += static_cast<char>('A' + i % 26);
    return text;
}

void DecodePanelMessage_Headerless999(benchmark::State &state) {
    Buffer buffer(Headerless999());
    uint8_t *table = Table();
    for (auto _ : state) {
        zel::DecodePanelMessage(buffer.bytes, table);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(DecodePanelMessage_Headerless999);

// Where a message's time goes: one trace line through the host's `err` (the
// driver formats it, the stand-in takes it), as DecodePanelMessage writes
// 17 of them for the full message.
void HostErr_RecordTrace(benchmark::State &state) {
    const std::string record = Record('0', '3', '3', "00");
    const auto &host = zel::Host();
    for (auto _ : state) benchmark::DoNotOptimize(host.err(zel::kLogTrace, " inseide for LOOP tmp==  %s ", record.c_str()));
}
BENCHMARK(HostErr_RecordTrace);

void HostErr_MessageTrace(benchmark::State &state) {
    const std::string text = FullMessage();
    const auto &host = zel::Host();
    for (auto _ : state) benchmark::DoNotOptimize(host.err(zel::kLogTrace, "orginal %s ", text.c_str()));
}
BENCHMARK(HostErr_MessageTrace);

// ---------------------------------------------------------------- the clear-command scan

// An empty buffer: the trace of the empty text and a scan of all 1000 bytes
// that finds nothing.
void ClearScan_EmptyBuffer(benchmark::State &state) {
    Buffer buffer("");
    uint8_t *table = Table();
    for (auto _ : state) {
        zel::DecodePanelMessage(buffer.bytes, table);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(ClearScan_EmptyBuffer);

// The scan's worst case: runs of nine 'g' over the whole text, each tested
// to its end and failing at the tenth byte.
void ClearScan_NineGRuns999(benchmark::State &state) {
    std::string text;
    while (text.size() < 999) text += "gggggggggx";
    text.resize(999);
    Buffer buffer(text);
    uint8_t *table = Table();
    for (auto _ : state) {
        zel::DecodePanelMessage(buffer.bytes, table);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(ClearScan_NineGRuns999);

// A clear command at the last place it can stand (bytes 990-999 of the
// buffer, behind a NUL): the full scan, then the table cleared.
void ClearScan_CommandAtEnd(benchmark::State &state) {
    Buffer buffer("");
    std::memset(buffer.bytes + zel::kMessageBufferSize - 10, 'g', 10);
    uint8_t *table = Table();
    table[zel::EntryIndex(1, 4, 130)] = 1;
    zel::DecodePanelMessage(buffer.bytes, table);
    if (table[zel::EntryIndex(1, 4, 130)] != 0) state.SkipWithError("the clear command was not found");
    for (auto _ : state) {
        zel::DecodePanelMessage(buffer.bytes, table);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(ClearScan_CommandAtEnd);

// Clearing alone: points 0-149 of the 81 rows.
void ClearTable(benchmark::State &state) {
    uint8_t *table = Table();
    for (auto _ : state) {
        zel::ClearTable(table);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(ClearTable);

// ---------------------------------------------------------------- ComposeTagAddress

// The dialog's three edits, as a substitute window system shows them.
struct Fields {
    const char *bus = "";
    const char *slot = "";
    const char *point = "";
};
Fields fields;

zel::WindowHandle ControlById(zel::WindowHandle, int id) { return static_cast<zel::WindowHandle>(id); }

int FieldText(zel::WindowHandle window, char *buffer, int size) {
    const char *text = window == ZEL_ID_BUS_EDIT    ? fields.bus
                       : window == ZEL_ID_SLOT_EDIT  ? fields.slot
                       : window == ZEL_ID_POINT_EDIT ? fields.point
                                                     : "";
    int n = 0;
    for (; n < size - 1 && text[n] != '\0'; ++n) buffer[n] = text[n];
    buffer[n] = '\0';
    return n;
}

zel::WindowSystem FieldWindows() {
    zel::WindowSystem w = zel::PlatformWindowSystem();
    w.control = ControlById;
    w.getText = FieldText;
    return w;
}

void ComposeTagAddressCase(benchmark::State &state, int32_t type, Fields shown, const char *expected) {
    static const zel::WindowSystem windows = FieldWindows();
    zel::UseWindowSystem(&windows);
    fields = shown;
    zel::addressType = type;
    zel::pointMin = 1;
    zel::pointMax = 127;
    const zel::WindowHandle dialog = 1;
    zel::ComposeTagAddress(dialog);
    if (std::strcmp(zel::composedAddress, expected) != 0) state.SkipWithError("a wrong address was composed");
    for (auto _ : state) {
        benchmark::DoNotOptimize(zel::ComposeTagAddress(dialog));
        benchmark::ClobberMemory();
    }
    zel::UseWindowSystem(nullptr);
}

void ComposeTagAddress_Regular(benchmark::State &state) {
    ComposeTagAddressCase(state, zel::Regular, {"3", "04", "12"}, "0304012");
}
BENCHMARK(ComposeTagAddress_Regular);

void ComposeTagAddress_Battery(benchmark::State &state) {
    ComposeTagAddressCase(state, zel::Battery, {"5", "", ""}, "0501148");
}
BENCHMARK(ComposeTagAddress_Battery);

// ---------------------------------------------------------------- summary

// Keeps the console output and remembers each benchmark's time per
// iteration: the median of the repetitions when there are several.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    // Plain text: the output is also kept in files.
    SummaryReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const std::string name = run.run_name.str();
            if (run.error_occurred) {
                errors_[name] = run.error_message;
                continue;
            }
            const double ns = run.GetAdjustedRealTime() * Multiplier(run.time_unit);
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") medians_[name] = ns;
            } else {
                single_[name].push_back(ns);
            }
        }
    }

    // Nanoseconds per iteration, or a negative number when the benchmark
    // did not run.
    double NsOf(const std::string &name) const {
        if (auto m = medians_.find(name); m != medians_.end()) return m->second;
        auto s = single_.find(name);
        if (s == single_.end() || s->second.empty()) return -1;
        std::vector<double> v = s->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    bool Failed(const std::string &name) const { return errors_.count(name) != 0; }

private:
    static double Multiplier(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kSecond: return 1e9;
            case benchmark::kMillisecond: return 1e6;
            case benchmark::kMicrosecond: return 1e3;
            default: return 1;
        }
    }
    std::map<std::string, double> medians_;
    std::map<std::string, std::vector<double>> single_;
    std::map<std::string, std::string> errors_;
};

struct Target {
    const char *name;
    double limitNs;  // 0: no target, reported for information
    const char *note;
};

}  // namespace

int main(int argc, char **argv) {
    // Our own option first; the rest goes to Google Benchmark.
    std::vector<char *> args;
    bool quick = false;
    static char minTime[] = "--benchmark_min_time=0.2";
    static char repetitions[] = "--benchmark_repetitions=5";
    static char aggregates[] = "--benchmark_report_aggregates_only=true";
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else
            args.push_back(argv[i]);
    }
    // Defaults that an explicit option after them overrides.
    if (quick) {
        args.insert(args.begin() + 1, minTime);
    } else {
        args.insert(args.begin() + 1, aggregates);
        args.insert(args.begin() + 1, repetitions);
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

    KorStandinSetLogSink(DiscardLogLine, nullptr);
    std::printf("ZELWNQX micro benchmarks%s; the host's log sink discards every line\n", quick ? " (quick run)" : "");
    SummaryReporter reporter;
    if (benchmark::RunSpecifiedBenchmarks(&reporter) == 0) {
        std::printf("MEASUREMENT FAILED: no benchmark ran\n");
        return 1;
    }

    const std::size_t fullLength = FullMessage().size();
    const double fullLineMs = LineTimeMs(fullLength, 115200);
    const double fullLineThousandthNs = fullLineMs * 1e6 / 1000.0;
    const double headerlessLineMs = LineTimeMs(999, 115200);
    char fullNote[96], headerlessNote[96];
    std::snprintf(fullNote, sizeof fullNote, "%zu bytes: %.2f ms on the line at 115200 (1/1000: %.2f us)", fullLength,
                  fullLineMs, fullLineThousandthNs / 1000.0);
    std::snprintf(headerlessNote, sizeof headerlessNote, "%.2f ms on the line at 115200 (1/1000: %.2f us)",
                  headerlessLineMs, headerlessLineMs);

    const Target targets[] = {
        {"ReadTag_ZelMain", 50, "through ZelMain (linked in)"},
        {"ReadTag_ZelMainFromLibrary", 50, "through ZelMain of the dlopen'd library"},
        {"ReadTag_Handler", 50, "the operation handler"},
        {"ReadTag_DiagnosticTag/0", 50, "LINK through ZelMain"},
        {"ReadTag_DiagnosticTag/1", 50, "SILENCE through ZelMain (a clock read)"},
        {"ReadTag_DiagnosticTag/2", 50, "MESSAGES through ZelMain"},
        {"Tools_FollowDecodedText", 0, "a tool's copy: a 15-record alarm, then the clear (two messages)"},
        {"ReadTag_TagValueFor/rejected:0", 50, "the table lookup"},
        {"ReadTag_TagValueFor/rejected:1", 50, "a rejected address"},
        {"ValidateAddress_ZelMain", 50, "through ZelMain"},
        {"ValidateAddress_CheckTagAddress/rejected:0", 50, "the check itself"},
        {"ValidateAddress_CheckTagAddress/rejected:1", 50, "a rejected address"},
        {"DecodePanelMessage_Full15", std::min(5000.0, fullLineThousandthNs), fullNote},
        {"DecodePanelMessage_Full15_LogToDevNull", 0, "stand-in writing its lines to /dev/null"},
        {"DecodePanelMessage_Headerless999", 0, headerlessNote},
        {"HostErr_RecordTrace", 0, "one record trace line (15 per full message)"},
        {"HostErr_MessageTrace", 0, "the 373-byte message's trace line"},
        {"ClearScan_EmptyBuffer", 0, "trace + scan of 1000 bytes, nothing found"},
        {"ClearScan_NineGRuns999", 0, "the scan's worst case"},
        {"ClearScan_CommandAtEnd", 0, "scan to byte 990, then the clear"},
        {"ClearTable", 0, "81 rows of 150 points"},
        {"ComposeTagAddress_Regular", 0, "bus 3, slot 04, point 12"},
        {"ComposeTagAddress_Battery", 0, "bus 5"},
    };
    int pass = 0, miss = 0, figures = 0;
    std::printf("\n== summary (time per iteration, real time, %s)\n", quick ? "one run" : "median of 5 repetitions");
    std::printf("  %-44s %12s %12s  %-7s %s\n", "benchmark", "time", "target", "verdict", "note");
    for (const Target &t : targets) {
        const double ns = reporter.NsOf(t.name);
        if (ns < 0) {
            // Filtered out, or it failed its own check.
            if (reporter.Failed(t.name)) {
                std::printf("  %-44s %12s %12s  %-7s %s\n", t.name, "-", "-", "FAILED", t.note);
                std::printf("MEASUREMENT FAILED: %s\n", t.name);
                return 1;
            }
            continue;
        }
        ++figures;
        char time[32], target[32];
        if (ns < 1000)
            std::snprintf(time, sizeof time, "%.1f ns", ns);
        else
            std::snprintf(time, sizeof time, "%.3f us", ns / 1000.0);
        const char *verdict = "info";
        if (t.limitNs > 0) {
            if (t.limitNs < 1000)
                std::snprintf(target, sizeof target, "< %.0f ns", t.limitNs);
            else
                std::snprintf(target, sizeof target, "< %.3g us", t.limitNs / 1000.0);
            verdict = ns < t.limitNs ? "PASS" : "MISS";
            (ns < t.limitNs ? pass : miss)++;
        } else {
            std::snprintf(target, sizeof target, "-");
        }
        std::printf("  %-44s %12s %12s  %-7s %s\n", t.name, time, target, verdict, t.note);
    }
    std::printf("== %d figures: %d PASS, %d MISS\n", figures, pass, miss);
    benchmark::Shutdown();
    return 0;
}
