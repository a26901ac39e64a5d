// `zelhost monitor`: a channel opened on each port, every change of every
// message shown as the driver applies it, with the names a points file
// gives; a line that falls silent for longer than its limit; a listing of
// the active points and the walk-test sheet on Enter (or SIGUSR1) and at
// the end, the sheet also kept in a file to hand in; every change, line
// loss, silence and return kept in an event history; and at the end, the
// check of what the panel sent. A standard output that closes (the reader
// of a pipe ended) ends it as Ctrl-C does, the record finished.
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "commands.h"
#include "wire_text.h"
#include "event_history.h"
#include "event_json.h"
#include "line_state.h"
#include "monitor_input.h"
#include "points_file.h"
#include "record_file.h"
#include "walk_sheet.h"
#include "walk_test.h"
#include "zelwnqx.h"

namespace zelhost {
namespace {

using zeltools::Fail;

constexpr std::size_t kNonZeroShown = 24;

struct MonitorCommand {
    ChannelOptions channel;
    std::vector<std::string> captureFiles;
    std::vector<std::string> expectFiles;
    std::vector<std::string> pointsFiles;
    std::string eventsFile;
    bool walkTest = false;
    std::string sheetFile;
    std::string site;
    std::string engineer;
};
MonitorCommand command;

// What monitor keeps beside the console, under the console's mutex.
struct MonitorState {
    std::vector<std::vector<NamedPoint>> names;  // per port; empty without --points
    std::vector<WalkTest> walks;                 // per port, with --walk-test
    bool walking = false;
    EventHistory history;
    bool recording = false;
    std::vector<LineState> lines;  // per port, as last shown
    std::vector<int> known;        // per port, KNOWN as last shown; -1 before the first look
    std::string run;               // the events' run and, per port, their last number
    std::vector<unsigned long long> seq;
    // --sheet: the record's heading (its sheets are `walks`), and the last
    // failure to write it, told once.
    std::string sheetFile;
    WalkRecord record;
    std::string sheetProblem;
    bool outputClosed = false;
};

TimeText SheetTime(const Console &console) { return console.utc ? zeltools::UtcTimeText : zeltools::LocalTimeText; }

// Prints one line that counts the points of `rows`; `title` starts it.
void SummaryLine(FILE *out, const std::string &title, std::size_t rows, int differing) {
    if (rows == 0) {
        std::fprintf(out, "%s: nothing was expected and nothing changed\n", title.c_str());
    } else if (differing == 0) {
        std::fprintf(out, "%s: all %zu points match\n", title.c_str(), rows);
    } else {
        std::fprintf(out, "%s: %d of %zu points differ\n", title.c_str(), differing, rows);
    }
}

// The table of one port; returns the points that differ.
int SummaryTable(FILE *out, const std::string &title, const std::vector<SummaryRow> &rows,
                 const std::vector<NamedPoint> &names) {
    std::fprintf(out, "%s: what the panel sent against what the driver applied\n", title.c_str());
    std::fprintf(out, "  %-8s %-13s %-12s %-12s\n", "address", "type", "sent", "applied");
    int differing = 0;
    for (const SummaryRow &row : rows) {
        // Every change is followed: a value sent and never applied is lost.
        differing += row.allSeen ? 0 : 1;
        const NamedPoint *named = NamedPointAt(names, row.address);
        std::fprintf(out, "  %-8s %-13s %-12s %-12s %s%s%s\n", row.address.c_str(), AddressTypeOf(row.address),
                     ValuesText(row.sent).c_str(), ValuesText(row.read).c_str(),
                     row.allSeen ? "ok" : row.matches ? "DIFFERS (some unseen)" : "DIFFERS", named != nullptr ? "  " : "",
                     named != nullptr ? named->name.c_str() : "");
    }
    SummaryLine(out, title, rows.size(), differing);
    return differing;
}

// Reads and checks every --expect report: before any port is opened, so
// that a wrong file wastes no run, and again at the end, when zelpanel has
// written all of it.
int ReadExpectations(const std::vector<std::string> &files, std::vector<std::vector<zeltools::Expectation>> *reports) {
    for (const std::string &file : files) {
        std::string text, error;
        std::vector<zeltools::Expectation> expected;
        if (!zeltools::ReadTextFile(file, &text, &error)) return Fail(kTool, "--expect: " + error);
        if (!zeltools::ParseExpectations(text, &expected, &error))
            return Fail(kTool, "--expect " + zeltools::ShownText(file) + ": " + error);
        reports->push_back(std::move(expected));
    }
    return -1;
}

// Each port's report against its points, then the whole.
int Summary(const Console &console, const std::vector<std::vector<NamedPoint>> &names,
            const std::vector<std::vector<zeltools::Expectation>> &reports) {
    std::vector<std::vector<SummaryRow>> rows;
    for (const std::vector<zeltools::Expectation> &expected : reports)
        rows.push_back(CompareWithSent(expected, console.ports[rows.size()].watch.history));
    std::size_t total = 0;
    int differing = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        differing += SummaryTable(console.out, rows.size() > 1 ? "summary for " + console.ports[i].name : "summary", rows[i],
                                  names[i]);
        total += rows[i].size();
    }
    if (rows.size() > 1) SummaryLine(console.out, "summary", total, differing);
    std::fflush(console.out);
    return differing == 0 ? zeltools::kExitOk : zeltools::kExitNo;
}

// A line of the line's history: on the walk-test sheet and in the event
// history; also the states becoming known or unknown (KNOWN).
void NoteLine(MonitorState &state, const PortView &port, std::size_t index, const std::string &word, const std::string &note) {
    const auto now = std::chrono::system_clock::now();
    if (state.walking) NoteWalkLine(state.walks[index], note, now);
    if (state.recording) AppendEvent(state.history, LineEventJson(now, port.channelNumber, port.name, word));
}

// A status line for each channel whose LINK changed since the last look,
// and one when its line falls silent for its --silence-limit or a message
// ends the silence.
void ShowLineChanges(Console &console, MonitorState &state, std::vector<HostSession> &sessions,
                     const std::vector<int> &silenceLimits) {
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const int link = ReadTag(sessions[i], ZEL_TAG_LINK);
        const int silence = ReadTag(sessions[i], ZEL_TAG_SILENCE);
        const int known = ReadTag(sessions[i], ZEL_TAG_KNOWN);
        std::lock_guard<std::mutex> lock(console.mutex);
        PortView &port = console.ports[i];
        const std::string time = TimeColumn(console, console.Seconds());
        if (link != port.link) {
            port.link = link;
            std::fprintf(console.out, "%s  %slink: %s, silent %d s\n", time.c_str(), PortColumn(console, i).c_str(),
                         LinkText(link), silence);
        }
        // The panel never sends its states again by itself: until its clear
        // command a point reads 0 whatever it is.
        if (known != state.known[i]) {
            const std::string note = known != 0 ? "states known: the panel's clear came" : "states unknown until the panel is reset";
            std::fprintf(console.out, "%s  %s%s\n", time.c_str(), PortColumn(console, i).c_str(), note.c_str());
            if (state.walking && (state.known[i] >= 0 || known == 0)) NoteWalkLine(state.walks[i], note, std::chrono::system_clock::now());
            state.known[i] = known;
        }
        const LineState now = LineStateOf(link, silence, SilenceLimitOf(silenceLimits, i));
        const bool wasSilent = state.lines[i] == LineState::kSilent;
        state.lines[i] = now;
        if (now == LineState::kSilent && !wasSilent) {
            const std::string note = "silent: no message for " + std::to_string(silence) + " s";
            std::fprintf(console.out, "%s  %sline %s\n", time.c_str(), PortColumn(console, i).c_str(), note.c_str());
            NoteLine(state, port, i, "silent", note);
        } else if (wasSilent && now == LineState::kUp) {
            std::fprintf(console.out, "%s  %sline up: messages again\n", time.c_str(), PortColumn(console, i).c_str());
            NoteLine(state, port, i, "up", "up: messages again");
        }
        std::fflush(console.out);
    }
}

// Each channel's diagnostic tags as the monitor ends, read before the close.
std::vector<std::string> LineSummaries(Console &console, std::vector<HostSession> &sessions) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        HostSession &s = sessions[i];
        char text[256];
        const unsigned link = ReadTag(s, ZEL_TAG_LINK);
        std::snprintf(text, sizeof text, "line%s: LINK %u %s, SILENCE %u s, MESSAGES %u, LOSSES %u, NOISE %u",
                      console.ports.size() > 1 ? (" " + console.ports[i].name).c_str() : "", link, LinkText(link),
                      ReadTag(s, ZEL_TAG_SILENCE), ReadTag(s, ZEL_TAG_MESSAGES), ReadTag(s, ZEL_TAG_LOSSES),
                      ReadTag(s, ZEL_TAG_NOISE));
        lines.emplace_back(text);
    }
    return lines;
}

// Once the channels are closed: ReadTag must give for every point what the
// messages followed gave; a difference means a message went unseen.
int CheckFollowedTables(Console &console, std::vector<HostSession> &sessions) {
    for (std::size_t i = 0; i < sessions.size(); ++i)
        for (const std::string &address : TableAddresses()) {
            const int followed = FollowedValue(console.ports[i].followed, address);
            const int read = ReadTag(sessions[i], address);
            if (followed != read)
                return Fail(kTool, "ReadTag gives " + std::to_string(read) + " for " + address + " where the messages followed give " +
                                       std::to_string(followed) + ": a message went unseen",
                            zeltools::kExitFailure);
        }
    return -1;
}

// Reads each --points file, before any port is opened.
int ReadPointsFiles(const std::vector<std::string> &files, std::size_t ports, MonitorState *state) {
    state->names.assign(ports, {});
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::string text, error;
        if (!zeltools::ReadTextFile(files[i], &text, &error)) return Fail(kTool, "--points: " + error);
        if (!ParsePointsFile(text, &state->names[i], &error))
            return Fail(kTool, "--points " + zeltools::ShownText(files[i]) + ": " + error);
    }
    return -1;
}

// The changes of one message: a line each, with the point's name, then the
// points that are not 0; noted on the walk-test sheet and in the history.
void ShowChanges(Console &console, MonitorState &state, std::size_t index, double now, const std::vector<SeenChange> &changes) {
    const PortView &port = console.ports[index];
    const std::vector<NamedPoint> &names = state.names[index];
    const std::string column = PortColumn(console, index);
    const auto when = std::chrono::system_clock::now();
    for (const SeenChange &c : changes) {
        const NamedPoint *named = NamedPointAt(names, c.address);
        std::fprintf(console.out, "%s  %s%s  %-13s %d -> %d%s%s\n", TimeColumn(console, now).c_str(), column.c_str(),
                     c.address.c_str(), AddressTypeOf(c.address), c.before, c.after, named != nullptr ? "  " : "",
                     named != nullptr ? named->name.c_str() : "");
        if (state.recording)
            AppendEvent(state.history, PointEventJson({when, port.channelNumber, port.name, c.address, named, c.before, c.after,
                                                       state.run, ++state.seq[index], port.followed.known}));
    }
    std::fprintf(console.out, "%s  %snon-zero: %s\n", TimeColumn(console, now, true).c_str(), column.c_str(),
                 NonZeroView(port.watch, kNonZeroShown).c_str());
    if (state.walking) NoteWalkChanges(state.walks[index], changes, when);
}

void RecordLine(Console &console, MonitorState &state, std::size_t index, bool back) {
    // What the panel sends while its line is away is lost.
    if (!back) console.ports[index].followed.known = false;
    NoteLine(state, console.ports[index], index, back ? "back" : "lost", back ? "back: the port reopened" : "lost: the port went away");
}

// A heading of one port's listing, its name added with several.
std::string Titled(const Console &console, const std::string &title, std::size_t index) {
    return console.ports.size() > 1 ? title + " on " + console.ports[index].name : title;
}

// The record to hand in, written whole in place of the last one; a failure
// told once, each time it begins. False when it could not be written.
bool WriteSheet(Console &console, MonitorState &state) {
    if (state.sheetFile.empty()) return true;
    state.record.utc = console.utc;
    const std::string text = IsCsvName(state.sheetFile) ? RecordCsv(state.record) : RecordText(state.record);
    std::string why;
    const bool written = ReplaceFileWith(state.sheetFile, text, &why);
    if (!written && why != state.sheetProblem)
        std::fprintf(console.out, "zelhost: --sheet %s: %s\n", zeltools::ShownText(state.sheetFile).c_str(), why.c_str());
    state.sheetProblem = written ? "" : why;
    return written;
}

// Every port's active points, and its walk-test sheet with --walk-test,
// which also goes to the --sheet file.
void ShowListing(Console &console, MonitorState &state) {
    for (std::size_t i = 0; i < console.ports.size(); ++i) {
        for (const std::string &line : ActivePointLines(console.ports[i].watch, state.names[i], Titled(console, "active points", i)))
            std::fprintf(console.out, "%s\n", line.c_str());
        if (!state.walking) continue;
        for (const std::string &line : WalkSheetLines(state.walks[i], SheetTime(console), Titled(console, "walk test", i)))
            std::fprintf(console.out, "%s\n", line.c_str());
    }
    std::fflush(console.out);
    WriteSheet(console, state);
}

// The history's lines put on disk, at its path even after a log rotation;
// a failure told once when it begins, and its end.
void KeepHistory(Console &console, MonitorState &state) {
    std::lock_guard<std::mutex> lock(console.mutex);
    if (!state.recording) return;
    const std::string shown = zeltools::ShownText(state.history.path);
    if (FollowRotation(state.history))
        std::fprintf(console.out, "zelhost: --events %s was moved or removed; the history goes on in a new %s\n",
                     shown.c_str(), shown.c_str());
    const std::size_t waiting = state.history.unwritten.size();
    const bool failing = !state.history.failure.empty();
    WriteUnwritten(state.history);
    if (!failing && !state.history.failure.empty())
        std::fprintf(console.out, "zelhost: --events %s: cannot write (%s); the lines are kept and tried again\n",
                     shown.c_str(), state.history.failure.c_str());
    if (failing && state.history.failure.empty())
        std::fprintf(console.out, "zelhost: --events %s: written again, with the %zu lines that waited\n", shown.c_str(),
                     waiting);
    if (!SyncEvents(state.history) && state.history.failure.empty())
        std::fprintf(console.out, "zelhost: --events %s: the system could not put it on disk\n", shown.c_str());
    std::fflush(console.out);
}

// A standard output that can no longer be written (the reader of a pipe
// has ended) ends the monitor as Ctrl-C does.
void StopWhenOutputCloses(Console &console, MonitorState &state) {
    std::lock_guard<std::mutex> lock(console.mutex);
    if (state.outputClosed || (std::ferror(console.out) == 0 && std::ferror(stdout) == 0)) return;
    state.outputClosed = true;
    zeltools::RequestStop();
}

std::vector<std::string> PortNames(const Console &console) {
    std::vector<std::string> names;
    for (const PortView &port : console.ports) names.push_back(port.name);
    return names;
}

// Opens the capture of each port given one; -1 when all are open.
int OpenCaptures(Console &console, const std::vector<std::string> &captureFiles) {
    for (std::size_t i = 0; i < captureFiles.size(); ++i) {
        PortView &port = console.ports[i];
        std::string error;
        if (captureFiles[i] == "-") {
            // Standard output holds the capture alone; the console goes to standard error.
            port.capture = &std::cout;
            console.out = stderr;
        } else if (!zeltools::OpenWriteFile(captureFiles[i], port.captureFile, &error)) {
            return Fail(kTool, "--capture: " + error);
        } else {
            port.capture = &port.captureFile;
        }
        *port.capture << "# zelhost capture: rx SECONDS UTC-TIME TEXT, seconds from the first message\n";
    }
    return -1;
}

// Checks the options and opens the files they name; -1 when all hold.
int Prepare(const MonitorCommand &c, Console &console, MonitorState &state,
            std::vector<std::vector<zeltools::Expectation>> *reports) {
    const ChannelOptions &o = c.channel;
    if (const int code = CheckPortCounts(o, {{"--capture", c.captureFiles.size()},
                                             {"--expect", c.expectFiles.size()},
                                             {"--points", c.pointsFiles.size()}});
        code >= 0)
        return code;
    if (std::count(c.captureFiles.begin(), c.captureFiles.end(), "-") > 1)
        return Fail(kTool, "--capture - is given twice: standard output takes one capture");
    if (c.walkTest && c.pointsFiles.empty()) return Fail(kTool, "--walk-test needs --points: the sheet lists the named points");
    if (!c.sheetFile.empty() && !c.walkTest) return Fail(kTool, "--sheet needs --walk-test: the file holds its sheet");
    if (c.sheetFile.empty() && !(c.site.empty() && c.engineer.empty()))
        return Fail(kTool, std::string(c.site.empty() ? "--engineer" : "--site") + " goes on the sheet's file: give --sheet FILE");
    if (const int code = ReadExpectations(c.expectFiles, reports); code >= 0) return code;
    if (const int code = ReadPointsFiles(c.pointsFiles, o.ports.size(), &state); code >= 0) return code;
    state.walking = c.walkTest;
    for (const std::vector<NamedPoint> &names : state.names) state.walks.push_back(StartWalkTest(names));
    state.lines.assign(o.ports.size(), LineState::kUp);
    state.known.assign(o.ports.size(), -1);
    state.seq.assign(o.ports.size(), 0);
    state.run = NewRunId();
    state.sheetFile = c.sheetFile;
    state.record.site = c.site;
    state.record.engineer = c.engineer;
    console.ports.resize(o.ports.size());
    if (const int code = OpenCaptures(console, c.captureFiles); code >= 0) return code;
    std::string error;
    if (!c.eventsFile.empty() && !OpenEventHistory(c.eventsFile, &state.history, &error))
        return Fail(kTool, "--events: " + error);
    return -1;
}

int Monitor(const Options &options) {
    const MonitorCommand &c = command;
    const ChannelOptions &o = c.channel;
    std::vector<std::vector<zeltools::Expectation>> reports;
    Console console;
    MonitorState state;
    ConsoleScope scope{console};
    console.showReceived = true;
    console.utc = o.utc;
    if (const int code = Prepare(c, console, state, &reports); code >= 0) {
        CloseEventHistory(state.history);
        return code;
    }
    console.changed = [&](std::size_t port, double now, const std::vector<SeenChange> &changes) {
        ShowChanges(console, state, port, now, changes);
    };
    console.lineChanged = [&](std::size_t port, double, bool back) { RecordLine(console, state, port, back); };
    DriverLibrary library;
    HostSession first;
    std::vector<HostSession> sessions;
    int code = Begin(options, console, &library, &first);
    if (code < 0) code = OpenChannels(console, first, o, &sessions);
    if (code >= 0) {
        CloseEventHistory(state.history);
        return code;
    }
    zeltools::IgnoreBrokenPipe();
    {
        std::lock_guard<std::mutex> lock(console.mutex);
        state.recording = Recording(state.history);
        if (state.recording) AppendEvent(state.history, MonitorEventJson(std::chrono::system_clock::now(), true, PortNames(console)));
        state.record.driver = DriverVersionText(first.info);
        state.record.start = std::chrono::system_clock::now();
        for (std::size_t i = 0; i < console.ports.size() && state.walking; ++i)
            state.record.ports.push_back({console.ports[i].name, console.ports[i].channelNumber, &state.walks[i]});
        WriteSheet(console, state);  // the heading at once: a path that cannot be written shows now
    }
    WatchListingRequests();
    const bool nothing = Listen(console, o, [&] {
        ShowLineChanges(console, state, sessions, o.silenceLimits);
        KeepHistory(console, state);
        StopWhenOutputCloses(console, state);
        if (!ListingRequested()) return;
        std::lock_guard<std::mutex> lock(console.mutex);
        ShowListing(console, state);
    });
    const std::vector<std::string> lines = LineSummaries(console, sessions);
    const int closeCode = Close(console, sessions);
    End(console);
    if (state.recording) {
        AppendEvent(state.history, MonitorEventJson(std::chrono::system_clock::now(), false, PortNames(console)));
        KeepHistory(console, state);
    }
    const std::size_t unwritten = state.history.unwritten.size();
    CloseEventHistory(state.history);
    state.record.end = std::chrono::system_clock::now();
    ShowListing(console, state);
    const bool sheetWritten = state.sheetProblem.empty();
    for (const std::string &line : lines) std::fprintf(console.out, "%s\n", line.c_str());
    if (closeCode >= 0) return closeCode;
    if (const int code = CheckFollowedTables(console, sessions); code >= 0) return code;
    // Panel messages, however the reads cut them: the decoder traces each once.
    const int received = console.received.load();
    std::string perPort;  // with several ports: " (pts/4 12, pts/5 6)"
    for (const PortView &port : console.ports)
        if (console.ports.size() > 1) perPort += (perPort.empty() ? " (" : ", ") + port.name + " " + std::to_string(port.received);
    std::fprintf(console.out, "%d message%s received%s%s\n", received, received == 1 ? "" : "s", perPort.c_str(),
                 perPort.empty() ? "" : ")");
    if (unwritten > 0)
        return Fail(kTool, "--events " + zeltools::ShownText(c.eventsFile) + ": " + std::to_string(unwritten) +
                               " lines could not be written", zeltools::kExitFailure);
    if (!sheetWritten)
        return Fail(kTool, "--sheet " + zeltools::ShownText(c.sheetFile) + ": the last sheet could not be written: " +
                               state.sheetProblem, zeltools::kExitFailure);
    reports.clear();
    if (const int code = ReadExpectations(c.expectFiles, &reports); code >= 0) return code;
    int answer = reports.empty() ? zeltools::kExitOk : Summary(console, state.names, reports);
    // A walk test passes once every named point has reported.
    for (const WalkTest &walk : state.walks)
        if (state.walking && NeverReported(walk) > 0) answer = zeltools::kExitNo;
    return nothing ? FailNothingReceived(o) : answer;
}

}  // namespace

Command AddMonitorCommand(CLI::App &app) {
    MonitorCommand &c = command;
    CLI::App *monitor = app.add_subcommand("monitor", "Open a channel on each port and show the points as they change");
    AddChannelOptions(*monitor, c.channel, true);
    monitor
        ->add_option("--capture", c.captureFiles,
                     "Write every message received, with its time, to FILE (for zelpanel replay; - for standard output); "
                     "once per --port")
        ->allow_extra_args(false);
    monitor->add_flag("--utc", c.channel.utc,
                      "Show the wall-clock time (UTC, ISO 8601) on each line, and the sheet's times in UTC (else local time)");
    monitor
        ->add_option("--expect", c.expectFiles,
                     "At the end, compare what ReadTag returned with a zelpanel report FILE; once per --port")
        ->allow_extra_args(false);
    monitor
        ->add_option("--points", c.pointsFiles,
                     "Name the points from a CSV FILE (address,name[,type]), as the gateway's; once per --port")
        ->allow_extra_args(false);
    monitor->add_flag("--walk-test", c.walkTest,
                      "Keep a walk-test sheet of the named points: which reported, when, with which values, and which "
                      "never did (exit 1 while one never did); needs --points");
    monitor->add_option("--events", c.eventsFile,
                        "Append every change, line loss, silence and return, and each start and stop, to FILE as JSON lines");
    monitor->add_option("--sheet", c.sheetFile,
                        "Keep the walk-test record in FILE, rewritten whole at each listing (CSV if it ends in .csv); "
                        "needs --walk-test");
    monitor->add_option("--site", c.site, "The site, at the head of the --sheet record");
    monitor->add_option("--engineer", c.engineer, "The engineer, at the head of the --sheet record");
    monitor->footer("While it runs, Enter (on a terminal) or SIGUSR1 (Linux) lists every active point, and the "
                    "walk-test sheet. A standard output that closes ends it as Ctrl-C does.");
    return {monitor, Monitor};
}

}  // namespace zelhost
