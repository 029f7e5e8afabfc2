// fault_test.cpp - the fault reporter in the built tool: a map that shrinks
// under the conversion and Ctrl-C during it, each reported and followed by an
// orderly end; the tool's own code map, KORVAL.COD; and korval-codemap on a
// position-independent program.
//
// To act while korval converts, it runs with option D and its output on a
// pipe that the test does not read: the echo of pass 1 fills the pipe and
// korval waits in a write. The test then shrinks the map or sends Ctrl-C,
// and reads one pipe buffer's worth, which lets korval go on until its last
// write at the exit, where it waits again on the full pipe: the files it
// still holds then are those it did not close.
//
// Fault and CodeMap run on the Linux build and on the Windows build under
// Wine (when make test-windows names it); LinuxFault holds what only Linux
// allows.

#include "expected_output.h"
#include "tool_runner.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

const std::string kCodemap = CODEMAP_EXE;
const std::string kClient = CODEMAP_CLIENT;

// The table of the build's code map: the count and the records that
// korval-codemap writes before its extension of full names, which must
// follow with its own size.
std::string TableOf(const std::string& cod) {
    uint32_t count = 0, size = 0;
    if (cod.size() >= 4) memcpy(&count, cod.data(), 4);
    size_t end = 4 + 52ull * count;
    EXPECT_GE(cod.size(), end + 12);
    if (cod.size() < end + 12) return cod;
    memcpy(&size, cod.data() + end + 8, 4);
    EXPECT_EQ(cod.compare(end, 8, "KORVALX1"), 0);
    EXPECT_EQ(size, cod.size() - end);
    return cod.substr(0, end);
}

class Fault : public ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        WriteBytes(dir / "big.map", BigMap());
    }

    // Starts korval -d big.map and waits until it is held up by its output.
    Spawned StartHeldUp() {
        Spawned child = Tested().Spawn(dir.Path(), {"-d", "big.map"});
        EXPECT_TRUE(WaitBlockedOnOutput(child)) << "korval never waited on its output";
        return child;
    }

    // Lets korval go on after the exception, up to its last write at the
    // exit; returns the files in the scratch directory that it holds open
    // then. out gets what was read.
    std::vector<std::string> FilesHeldAtTheEnd(Spawned& child, std::string* out) {
        int capacity = fcntl(child.out, F_GETPIPE_SZ);
        *out += ReadSome(child, 4096);
        int queued = 0;
        for (int tries = 0; tries < 20000; tries++) {
            ioctl(child.out, FIONREAD, &queued);
            if (queued >= capacity) break;
            usleep(1000);
        }
        EXPECT_GE(queued, capacity) << "korval did not write on";
        EXPECT_TRUE(WaitBlockedOnOutput(child)) << "korval did not wait at its end";
        std::vector<std::string> held;
        for (const std::string& file : OpenFilesOf(child))
            if (file.compare(0, dir.Path().size(), dir.Path()) == 0) held.push_back(file);
        return held;
    }

    // The run after an exception: report (its text matching the pattern
    // what), abort line, status 1, the output created and left empty, and
    // on Linux nothing held open, checked when the exception was taken at
    // once, so that korval's last write is the one it waits in. (Under Wine
    // the tool's last writes do not fill the pipe again, so it never waits
    // where its files could be seen.) Returns the report's "at".
    std::string ExpectOrderlyAbort(Spawned& child, const std::string& what, bool checkHeld = true) {
        std::string out;
        if (!Tested().windows && checkHeld) {
            std::vector<std::string> held = FilesHeldAtTheEnd(child, &out);
            EXPECT_TRUE(held.empty()) << held.front();
        }
        RunResult r = Tested().Finish(child);
        out += r.out;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(out.compare(0, 13, "KORVAL 1.00 -"), 0);
        std::smatch m;
        static const std::regex kTail(
            "EXCEPTION : (.*) at (.*)\\.\nKORVAL terminated due to exception\\.$");
        EXPECT_TRUE(std::regex_search(out, m, kTail))
            << out.substr(out.size() > 300 ? out.size() - 300 : 0);
        EXPECT_EQ(out.find("EXCEPTION"), out.rfind("EXCEPTION"));
        EXPECT_EQ(out.find("End KORVAL"), std::string::npos);
        EXPECT_TRUE(std::regex_match(m[1].str(), std::regex(what))) << m[1];
        EXPECT_TRUE(FileExists(dir / "BIG.COD"));
        if (FileExists(dir / "BIG.COD")) {
            EXPECT_EQ(ReadBytes(dir / "BIG.COD"), "");
        }
        return m[2];
    }
};

class LinuxFault : public Fault {};

// On Linux the read of a page the file no longer holds is SIGBUS, code
// 0xC0000006; Wine makes it an access violation (Windows itself would not
// even let the file shrink).
TEST_P(Fault, MapShrunkUnderTheConversionIsReportedByName) {
    const std::string codeMap = ReadBytes(Tested().Beside("KORVAL.COD"));
    const std::string what = Tested().windows ? "Access error\\. Ref to locn 0x[0-9A-F]{8}"
                                              : "Unknown code : 0xC0000006";
    WriteBytes(dir / "KORVAL.COD", codeMap);
    Spawned child = StartHeldUp();
    ASSERT_EQ(truncate((dir / "big.map").c_str(), 0), 0);
    std::string at = ExpectOrderlyAbort(child, what);

    // A routine of ours reads the map: GetaLine, or the copy and scan
    // routines it calls when they are not inlined (a sanitizer build).
    std::smatch m;
    const std::string module = Tested().windows ? "korval\\.cpp\\.obj" : "korval\\.cpp\\.o";
    ASSERT_TRUE(std::regex_match(
        at, m, std::regex("(GetaLine|CopyLine|FindEither)\\(" + module + "\\)\\+0x([0-9A-F]+)")))
        << at;
    uint32_t offset = (uint32_t)std::stoul(m[2], nullptr, 16);

    // Without a code map the same place is shown as a plain address.
    ASSERT_EQ(unlink((dir / "KORVAL.COD").c_str()), 0);
    WriteBytes(dir / "big.map", BigMap());
    child = StartHeldUp();
    ASSERT_EQ(truncate((dir / "big.map").c_str(), 0), 0);
    at = ExpectOrderlyAbort(child, what);
    ASSERT_TRUE(std::regex_match(at, std::regex("0x[0-9A-F]{8}"))) << at;
    uint32_t plain = (uint32_t)std::stoul(at.substr(2), nullptr, 16);
    for (const CodRecord& r : ReadCod(codeMap))
        if (r.routine == m[1].str()) {
            EXPECT_EQ(plain, r.addr + offset);
        }
}

TEST_P(Fault, CtrlCDuringTheConversion) {
    WriteBytes(dir / "KORVAL.COD", ReadBytes(Tested().Beside("KORVAL.COD")));
    Spawned child = StartHeldUp();
    ASSERT_EQ(kill(child.pid, SIGINT), 0);
    if (Tested().windows) {
        // Wine hands Ctrl-C to a thread of its own, which stops the
        // converting thread; give it the time before that thread may write on.
        usleep(300000);
        ExpectOrderlyAbort(child, "Control-C interrupt");
        return;
    }
    ASSERT_TRUE(WaitSignalTaken(child, SIGINT));
    // Landing in the C library's write, Ctrl-C is taken only once korval is
    // back in its own code, which the pipe being read lets it reach: a
    // routine of its code map (korval's own, or under the sanitizers one of
    // their runtime, which is linked into it).
    std::string at = ExpectOrderlyAbort(child, "Control-C interrupt", false);
    EXPECT_TRUE(std::regex_match(at, std::regex("[^ ()]+\\([^ ()]+\\)\\+0x[0-9A-F]+"))) << at;
}

// Whether the process has a handler for sig: korval's guard has been
// entered once its handler for Ctrl-C is there.
bool Catches(int pid, int sig) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 7, "SigCgt:") == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
    return false;
}

// Reads the child's output to its end and waits for it, for at most
// seconds; status -2 when it did not end by then (it is then killed).
RunResult FinishWithin(Spawned& child, int seconds) {
    RunResult r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    char buffer[65536];
    for (;;) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count();
        struct pollfd out = {child.out, POLLIN, 0};
        if (left <= 0 || poll(&out, 1, left) != 1) {
            kill(child.pid, SIGKILL);
            Finish(child);
            r.status = -2;
            return r;
        }
        ssize_t got = read(child.out, buffer, sizeof buffer);
        if (got <= 0) break;
        r.out.append(buffer, (size_t)got);
    }
    RunResult end = Finish(child);
    end.out = r.out + end.out;
    return end;
}

// Ctrl-C at random moments of the conversion, with and without the echo of
// option D, the output read from a pipe. Wherever it lands, in korval's own
// code or inside the C library's printf or write, the run ends at once with
// the report and the abort line, status 1, and the report never cuts into
// what was printed: with D it continues a whole echo line. The moments lie
// in the first half of the guarded conversion, timed beforehand from the
// guard's Ctrl-C handler appearing to the output's closing in the quickest
// of three runs.
TEST_P(LinuxFault, CtrlCStorm) {
    std::string text = BigMap(200000);
    WriteBytes(dir / "storm.map", text);
    std::set<std::string> lines;
    std::istringstream map(text);
    for (std::string l; std::getline(map, l);)
        lines.insert(l.substr(0, l.size() - 1)); // without its CR
    std::mt19937 random(20261207);
    const std::regex tail("\nKORVAL terminated due to exception\\.$");
    for (bool echo : {false, true}) {
        std::vector<std::string> args = {"storm.map", "out.cod"};
        if (echo) args.insert(args.begin(), "-d");
        auto guarded = [&](Spawned& child) {
            while (!Catches(child.pid, SIGINT) && !WaitEnded(child, 0))
                std::this_thread::yield();
        };
        // The conversion ends as the output is closed; the shortest of three
        // uninterrupted runs sets the moments.
        long micros = -1;
        for (int timing = 0; timing < 3; timing++) {
            Spawned whole = SpawnIn(dir.Path(), Tested().exe, args);
            guarded(whole);
            auto start = std::chrono::steady_clock::now();
            std::thread drain([&] { FinishWithin(whole, 60); });
            auto writing = [&] {
                for (const std::string& file : OpenFilesOf(whole))
                    if (file == dir / "OUT.COD") return true;
                return false;
            };
            while (writing())
                std::this_thread::yield();
            long took = (long)std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
            drain.join();
            if (micros < 0 || took < micros) micros = took;
        }
        const std::string converted = ReadBytes(dir / "OUT.COD");
        int reported = 0;
        for (int run = 0; run < 100; run++) {
            Spawned child = SpawnIn(dir.Path(), Tested().exe, args);
            guarded(child);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % (micros / 2 + 1)));
            kill(child.pid, SIGINT);
            RunResult r = FinishWithin(child, 10);
            ASSERT_NE(r.status, -2) << "korval hung after Ctrl-C" << (echo ? " with -d" : "");
            // Done before the signal came: the run ended as usual, or was
            // ended by Ctrl-C after the guarded conversion.
            if (r.status == 0 && r.out.find("\nEnd KORVAL - ") != std::string::npos) continue;
            if (r.signal == SIGINT && ReadBytes(dir / "OUT.COD") == converted) continue;
            ASSERT_EQ(r.status, 1) << "signal " << r.signal << ": " << r.out.substr(0, 300);
            ASSERT_TRUE(std::regex_search(r.out, tail)) << r.out.substr(r.out.size() - 300);
            size_t at = r.out.find("EXCEPTION : Control-C interrupt at ");
            ASSERT_NE(at, std::string::npos);
            ASSERT_EQ(r.out.rfind("EXCEPTION"), at);
            size_t from = r.out.rfind('\n', at) + 1;
            std::string before = r.out.substr(from, at - from);
            if (echo)
                ASSERT_TRUE(
                    (before.compare(0, 4, "[1] ") == 0 || before.compare(0, 4, "[2] ") == 0) &&
                    lines.count(before.substr(4)))
                    << "the report cut into the echo: '" << before << "'";
            else
                ASSERT_EQ(before, "");
            reported++;
        }
        EXPECT_GE(reported, 50) << "too few runs met their Ctrl-C in the conversion";
    }
}

// Another process may write the map while korval reads it (on Linux: on
// Windows the read sharing keeps writers out). Here, with korval held in
// pass 1, every library line becomes a symbol line: pass 1 counts the
// changed lines only from where it is, pass 2 finds all of them, and may
// save no more records than pass 1 made room for.
TEST_P(LinuxFault, AMapThatGainsSymbolLinesBetweenThePasses) {
    std::string map = "Code\r\n";
    const int lines = 40000;
    char line[64];
    for (int i = 0; i < lines; i++) {
        snprintf(line, sizeof line, " %08X _Routine%d %s.obj\r\n", 0x401000 + 16 * i, i,
                 i % 2 ? "lib\\mod" : "mod");
        map += line;
    }
    WriteBytes(dir / "big.map", map);
    Spawned child = StartHeldUp();
    std::string changed = map;
    std::replace(changed.begin(), changed.end(), '\\', '_');
    int fd = open((dir / "big.map").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, changed.data(), changed.size(), 0), (ssize_t)changed.size());
    close(fd);
    RunResult r = Tested().Finish(child);
    ASSERT_EQ(r.status, 0) << r.out.substr(r.out.size() > 300 ? r.out.size() - 300 : 0);

    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("End KORVAL - ([0-9]+) map entries")));
    int counted = std::stoi(m[1]);
    EXPECT_GT(counted, lines / 2);
    EXPECT_LT(counted, lines);
    // Pass 2 took the first lines of the changed map, all symbol lines now.
    std::vector<CodRecord> records = ReadCod(ReadBytes(dir / "BIG.COD"));
    ASSERT_EQ(records.size(), (size_t)counted);
    for (int i = 0; i < counted; i++) {
        ASSERT_EQ(records[i].addr, 0x401000u + 16 * i);
        ASSERT_EQ(records[i].routine, "Routine" + std::to_string(i));
    }
}

TEST_P(Fault, ACodeMapChangesNothingElse) {
    std::string map = CrLf({"Code", " 00001000 _One one.obj", " 00002000 _Two two.obj"});
    WriteBytes(dir / "two.map", map);
    RunResult without = Run({"two"});
    std::string cod = ReadBytes(dir / "TWO.COD");
    for (const std::string& codeMap :
         {ReadBytes(Tested().Beside("KORVAL.COD")), std::string("\x05\x00", 2), std::string()}) {
        WriteBytes(dir / "KORVAL.COD", codeMap);
        RunResult with = Run({"two"});
        EXPECT_EQ(with.status, 0);
        EXPECT_EQ(with.out.substr(with.out.find('\n')), without.out.substr(without.out.find('\n')));
        EXPECT_EQ(ReadBytes(dir / "TWO.COD"), cod);
        RunResult help = Run({"-?"});
        EXPECT_EQ(help.status, 0);
        EXPECT_NE(help.out.find("Useage :- KORVAL"), std::string::npos);
    }
}

// ---------------------------------------------------------------------------
// The tool's own code map, which the build writes beside the executable.

class CodeMap : public ToolTest {};

TEST_P(CodeMap, HoldsTheToolsFunctionsInAscendingOrder) {
    std::vector<CodRecord> records = ReadCod(ReadBytes(Tested().Beside("KORVAL.COD")));
    ASSERT_GT(records.size(), 40u);
    std::map<std::string, std::string> moduleOf;
    for (size_t i = 0; i < records.size(); i++) {
        EXPECT_GE(records[i].addr, 0x400000u) << records[i].routine;
        if (i > 0) {
            EXPECT_LE(records[i - 1].addr, records[i].addr) << records[i].routine;
        }
        EXPECT_EQ(records[i].routine.find(' '), std::string::npos) << records[i].routine;
        // No parameter list; a template argument may be a function type (the
        // sanitizer runtime's are), hence only the part before any "<".
        std::string head = records[i].routine.substr(0, records[i].routine.find('<'));
        EXPECT_EQ(head.find("(int"), std::string::npos) << records[i].routine;
        moduleOf[records[i].routine] = records[i].module;
    }
    const std::string driver = Tested().Object("main.cpp"), korval = Tested().Object("korval.cpp"),
                      mapdebug = Tested().Object("mapdebug.cpp");
    std::vector<std::pair<std::string, std::string>> expected = {
        {"main", driver},         {"Banner", korval},
        {"GetOptions", korval},   {"OpenFiles", korval},
        {"GetaLine", korval},     {"SaveEntry", korval},
        {"Doit", korval},         {"WriteOutputB", korval},
        {"OpenDebug", mapdebug},  {"HandleException", mapdebug},
        {"CloseDebug", mapdebug}, {"korval::GuardRun", Tested().Object("guardrun.cpp")},
    };
    if (Tested().windows) {
        expected.insert(expected.end(),
                        {{"mainCRTStartup", "crt2.o"}, {"___chkstk_ms", "_chkstk_ms.o"}});
    } else {
        // The Win32 calls come from the platform layer, in its namespace.
        expected.insert(expected.end(), {{"korval::CreateFileA", "files.cpp.o"},
                                         {"korval::VirtualAlloc", "memory.cpp.o"},
                                         {"_start", "crt1.o"}});
    }
    for (const auto& e : expected) {
        EXPECT_EQ(moduleOf.count(e.first), 1u) << e.first;
        EXPECT_EQ(moduleOf[e.first], e.second.substr(0, 16)) << e.first; // a module field's 16
    }
}

TEST_P(CodeMap, IsTheToolsConversionOfItsMap) {
    const std::string cod = ReadBytes(Tested().Beside("KORVAL.COD"));
    std::string map = ReadBytes(Tested().Beside("KORVAL.MAP"));
    std::regex line(" [0-9A-F]{8} _[^ ]+ [^ ]*");
    size_t code = map.find("\r\nCode\r\n");
    ASSERT_NE(code, std::string::npos);
    size_t lines = 0;
    for (size_t at = code + 8; at < map.size(); lines++) {
        size_t end = map.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        EXPECT_TRUE(std::regex_match(map.substr(at, end - at), line)) << map.substr(at, end - at);
        at = end + 2;
    }
    EXPECT_EQ(ReadCod(cod).size(), lines);

    // KORVAL.COD is the tool's own conversion of KORVAL.MAP, the records
    // alone: no full names follow them, so its reports keep their form.
    WriteBytes(dir / "KORVAL.MAP", map);
    WriteBytes(dir / "KORVAL.COD", "stale");
    RunResult r = Run({"KORVAL.MAP"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(ReadBytes(dir / "KORVAL.COD") == cod);
}

INSTANTIATE_TEST_SUITE_P(, Fault, ::testing::Values(NativeTool(KORVAL_EXE), WindowsTool()),
                         ToolName);
INSTANTIATE_TEST_SUITE_P(, LinuxFault, ::testing::Values(NativeTool(KORVAL_EXE)), ToolName);
INSTANTIATE_TEST_SUITE_P(, CodeMap, ::testing::Values(NativeTool(KORVAL_EXE), WindowsTool()),
                         ToolName);

// korval-codemap without a linker map, on a position-independent program:
// the link-time address of a function, which the program finds at run time
// as its address less its load bias, and the program's name as module. The
// code map, made by the one-command form beside the program, holds the
// same records as korval makes from the text map, then the extension: the
// full names, the object's name and its build ID.
TEST(CodemapTool, OfAPositionIndependentProgramHasLinkTimeAddresses) {
    ScratchDir dir;
    RunResult run = RunIn(dir.Path(), kClient, {});
    unsigned long long bias = 0, probe = 0;
    ASSERT_EQ(sscanf(run.out.c_str(), "%llx %llx", &bias, &probe), 2) << run.out;
    EXPECT_NE(bias, 0u) << "not loaded at a bias: not position-independent";

    RunResult r = RunIn(dir.Path(), kCodemap, {kClient, "CLIENT.MAP"});
    ASSERT_EQ(r.status, 0);
    std::string map = ReadBytes(dir / "CLIENT.MAP");
    char line[80];
    snprintf(line, sizeof line, "\r\n %08llX _client::Probe codemap_client\r\n", probe);
    EXPECT_NE(map.find(line), std::string::npos) << line << map;

    WriteBytes(dir / "codemap_client", ReadBytes(kClient));
    ASSERT_EQ(RunIn(dir.Path(), kCodemap, {"codemap_client"}).status, 0);
    ASSERT_EQ(RunIn(dir.Path(), KORVAL_EXE, {"CLIENT.MAP"}).status, 0);
    const std::string cod = ReadBytes(dir / "CODEMAP_CLIENT.COD");
    ASSERT_EQ(TableOf(cod), ReadBytes(dir / "CLIENT.COD"));
    const std::string extension = cod.substr(TableOf(cod).size());
    uint32_t kind = 0, length = 0;
    memcpy(&kind, extension.data() + 24, 4);
    memcpy(&length, extension.data() + 28, 4);
    EXPECT_EQ(kind, 1u);
    EXPECT_EQ(length, 20u); // a SHA-1 build ID, as the toolchain makes it
    std::string object = std::string("\x0E\0\0\0codemap_client\0\0", 20);
    EXPECT_EQ(extension.compare(32 + length, object.size(), object), 0);
    EXPECT_NE(extension.find(std::string("client::Probe(int)\0", 19)), std::string::npos);
}

// Runs korval-codemap with its standard error, not its output, on the pipe.
RunResult RunCodemapForErrors(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" 2>&1 >/dev/null", kCodemap});
    return RunIn(dir, "/bin/sh", args);
}

// --help on standard output; a wrong command line on standard error; a
// stripped program mapped from its exported functions, saying so, and a
// file with no symbols at all refused.
TEST(CodemapTool, ToolsHelpAndRefusals) {
    ScratchDir dir;
    const std::string usage = "usage: korval-codemap [--map LINKER_MAP] [-o OUTPUT] FILE\n";
    RunResult help = RunIn(dir.Path(), kCodemap, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.compare(0, usage.size(), usage), 0) << help.out;

    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {"a", "b", "c", "d"},
                                                 {"-x", "a"},
                                                 {"--map", "m", "a", "b"}}) {
        RunResult wrong = RunCodemapForErrors(dir.Path(), args);
        EXPECT_EQ(wrong.status, 2);
        EXPECT_EQ(wrong.out.compare(0, usage.size(), usage), 0) << wrong.out;
    }

    RunResult stripped = RunCodemapForErrors(dir.Path(), {kClient + ".stripped", "S.MAP"});
    EXPECT_EQ(stripped.status, 0);
    EXPECT_EQ(stripped.out, "korval-codemap: " + kClient +
                                ".stripped has no symbol table: its exported functions only\n");
    EXPECT_NE(ReadBytes(dir / "S.MAP").find(" _client::Probe codemap_client.stripped\r\n"),
              std::string::npos);

    std::string bare = ReadBytes(kClient);
    memset(&bare[0x28], 0, 8); // e_shoff: no section headers
    WriteBytes(dir / "bare", bare);
    RunResult none = RunCodemapForErrors(dir.Path(), {"bare"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out,
              "korval-codemap: bare has neither a symbol table nor a dynamic symbol table\n");
    EXPECT_FALSE(FileExists(dir / "BARE.COD"));
}

// The output is never one of the inputs, however it is named: refused with
// status 1, both inputs left as they were. Otherwise the code map goes
// beside the file, named after it up to its first dot.
TEST(CodemapTool, OutputIsNeverAnInputAndDefaultsBesideTheFile) {
    ScratchDir dir;
    const std::string client = ReadBytes(kClient), ldmap = ReadBytes(CODEMAP_CLIENT_LDMAP);
    WriteBytes(dir / "app", client);
    WriteBytes(dir / "app.ldmap", ldmap);
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("app", (dir / "link").c_str()), 0);
    ASSERT_EQ(link((dir / "app.ldmap").c_str(), (dir / "hard.MAP").c_str()), 0);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"app", "app.ldmap", "app"},
             {"app", "app.ldmap", "app.ldmap"},
             {"app", "app.ldmap", "sub/../app"},
             {"app", "app.ldmap", "link"},
             {"app", "app.ldmap", "hard.MAP"},
             {"--map", "app.ldmap", "-o", dir / "app", "app"},
             {"-o", "./app.ldmap", "--map", "app.ldmap", "app"},
         }) {
        RunResult r = RunCodemapForErrors(dir.Path(), args);
        EXPECT_EQ(r.status, 1) << args[2];
        EXPECT_NE(r.out.find(" itself: name another output\n"), std::string::npos) << r.out;
        ASSERT_EQ(ReadBytes(dir / "app"), client);
        ASSERT_EQ(ReadBytes(dir / "app.ldmap"), ldmap);
    }

    WriteBytes(dir / "sub/libshapes.so.1", client);
    ASSERT_EQ(RunIn(dir.Path(), kCodemap, {"--map", "app.ldmap", "sub/libshapes.so.1"}).status, 0);
    ASSERT_EQ(RunIn(dir.Path(), kCodemap, {"--map", "app.ldmap", "-o", "APP.MAP", "app"}).status,
              0);
    ASSERT_EQ(RunIn(dir.Path(), KORVAL_EXE, {"APP.MAP"}).status, 0);
    EXPECT_EQ(TableOf(ReadBytes(dir / "sub/LIBSHAPES.COD")), ReadBytes(dir / "APP.COD"));
    EXPECT_NE(ReadBytes(dir / "APP.MAP").find(" _client::Probe codemap_client.cpp.o\r\n"),
              std::string::npos);
}

// korval-lookup names addresses given as arguments, and the frames of a
// report on its standard input, with the full names of the extension; a
// code map without extension serves the object named after it, with its
// short names. What no code map holds is left as it was (?? as an
// argument).
TEST(LookupTool, NamesAddressesAndReports) {
    ScratchDir dir;
    RunResult run = RunIn(dir.Path(), kClient, {});
    unsigned long long bias = 0, probe = 0;
    ASSERT_EQ(sscanf(run.out.c_str(), "%llx %llx", &bias, &probe), 2) << run.out;
    WriteBytes(dir / "codemap_client", ReadBytes(kClient));
    ASSERT_EQ(RunIn(dir.Path(), kCodemap, {"codemap_client"}).status, 0);
    const std::string full = ReadBytes(dir / "CODEMAP_CLIENT.COD");
    ASSERT_EQ(mkdir((dir / "plain").c_str(), 0755), 0);
    WriteBytes(dir / "plain/CODEMAP_CLIENT.COD", TableOf(full));

    char at[32], after[32];
    snprintf(at, sizeof at, "0x%llX", probe);
    snprintf(after, sizeof after, "0x%llX", probe + 1);
    const std::string object = "codemap_client+";
    WriteBytes(dir / "report", "start\nEXCEPTION : Integer divide by zero at " + object + at +
                                   ".\r\n  called from " + object + after +
                                   "\n  called from libc.so.6+0x2A1CA\n  called from " + object +
                                   "0x1\nend");
    struct Case {
        std::string map;
        std::vector<std::string> addresses;
        std::string out;
    } cases[] = {
        {"CODEMAP_CLIENT.COD",
         {object + at, at, "other+0x10", object + "0x0"},
         "client::Probe(int)(codemap_client)+0x0\nclient::Probe(int)(codemap_client)+0x0\n??\n??"
         "\n"},
        {"plain/CODEMAP_CLIENT.COD", {object + after}, "client::Probe(codemap_client)+0x1\n"},
        {"CODEMAP_CLIENT.COD",
         {},
         "start\nEXCEPTION : Integer divide by zero at client::Probe(int)(codemap_client)+0x0.\r\n"
         "  called from client::Probe(int)(codemap_client)+0x1\n"
         "  called from libc.so.6+0x2A1CA\n  called from " +
             object + "0x1\nend"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" <report", LOOKUP_EXE, c.map};
        args.insert(args.end(), c.addresses.begin(), c.addresses.end());
        RunResult r = RunIn(dir.Path(), "/bin/sh", args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out) << c.map;
    }
}

} // namespace
