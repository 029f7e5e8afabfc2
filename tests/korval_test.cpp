// korval_test.cpp - end-to-end tests: the built korval run in a fresh
// directory, checked by its console output, exit status and output bytes.
// The cases of suite Korval run on the Linux build and on the Windows build
// under Wine (when make test-windows names it); LinuxKorval holds the file
// name rules of Linux alone, and windows_test.cpp those of Windows.

#include "expected_output.h"
#include "tool_runner.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The cases of every build, and those of the Linux build alone.
class Korval : public ToolTest {};
class LinuxKorval : public ToolTest {};

std::string Upper(std::string text) {
    for (char& c : text)
        c = (char)toupper((unsigned char)c);
    return text;
}

// A map of entries symbol lines, and the number of entries a code map file
// holds (-1 when there is no such file): which map a run converted.
std::string NumberedMap(int entries) {
    std::vector<std::string> lines = {"Code"};
    for (int i = 0; i < entries; i++)
        lines.push_back(" 0000100" + std::to_string(i) + " _f f.obj");
    return CrLf(lines);
}

int EntriesIn(const std::string& path) {
    return FileExists(path) ? ReadBytes(path)[0] : -1;
}

TEST_P(Korval, HelpScreenForNoInputNameOrABadOption) {
    const std::vector<std::vector<std::string>> cases = {
        {},           {"-A"},        {"-?"}, {"/?"}, {"/h"}, {"-x", "app"},
        {"app", "/"}, {"app", "-Q"}, {"-"},  {""}};
    WriteBytes(dir / "app.map", kExampleMap);
    for (const auto& args : cases) {
        RunResult r = Run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(AfterBanner(r.out), kHelp) << "args: " << (args.empty() ? "" : args[0]);
    }
    EXPECT_FALSE(FileExists(dir / "APP.COD"));
    EXPECT_FALSE(FileExists(dir / "APP.ENT"));

    // An absolute Linux name: on Windows "/" always leads an option (here
    // an unknown one); on Linux a "/" followed by another is a file name.
    RunResult r = Run({dir / "app.map"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBanner(r.out), Tested().windows ? kHelp : EndLine(4));
}

TEST_P(Korval, WorkedExampleListingAndCodeMap) {
    WriteBytes(dir / "app.map", kExampleMap);

    RunResult r = Run({"-a", "app"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBanner(r.out), EndLine(4));
    EXPECT_EQ(ReadBytes(dir / "APP.ENT"), kExampleEnt);

    r = Run({"app", "/I"});
    EXPECT_EQ(AfterBanner(r.out), EndLine(5));
    EXPECT_EQ(ReadBytes(dir / "APP.COD"), ExampleInclusiveCod());
}

TEST_P(Korval, ThreeEntryFilesByteForByte) {
    WriteBytes(dir / "three.map", kThreeMap);
    Run({"three", "-a"});
    std::string ent = ReadBytes(dir / "THREE.ENT");
    EXPECT_EQ(ent.size(), 166u);
    EXPECT_EQ(ent, kThreeEnt);

    Run({"three"});
    std::string cod = ReadBytes(dir / "THREE.COD");
    EXPECT_EQ(cod.size(), 160u);
    EXPECT_EQ(cod, ThreeCod());

    // A second run replaces the file with the same bytes.
    Run({"three"});
    EXPECT_EQ(ReadBytes(dir / "THREE.COD"), cod);
}

TEST_P(Korval, LineAndSectionRules) {
    // Leading line end, LF and CR line ends, a three-character line inside the
    // section, "Code" twice (ends, then reopens), a last line with no end.
    WriteBytes(dir / "rules.map", "\r\nCODE\n Code\ncode\n 00000010 _Outside a.obj\nCode\r"
                                  " 00000030 _A a.obj\n ab\n\n\r\n 00000020 _B b.obj\nCode\n"
                                  " 00000040 _C c.obj\nCode\n 1a _D d.obj\n 100000010 _E e.obj");
    RunResult r = Run({"rules", "-a", "-d"});
    EXPECT_EQ(r.status, 0);
    std::string echo = AfterBanner(r.out);
    EXPECT_EQ(echo.substr(0, 15), "\n[1] \n[1] CODE\n") << echo;
    EXPECT_NE(echo.find("\n[2]  100000010 _E e.obj"), std::string::npos) << echo;
    EXPECT_EQ(ReadBytes(dir / "RULES.ENT"),
              CrLf({"4", "  000010  E                               e.obj",
                    "  000020  B                               b.obj",
                    "  000030  A                               a.obj",
                    "  00003A  D                               d.obj"}));
}

// A line of the listing, its routine column filled to 32 characters.
std::string EntLine(const std::string& addr, const std::string& routine,
                    const std::string& module) {
    return "  " + addr + "  " + routine + std::string(32 - routine.size(), ' ') + module;
}

TEST_P(Korval, FieldsAtTheirLimits) {
    std::string name32(32, 'R'), name40(40, 'S'), mod16 = "sixteen_chars.ob", mod20(20, 'm');
    std::string nul("NUL\0in", 6);
    // A line longer than a line can hold: what lies past its 254th character
    // must not come back as a line of its own.
    std::string longLine =
        " 00000004 _long long.obj" + std::string(240, ' ') + " 00000005 _split s.obj";
    WriteBytes(
        dir / "edge.map",
        CrLf({"Code", " FFFFFFFF _" + name32 + " " + mod16, " 01000000 _" + name40 + " " + mod20,
              " 00FFFFFF __two (startsWithParen.obj)", " 00000000 noUnderscore", " 00000001",
              " 00000002 _" + nul + " x\\y" + nul + "(z\\w.obj)", longLine}) +
            " 00000003 _last   last.obj   trailing words");
    Run({"edge", "-a", "-i"});
    EXPECT_EQ(ReadBytes(dir / "EDGE.ENT"),
              CrLf({"8", EntLine("000000", "noUnderscore", ""), EntLine("000001", "", ""),
                    EntLine("000002", "NUL", "yNUL"), EntLine("000003", "last", "last.obj"),
                    EntLine("000004", "long", "long.obj"), EntLine("FFFFFF", "_two", ""),
                    EntLine("1000000", name40.substr(0, 32), mod20.substr(0, 16)),
                    EntLine("FFFFFFFF", name32, mod16)}));
    Run({"edge", "-i"});
    std::string cod = ReadBytes(dir / "EDGE.COD");
    ASSERT_EQ(cod.size(), 4u + 8 * 52);
    EXPECT_EQ(cod.substr(4 + 7 * 52), Record(0xFFFFFFFF, name32, mod16));
    // The NUL inside the name is kept as a byte of the field.
    EXPECT_EQ(cod.substr(4 + 2 * 52, 52), Record(2, nul, "y" + nul));
}

// A library line is known by a backslash among the characters a line keeps;
// one past the 254th, in a part that is skipped, does not count.
TEST_P(Korval, BackslashesCountOnlyWithinTheKeptPartOfALine) {
    std::vector<std::string> lines = {"Code"};
    for (size_t at : {40, 200, 253, 254, 255, 270}) {
        std::string line = " 00001000 _at" + std::to_string(at) + " m.obj";
        line.resize(300, ' ');
        line[at] = '\\';
        lines.push_back(line);
        lines.push_back(line.substr(0, at + 1)); // the backslash ends the line
    }
    WriteBytes(dir / "slash.map", CrLf(lines));
    Run({"slash"});
    std::vector<std::string> names;
    for (const CodRecord& r : ReadCod(ReadBytes(dir / "SLASH.COD")))
        names.push_back(r.routine);
    EXPECT_EQ(names,
              std::vector<std::string>({"at270", "at270", "at255", "at255", "at254", "at254"}));
}

// Every byte of an address counts as a digit: below 'A' as 0-9 would, from
// 'A' on as A-F would, whatever it is; of more than eight only the last
// eight count.
TEST_P(Korval, AddressDigitsAreTakenAsTheyCome) {
    const std::vector<std::pair<std::string, uint32_t>> cases = {
        {"7FFFFFFF", 0x7FFFFFFF},
        {"0040100g", 0x00401030},
        {"abcdef01", 0xCDF00F01},
        {"ffffffff", 0x2222221F},
        {"12:4", 0x12A4},
        {"123456789", 0x23456789},
        {"00G", 0x10},
        {std::string("0000000\0", 8), 0xFFFFFFD0},
    };
    std::vector<std::string> lines = {"Code"};
    for (size_t i = 0; i < cases.size(); i++)
        lines.push_back(" " + cases[i].first + " _r" + std::to_string(i) + " m.obj");
    WriteBytes(dir / "digits.map", CrLf(lines));
    Run({"digits"});
    std::map<std::string, uint32_t> got;
    for (const CodRecord& r : ReadCod(ReadBytes(dir / "DIGITS.COD")))
        got[r.routine] = r.addr;
    ASSERT_EQ(got.size(), cases.size());
    for (size_t i = 0; i < cases.size(); i++)
        EXPECT_EQ(got["r" + std::to_string(i)], cases[i].second) << cases[i].first;
}

// Sorting must give exactly the order of inserting each entry before the
// first one with an equal or greater address, however the map is ordered:
// few addresses in random order, differing in their upper half, their lower
// half or both; and maps listed by address up or down.
TEST_P(Korval, OrderIsThatOfInsertionBeforeTheFirstEqualOrGreater) {
    const std::vector<std::function<uint32_t(int, uint32_t)>> orders = {
        [](int, uint32_t r) { return r % 50 * 0x01010101u; },
        [](int, uint32_t r) { return 0x00401000u + r % 50 * 16; },
        [](int, uint32_t r) { return r % 50 << 16; },
        [](int i, uint32_t) { return 0x00401000u + i / 3 * 16u; },
        [](int i, uint32_t) { return 0xFFFFFFF0u - i / 3 * 0x10010u; },
    };
    for (const auto& order : orders) {
        std::vector<std::string> lines = {"Code"};
        std::vector<std::pair<uint32_t, std::string>> expected; // inserted one by one
        uint32_t state = 12345;
        for (int i = 0; i < 3000; i++) {
            state = state * 1103515245u + 12345u;
            uint32_t addr = order(i, state >> 8);
            std::string name = "n" + std::to_string(i);
            char hex[9];
            snprintf(hex, sizeof hex, "%08X", addr);
            lines.push_back(std::string(" ") + hex + " _" + name + " m.obj");
            auto at = expected.begin();
            while (at != expected.end() && addr > at->first)
                ++at;
            expected.insert(at, {addr, name});
        }
        WriteBytes(dir / "order.map", CrLf(lines));
        Run({"order"});
        std::string want = Count(expected.size());
        for (const auto& entry : expected)
            want += Record(entry.first, entry.second, "m.obj");
        std::string got = ReadBytes(dir / "ORDER.COD");
        size_t diff =
            std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
        EXPECT_EQ(got.size(), want.size()) << lines[1];
        EXPECT_EQ(diff, got.size()) << lines[1] << ": record " << (diff - 4) / 52 << " differs";
    }
}

TEST_P(Korval, NoQualifyingLineGivesAnEmptyFile) {
    WriteBytes(dir / "none.map", CrLf({"Code", "Data", " 00001000 _x x.obj"}));
    RunResult r = Run({"none"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBanner(r.out), EndLine(0));
    EXPECT_EQ(ReadBytes(dir / "NONE.COD"), "");
}

// The names of the command line, with a directory of the scratch directory
// as the current one: each run must find its own map, told by its number of
// entries.
TEST_P(Korval, NamesAreDerived) {
    for (const char* sub : {"Work", "Work/Maps", "Work/Maps/build.x", "Work/lib", "x"})
        ASSERT_EQ(mkdir((dir / sub).c_str(), 0755), 0);
    WriteBytes(dir / "Work/Maps/prog.map", NumberedMap(1));
    WriteBytes(dir / "Work/Maps/Prog.txt", NumberedMap(3));
    WriteBytes(dir / "Work/lib/app.map", NumberedMap(4));
    WriteBytes(dir / "Work/Maps/build.x/prog.map", NumberedMap(5));
    const std::string cwd = dir / "Work/Maps";
    auto run = [&](const std::vector<std::string>& args) { return Tested().Run(cwd, args); };

    run({"prog"});
    EXPECT_EQ(EntriesIn(cwd + "/PROG.COD"), 1);
    run({"prog", "-a"});
    EXPECT_EQ(ReadBytes(cwd + "/PROG.ENT").substr(0, 3), "1\r\n");
    run({"prog.txt", "out"});
    EXPECT_EQ(EntriesIn(cwd + "/OUT.COD"), 3);
    run({"/A", "prog", "out.lst"});
    EXPECT_EQ(ReadBytes(cwd + "/OUT.LST").substr(0, 3), "1\r\n");
    run({Tested().Native("../lib/app"), Tested().FullName(dir / "x/y")});
    EXPECT_EQ(EntriesIn(dir / "x/Y.COD"), 4);
    run({Tested().Native("build.x/prog")});
    EXPECT_EQ(EntriesIn(cwd + "/build.x/PROG.COD"), 5);
    run({"prog", "one", "two"});
    EXPECT_EQ(EntriesIn(cwd + "/TWO.COD"), 1);
    EXPECT_FALSE(FileExists(cwd + "/ONE.COD"));

    // The absolute input name is what a failed open reports.
    RunResult r = run({Tested().Native("../nothere/x")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to open input file '" +
                                      Tested().FullName(dir / "Work/NOTHERE/X.MAP") + "'");
}

// Names upper-cased by the tool find files of any case, as on Windows, but
// a name ending in a dot keeps it (MISC. is the file misc.), and an existing
// output spelled otherwise is replaced under its own name.
TEST_P(LinuxKorval, NamesAreFoundIgnoringCase) {
    ASSERT_EQ(mkdir((dir / "w").c_str(), 0755), 0);
    std::string w = dir / "w";
    WriteBytes(w + "/misc.", NumberedMap(1));
    WriteBytes(w + "/Misc.Cod", "old");
    Tested().Run(w, {"misc."});
    EXPECT_EQ(ReadBytes(w + "/Misc.Cod").size(), 56u);
    EXPECT_FALSE(FileExists(w + "/MISC.COD"));
}

TEST_P(Korval, InputFailuresLeaveTheOutputAlone) {
    const std::string mapName = Tested().FullName(dir / "APP.MAP");
    WriteBytes(dir / "APP.COD", "keep me");
    RunResult r = Run({"app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to open input file '" + mapName + "'");
    EXPECT_EQ(ReadBytes(dir / "APP.COD"), "keep me");

    WriteBytes(dir / "app.map", "");
    r = Run({"app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to create '" + mapName + "' file mapping.");
    EXPECT_EQ(ReadBytes(dir / "APP.COD"), "keep me");

    ASSERT_EQ(truncate((dir / "app.map").c_str(), 0x123456789LL), 0); // sparse: no disk used
    r = Run({"app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out),
              "\nYou must be joking! I can't read a file 0x0000000123456789 bytes long.");
    EXPECT_EQ(ReadBytes(dir / "APP.COD"), "keep me");

    ASSERT_EQ(mkdir((dir / "dir.map").c_str(), 0755), 0);
    r = Run({"dir"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out),
              "\nUnable to open input file '" + Tested().FullName(dir / "DIR.MAP") + "'");
}

// The input is held open with read sharing only: it cannot be the output.
TEST_P(Korval, OutputThatIsTheInputIsRefused) {
    WriteBytes(dir / "app.map", kExampleMap);
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    for (const std::string out : {"app.map", "App.Map", "sub/../app.map"}) {
        RunResult r = Run({"app", Tested().Native(out)});
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_EQ(AfterBanner(r.out),
                  "\nUnable to open output file '" + Tested().Native(Upper(out)) + "'");
        EXPECT_EQ(ReadBytes(dir / "app.map"), kExampleMap) << out;
    }
    RunResult r = Run({"app", Tested().Native("nodir/out")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out),
              "\nUnable to open output file '" + Tested().Native("NODIR/OUT.COD") + "'");
}

// The Linux layer keeps the sharing itself, through links too.
TEST_P(LinuxKorval, OutputThatIsTheInputThroughALinkIsRefused) {
    WriteBytes(dir / "app.map", kExampleMap);
    ASSERT_EQ(link((dir / "app.map").c_str(), (dir / "hard.map").c_str()), 0);
    ASSERT_EQ(symlink("app.map", (dir / "soft.map").c_str()), 0);
    for (const char* out : {"hard.map", "soft.map"}) {
        RunResult r = Run({"app", out});
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_EQ(AfterBanner(r.out), "\nUnable to open output file '" + Upper(out) + "'");
        EXPECT_EQ(ReadBytes(dir / "app.map"), kExampleMap) << out;
    }
}

TEST_P(Korval, WriteFailureIsReportedNotCounted) {
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    WriteBytes(dir / "app.map", kExampleMap);
    ASSERT_EQ(symlink("/dev/full", (dir / "full.cod").c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", (dir / "full.ent").c_str()), 0);
    for (const char* format : {"-a", "-i"}) {
        RunResult r = Run({"app", "full", format});
        EXPECT_EQ(r.status, 1);
        std::string ext = format[1] == 'a' ? "ENT" : "COD";
        EXPECT_EQ(AfterBanner(r.out), "\nUnable to write output file 'FULL." + ext + "'");
    }
}

// Writes the system refuses with a signal on POSIX, where Win32 fails them:
// past the file size limit and into a pipe whose reader has gone. Each is a
// failed write, reported after the banner, which is kept; and a standard
// output that nobody reads does not fail a conversion that wrote its file.
TEST_P(LinuxKorval, WritesRefusedBySignalsAreFailedWrites) {
    std::string map = "Code\r\n";
    for (int i = 0; i < 20000; i++)
        map += " " + std::to_string(10000000 + i) + " _Routine" + std::to_string(i) + " m.obj\r\n";
    WriteBytes(dir / "mid.map", map);
    RunResult r = Run({"mid"});
    ASSERT_EQ(r.status, 0);
    const std::string complete = ReadBytes(dir / "MID.COD");
    ASSERT_EQ(complete.size(), 4 + 52 * 20000u) << "more than a pipe holds";

    r = RunIn(dir.Path(), Tested().exe, {"mid", "lim"}, {}, -1, [] {
        struct rlimit limit = {10240, 10240};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to write output file 'LIM.COD'");
    EXPECT_TRUE(ReadBytes(dir / "LIM.COD") == complete.substr(0, 10240));

    ASSERT_EQ(mkfifo((dir / "fifo.cod").c_str(), 0644), 0);
    int reader = open((dir / "fifo.cod").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    Spawned child = SpawnIn(dir.Path(), Tested().exe, {"mid", "fifo"});
    struct pollfd written = {reader, POLLIN, 0};
    EXPECT_EQ(poll(&written, 1, 20000), 1) << "korval wrote nothing";
    close(reader); // while korval waits for room in the pipe
    r = Finish(child);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to write output file 'FIFO.COD'");

    std::remove((dir / "MID.COD").c_str());
    r = RunIn(dir.Path(), Tested().exe, {"mid"}, {}, -1, [] {
        int out[2];
        if (pipe(out) != 0) _exit(125);
        dup2(out[1], 1);
        close(out[0]); // the reader is gone before anything is written
        close(out[1]);
    });
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(ReadBytes(dir / "MID.COD") == complete);
}

TEST_P(LinuxKorval, OverlongNamesAreRefusedBeforeAnyFileIsTouched) {
    std::string longName(5000, 'n');
    RunResult r = Run({longName});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nFile name too long: '" + longName + "'");

    // Longer than the old 127-character limit, but within the system's.
    std::string name(200, 'q');
    WriteBytes(dir / (name + ".map"), kExampleMap);
    r = Run({name});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(FileExists(dir / (std::string(200, 'Q') + ".COD")));
}

// The native tool also as built with the portable byte kernels.
const Tool kPortable = {"portable", KORVAL_PORTABLE_EXE};

INSTANTIATE_TEST_SUITE_P(, Korval,
                         ::testing::Values(NativeTool(KORVAL_EXE), kPortable, WindowsTool()),
                         ToolName);
INSTANTIATE_TEST_SUITE_P(, LinuxKorval, ::testing::Values(NativeTool(KORVAL_EXE), kPortable),
                         ToolName);

} // namespace
