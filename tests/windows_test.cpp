// windows_test.cpp - end-to-end tests of the Windows build: korval.exe run
// under Wine in a fresh directory, checked by its console output, exit
// status and output bytes, and compared byte for byte with the Linux build.
//
// The Windows executable is named by KORVAL_WINDOWS_EXE in the environment
// (make test-windows sets it, with the Wine prefix to use). Wine maps drive
// Z: to the Linux root, so /tmp/x is Z:\tmp\x to the Windows build.

#include "expected_output.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>
#include <regex>

namespace {

const std::string kLinuxKorval = KORVAL_EXE;
const std::string kGenmap = GENMAP_EXE;
const std::string kWine = WINE_PROGRAM;
const std::string kSampleMap = std::string(KORVAL_SOURCE_DIR) + "/examples/sample.map";

std::string WindowsKorval() {
    const char* exe = getenv("KORVAL_WINDOWS_EXE");
    if (exe == nullptr || *exe == '\0') {
        ADD_FAILURE() << "KORVAL_WINDOWS_EXE names no executable; run make test-windows";
        return "korval.exe";
    }
    return exe;
}

// A file the Windows build wrote beside korval.exe.
std::string BesideExe(const std::string& name) {
    std::string exe = WindowsKorval();
    return exe.substr(0, exe.rfind('/') + 1) + name;
}

// The Windows name of a Linux path.
std::string OnZ(const std::string& path) {
    std::string name = "Z:" + path;
    for (char& c : name)
        if (c == '/') c = '\\';
    return name;
}

// Console text of the Windows build with its CR LF line ends made LF, after
// checking that every line end is a CR LF.
std::string Console(const std::string& out) {
    std::string text;
    for (size_t i = 0; i < out.size(); i++) {
        if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n') continue;
        if (out[i] == '\n' && (i == 0 || out[i - 1] != '\r')) ADD_FAILURE() << "bare LF: " << out;
        text += out[i];
    }
    return text;
}

struct Outcome {
    std::string out; // console text, line ends made LF
    int status;
};

Outcome WineIn(const std::string& cwd, const std::vector<std::string>& args) {
    std::vector<std::string> all = {WindowsKorval()};
    all.insert(all.end(), args.begin(), args.end());
    RunResult r = RunIn(cwd, kWine, all);
    return {Console(r.out), r.status};
}

class WindowsKorvalTest : public ::testing::Test {
  protected:
    Outcome Korval(const std::vector<std::string>& args) { return WineIn(dir.path(), args); }
    ScratchDir dir;
};

TEST_F(WindowsKorvalTest, HelpScreenAndBanner) {
    WriteFile(dir / "app.map", kExampleMap);
    // On Windows "/" always leads an option, so /tmp/app.map is option T.
    const std::vector<std::vector<std::string>> cases = {
        {}, {"-A"}, {"/?"}, {"/h"}, {"-x", "app"}, {"app", "/"}, {""}, {"/tmp/app.map"}};
    for (const auto& args : cases) {
        Outcome r = Korval(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(AfterBanner(r.out), kHelp) << "args: " << (args.empty() ? "" : args[0]);
    }
    EXPECT_FALSE(FileExists(dir / "APP.COD"));
}

TEST_F(WindowsKorvalTest, BothFormatsByteForByte) {
    WriteFile(dir / "app.map", kExampleMap);
    Outcome r = Korval({"-a", "app"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBanner(r.out), EndLine(4));
    EXPECT_EQ(ReadFile(dir / "APP.ENT"), kExampleEnt);
    r = Korval({"app", "/I"});
    EXPECT_EQ(AfterBanner(r.out), EndLine(5));
    EXPECT_EQ(ReadFile(dir / "APP.COD"), ExampleInclusiveCod());

    WriteFile(dir / "three.map", kThreeMap);
    Korval({"three", "-a"});
    EXPECT_EQ(ReadFile(dir / "THREE.ENT"), kThreeEnt);
    Korval({"three"});
    EXPECT_EQ(ReadFile(dir / "THREE.COD"), ThreeCod());
}

// The names of the command line in their Windows form, with a directory of
// the scratch directory as the current one.
TEST_F(WindowsKorvalTest, NamesInWindowsForm) {
    for (const char* sub : {"Work", "Work/Maps", "Work/Maps/build.x", "Work/lib", "x"})
        ASSERT_EQ(mkdir((dir / sub).c_str(), 0755), 0);
    auto map = [](int entries) {
        std::vector<std::string> lines = {"Code"};
        for (int i = 0; i < entries; i++)
            lines.push_back(" 0000100" + std::to_string(i) + " _f f.obj");
        return CrLf(lines);
    };
    WriteFile(dir / "Work/Maps/prog.map", map(1));
    WriteFile(dir / "Work/Maps/prog", map(2));
    WriteFile(dir / "Work/Maps/Prog.txt", map(3));
    WriteFile(dir / "Work/lib/app.map", map(4));
    WriteFile(dir / "Work/Maps/build.x/prog.map", map(5));
    const std::string cwd = dir / "Work/Maps";
    const std::string win = OnZ(cwd);
    auto count = [](const std::string& path) { return FileExists(path) ? ReadFile(path)[0] : -1; };

    WineIn(cwd, {"prog"});
    EXPECT_EQ(count(cwd + "/PROG.COD"), 1);
    WineIn(cwd, {"prog", "-a"});
    EXPECT_EQ(ReadFile(cwd + "/PROG.ENT").substr(0, 3), "1\r\n");
    WineIn(cwd, {"prog.txt", "out"});
    EXPECT_EQ(count(cwd + "/OUT.COD"), 3);
    WineIn(cwd, {"/A", "prog", "out.lst"});
    EXPECT_EQ(ReadFile(cwd + "/OUT.LST").substr(0, 3), "1\r\n");
    WineIn(cwd, {"..\\lib\\app", OnZ(dir / "x/y")});
    EXPECT_EQ(count(dir / "x/Y.COD"), 4);
    WineIn(cwd, {"build.x\\prog"});
    EXPECT_EQ(count(cwd + "/build.x/PROG.COD"), 5);
    WineIn(cwd, {"prog", "one", "two"});
    EXPECT_EQ(count(cwd + "/TWO.COD"), 1);
    EXPECT_FALSE(FileExists(cwd + "/ONE.COD"));
    // A name that ends in a dot has no extension: PROG. is the file PROG.
    ASSERT_EQ(unlink((cwd + "/PROG.COD").c_str()), 0);
    WineIn(cwd, {"prog."});
    EXPECT_EQ(count(cwd + "/PROG.COD"), 2);

    // The absolute input names, as a failed open reports them.
    const std::vector<std::pair<std::string, std::string>> names = {
        {"nothere", win + "\\NOTHERE.MAP"},
        {"none.", win + "\\NONE."},
        {"..\\nothere\\x", OnZ(dir / "Work") + "\\NOTHERE\\X.MAP"},
        {"sub/./deeper/../x.y", win + "\\SUB\\X.Y"},
        {"\\nothere", "Z:\\NOTHERE.MAP"},
        {"z:nothere", win + "\\NOTHERE.MAP"},
        {"c:nothere", "C:\\NOTHERE.MAP"},
        {"q:\\nothere", "Q:\\NOTHERE.MAP"},
        {"\\\\server\\share\\x", "\\\\SERVER\\SHARE\\X.MAP"},
    };
    for (const auto& [arg, full] : names) {
        Outcome r = WineIn(cwd, {arg});
        EXPECT_EQ(r.status, 1) << arg;
        EXPECT_EQ(AfterBanner(r.out), "\nUnable to open input file '" + full + "'") << arg;
    }
}

TEST_F(WindowsKorvalTest, OpenFailuresLeaveTheOutputAlone) {
    WriteFile(dir / "APP.COD", "keep me");
    Outcome r = Korval({"app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to open input file '" + OnZ(dir / "APP.MAP") + "'");

    WriteFile(dir / "app.map", "");
    r = Korval({"app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out),
              "\nUnable to create '" + OnZ(dir / "APP.MAP") + "' file mapping.");

    ASSERT_EQ(truncate((dir / "app.map").c_str(), 0x123456789LL), 0); // sparse: no disk used
    r = Korval({"app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out),
              "\nYou must be joking! I can't read a file 0x0000000123456789 bytes long.");
    EXPECT_EQ(ReadFile(dir / "APP.COD"), "keep me");

    ASSERT_EQ(mkdir((dir / "dir.map").c_str(), 0755), 0);
    r = Korval({"dir"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to open input file '" + OnZ(dir / "DIR.MAP") + "'");

    // The input is held open with read sharing only: it cannot be the output.
    WriteFile(dir / "app.map", kExampleMap);
    r = Korval({"app", "App.Map"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to open output file 'APP.MAP'");
    EXPECT_EQ(ReadFile(dir / "app.map"), kExampleMap);

    r = Korval({"app", "nodir\\out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to open output file 'NODIR\\OUT.COD'");
}

TEST_F(WindowsKorvalTest, WriteFailureIsReportedNotCounted) {
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    WriteFile(dir / "app.map", kExampleMap);
    ASSERT_EQ(symlink("/dev/full", (dir / "full.cod").c_str()), 0);
    Outcome r = Korval({"app", "full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to write output file 'FULL.COD'");
}

TEST_F(WindowsKorvalTest, NamesLongerThanWindowsAllowsAreRefused) {
    std::string longName(300, 'n');
    Outcome r = Korval({longName});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nFile name too long: '" + longName + "'");

    // Short enough as typed, too long once made absolute.
    std::string name(259 - OnZ(dir.path()).size(), 'q');
    r = Korval({name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nFile name too long: '" + name + "'");
}

// A map with all that the reader must cope with, in a fixed random order:
// several code sections between other sections, addresses in every form,
// duplicates, names and modules too long for their fields, library lines,
// bytes above 127, NUL bytes, tabs, short and overlong lines, and every kind
// of line end.
std::string GeneratedMap(int lines) {
    std::mt19937 random(20261207);
    auto pick = [&](int n) { return (int)(random() % (unsigned)n); };
    const char* const ends[] = {"\r\n", "\r\n", "\r\n", "\n", "\r", "\r\n\r\n", "\n\n\r"};
    const char* const hex = "0123456789ABCDEFabcdef";
    std::string map = "Sample\r\n\r\n Preferred load address is 00400000\r\n";
    std::vector<std::string> shared;
    for (int i = 0; i < lines; i++) {
        if (i % 5000 == 0) map += pick(2) ? "Code\r\n" : "Data\r\n 00001000 _data d.obj\r\nCode\n";
        std::string line = " ";
        if (pick(10) == 0 && !shared.empty()) {
            line += shared[pick((int)shared.size())];
        } else {
            int digits = pick(20) == 0 ? 1 + pick(11) : 8;
            std::string addr;
            for (int d = 0; d < digits; d++)
                addr += hex[pick(pick(30) == 0 ? 22 : 16)];
            if (shared.size() < 100) shared.push_back(addr);
            line += addr;
        }
        line += std::string(1 + pick(3), ' ');
        line += std::string(pick(3), '_');
        int nameLength = 1 + pick(pick(8) == 0 ? 60 : 24);
        for (int c = 0; c < nameLength; c++) {
            int kind = pick(40);
            line += kind == 0 ? char(0x80 + pick(128)) : kind == 1 ? '\t' : char('a' + pick(26));
        }
        line += std::string(1 + pick(20), ' ');
        switch (pick(8)) {
        case 0:
            line += "C:\\SDK\\LIB\\LIBC.LIB(printf.obj)";
            break;
        case 1:
            line += "libcmt.lib(crt0" + std::to_string(pick(9)) + ".obj)";
            break;
        case 2:
            line += "a_module_name_longer_than_sixteen.obj";
            break;
        case 3:
            line += "(paren.obj)";
            break;
        case 4:
            line += std::string("mod") + '\0' + "nul.obj trailing words";
            break;
        default:
            line += "module" + std::to_string(pick(50)) + ".obj";
            break;
        }
        if (pick(500) == 0) line += std::string(300, 'x');
        if (pick(200) == 0) line = " ab";
        map += line + ends[pick(7)];
    }
    return map;
}

// The Linux and Windows builds write the same bytes from the same map, in
// both formats, with and without library lines, and say the same: the
// sample map, a realistic map in random order and the map of all oddities.
TEST_F(WindowsKorvalTest, SameBytesAsTheLinuxBuild) {
    WriteFile(dir / "sample.map", ReadFile(kSampleMap));
    ASSERT_EQ(RunIn(dir.path(), kGenmap,
                    {"--symbols", "200000", "--order", "random", "--seed", "7", "real.map"})
                  .status,
              0);
    WriteFile(dir / "odd.map", GeneratedMap(200000));
    for (const char* map : {"sample", "real", "odd"}) {
        for (const char* format : {"-a", "-b"}) {
            for (const char* library : {"-i", "-b"}) {
                // -b is no option of the tool: it stands for "none" here.
                std::vector<std::string> options;
                if (format[1] == 'a') options.push_back(format);
                if (library[1] == 'i') options.push_back(library);
                std::vector<std::string> linuxArgs = {map, "linux"};
                std::vector<std::string> windowsArgs = {map, "windows"};
                linuxArgs.insert(linuxArgs.end(), options.begin(), options.end());
                windowsArgs.insert(windowsArgs.end(), options.begin(), options.end());

                RunResult l = RunIn(dir.path(), kLinuxKorval, linuxArgs);
                Outcome w = Korval(windowsArgs);
                std::string ext = format[1] == 'a' ? ".ENT" : ".COD";
                std::string what = std::string(map) + " " + format + " " + library;
                EXPECT_EQ(l.status, 0) << what;
                EXPECT_EQ(w.status, 0) << what;
                EXPECT_EQ(AfterBanner(w.out), AfterBanner(l.out)) << what;
                std::string linuxOut = ReadFile(dir / ("LINUX" + ext));
                EXPECT_GT(linuxOut.size(), 4u) << what;
                EXPECT_TRUE(ReadFile(dir / ("WINDOWS" + ext)) == linuxOut) << what;
            }
        }
    }
    // The line echo too.
    RunResult l = RunIn(dir.path(), kLinuxKorval, {"-d", "sample", "linux"});
    Outcome w = Korval({"-d", "sample", "windows"});
    EXPECT_EQ(AfterBanner(w.out), AfterBanner(l.out));
}

// ---------------------------------------------------------------------------
// Fault reports of the Windows build, as on Linux (fault_test): korval.exe
// converts with option D and its output on a pipe the test does not read, so
// that it waits in a write inside the guarded work while the test acts.

class WindowsFault : public WindowsKorvalTest {
  protected:
    void SetUp() override { WriteFile(dir / "big.map", BigMap()); }

    Spawned StartHeldUp() {
        Spawned child = SpawnIn(dir.path(), kWine, {WindowsKorval(), "-d", "big.map"});
        EXPECT_TRUE(WaitBlockedOnOutput(child)) << "korval.exe never waited on its output";
        return child;
    }

    // The run after an exception: the report and the abort line, status 1,
    // the output created and left empty. Returns the report's "at".
    std::string ExpectOrderlyAbort(Spawned& child, const std::string& what) {
        RunResult r = Finish(child);
        std::string out = Console(r.out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(out.compare(0, 13, "KORVAL 1.00 -"), 0);
        std::smatch m;
        static const std::regex tail(
            "EXCEPTION : (.*) at (.*)\\.\nKORVAL terminated due to exception\\.$");
        EXPECT_TRUE(std::regex_search(out, m, tail))
            << out.substr(out.size() > 300 ? out.size() - 300 : 0);
        EXPECT_EQ(out.find("EXCEPTION"), out.rfind("EXCEPTION"));
        EXPECT_EQ(out.find("End KORVAL"), std::string::npos);
        EXPECT_TRUE(std::regex_match(m[1].str(), std::regex(what))) << m[1];
        EXPECT_EQ(ReadFile(dir / "BIG.COD"), "");
        return m[2];
    }
};

// Wine turns a read of a mapped page the file no longer holds into an
// access violation (Windows would not even let the file shrink).
TEST_F(WindowsFault, MapShrunkUnderTheConversionIsReportedByName) {
    WriteFile(dir / "KORVAL.COD", ReadFile(BesideExe("KORVAL.COD")));
    Spawned child = StartHeldUp();
    ASSERT_EQ(truncate((dir / "big.map").c_str(), 0), 0);
    std::string at = ExpectOrderlyAbort(child, "Access error\\. Ref to locn 0x[0-9A-F]{8}");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        at, m,
        std::regex("(GetaLine|CopyLine|FindEither)\\(korval\\.cpp\\.obj\\)\\+0x([0-9A-F]+)")))
        << at;
    uint32_t offset = (uint32_t)std::stoul(m[2], nullptr, 16);

    // Without a code map the same place is shown as a plain address.
    ASSERT_EQ(unlink((dir / "KORVAL.COD").c_str()), 0);
    WriteFile(dir / "big.map", BigMap());
    child = StartHeldUp();
    ASSERT_EQ(truncate((dir / "big.map").c_str(), 0), 0);
    at = ExpectOrderlyAbort(child, "Access error\\. Ref to locn 0x[0-9A-F]{8}");
    ASSERT_TRUE(std::regex_match(at, std::regex("0x[0-9A-F]{8}"))) << at;
    uint32_t plain = (uint32_t)std::stoul(at.substr(2), nullptr, 16);
    for (const CodRecord& r : ReadCod(ReadFile(BesideExe("KORVAL.COD"))))
        if (r.routine == m[1].str()) {
            EXPECT_EQ(plain, r.addr + offset);
        }
}

TEST_F(WindowsFault, CtrlCDuringTheConversion) {
    WriteFile(dir / "KORVAL.COD", ReadFile(BesideExe("KORVAL.COD")));
    Spawned child = StartHeldUp();
    ASSERT_EQ(kill(child.pid, SIGINT), 0);
    // Wine hands Ctrl-C to a thread of its own, which stops the converting
    // thread; give it the time before that thread may write on.
    usleep(300000);
    ExpectOrderlyAbort(child, "Control-C interrupt");
}

// The guard's own test of Ctrl-C (tests/windows), which waits, busy in its
// guard, to be interrupted.
TEST(WindowsGuard, CtrlCIsDeliveredWhereTheWorkWasInterrupted) {
    ScratchDir dir;
    Spawned child =
        SpawnIn(dir.path(), kWine, {BesideExe("tests/windows/guard_test.exe"), "ctrl-c"});
    for (int tries = 0; tries < 20000 && !FileExists(dir / "spinning"); tries++)
        usleep(1000);
    ASSERT_TRUE(FileExists(dir / "spinning"));
    usleep(100000);
    ASSERT_EQ(kill(child.pid, SIGINT), 0);
    RunResult r = Finish(child);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Console(r.out), "ctrl-c: passed\n");
}

TEST(WindowsCodeMap, HoldsTheToolsFunctionsAndIsItsOwnConversion) {
    std::string cod = ReadFile(BesideExe("KORVAL.COD"));
    std::vector<CodRecord> records = ReadCod(cod);
    ASSERT_GT(records.size(), 40u);
    std::map<std::string, std::string> moduleOf;
    for (size_t i = 0; i < records.size(); i++) {
        EXPECT_GE(records[i].addr, 0x400000u) << records[i].routine;
        if (i > 0) {
            EXPECT_LE(records[i - 1].addr, records[i].addr) << records[i].routine;
        }
        moduleOf[records[i].routine] = records[i].module;
    }
    const std::pair<const char*, const char*> expected[] = {
        {"main", "main.cpp.obj"},          {"GetaLine", "korval.cpp.obj"},
        {"SaveEntry", "korval.cpp.obj"},   {"WriteOutputB", "korval.cpp.obj"},
        {"OpenDebug", "mapdebug.cpp.obj"}, {"HandleException", "mapdebug.cpp.obj"},
        {"GuardRun", "exceptions.cpp.o"},  {"mainCRTStartup", "crt2.o"},
        {"___chkstk_ms", "_chkstk_ms.o"},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(moduleOf.count(e.first), 1u) << e.first;
        EXPECT_EQ(moduleOf[e.first], e.second) << e.first;
    }
    // The build made it with the Linux korval; korval.exe makes the same.
    ScratchDir dir;
    WriteFile(dir / "KORVAL.MAP", ReadFile(BesideExe("KORVAL.MAP")));
    Outcome r = WineIn(dir.path(), {"KORVAL.MAP", "OWN.COD"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(ReadFile(dir / "OWN.COD") == cod);
}

} // namespace
