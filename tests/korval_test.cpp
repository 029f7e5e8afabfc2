// korval_test.cpp - end-to-end tests: the built korval run in a fresh
// directory, checked by its console output, exit status and output bytes.

#include "expected_output.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include <regex>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The build runs these tests against korval and, naming it in KORVAL_EXE,
// against korval_portable.
const std::string kKorval = getenv("KORVAL_EXE") ? getenv("KORVAL_EXE") : KORVAL_EXE;

class Korval : public ::testing::Test {
  protected:
    RunResult Run(const std::vector<std::string>& args) { return RunIn(dir.path(), kKorval, args); }
    ScratchDir dir;
};

TEST_F(Korval, HelpScreenForNoInputNameOrABadOption) {
    const std::vector<std::vector<std::string>> cases = {
        {}, {"-A"}, {"-?"}, {"/h"}, {"-x", "app"}, {"app", "/"}, {"-"}, {""}, {"app", "-Q"}};
    WriteFile(dir / "app.map", kExampleMap);
    for (const auto& args : cases) {
        RunResult r = Run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(AfterBanner(r.out), kHelp) << "args: " << (args.empty() ? "" : args[0]);
    }
    EXPECT_FALSE(FileExists(dir / "APP.COD"));
    EXPECT_FALSE(FileExists(dir / "APP.ENT"));
}

TEST_F(Korval, WorkedExampleListingAndCodeMap) {
    WriteFile(dir / "app.map", kExampleMap);

    RunResult r = Run({"-a", "app"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBanner(r.out), EndLine(4));
    EXPECT_EQ(ReadFile(dir / "APP.ENT"), kExampleEnt);

    r = Run({"app", "/I"});
    EXPECT_EQ(AfterBanner(r.out), EndLine(5));
    EXPECT_EQ(ReadFile(dir / "APP.COD"), ExampleInclusiveCod());
}

TEST_F(Korval, ThreeEntryFilesByteForByte) {
    WriteFile(dir / "three.map", kThreeMap);
    Run({"three", "-a"});
    std::string ent = ReadFile(dir / "THREE.ENT");
    EXPECT_EQ(ent.size(), 166u);
    EXPECT_EQ(ent, kThreeEnt);

    Run({"three"});
    std::string cod = ReadFile(dir / "THREE.COD");
    EXPECT_EQ(cod.size(), 160u);
    EXPECT_EQ(cod, ThreeCod());

    // A second run replaces the file with the same bytes.
    Run({"three"});
    EXPECT_EQ(ReadFile(dir / "THREE.COD"), cod);
}

TEST_F(Korval, LineAndSectionRules) {
    // Leading line end, LF and CR line ends, a three-character line inside the
    // section, "Code" twice (ends, then reopens), a last line with no end.
    WriteFile(dir / "rules.map", "\r\nCODE\n Code\ncode\n 00000010 _Outside a.obj\nCode\r"
                                 " 00000030 _A a.obj\n ab\n\n\r\n 00000020 _B b.obj\nCode\n"
                                 " 00000040 _C c.obj\nCode\n 1a _D d.obj\n 100000010 _E e.obj");
    RunResult r = Run({"rules", "-a", "-d"});
    EXPECT_EQ(r.status, 0);
    std::string echo = AfterBanner(r.out);
    EXPECT_EQ(echo.substr(0, 15), "\n[1] \n[1] CODE\n") << echo;
    EXPECT_NE(echo.find("\n[2]  100000010 _E e.obj"), std::string::npos) << echo;
    EXPECT_EQ(ReadFile(dir / "RULES.ENT"),
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

TEST_F(Korval, FieldsAtTheirLimits) {
    std::string name32(32, 'R'), name40(40, 'S'), mod16 = "sixteen_chars.ob", mod20(20, 'm');
    std::string nul("NUL\0in", 6);
    // A line longer than a line can hold: what lies past its 254th character
    // must not come back as a line of its own.
    std::string longLine =
        " 00000004 _long long.obj" + std::string(240, ' ') + " 00000005 _split s.obj";
    WriteFile(
        dir / "edge.map",
        CrLf({"Code", " FFFFFFFF _" + name32 + " " + mod16, " 01000000 _" + name40 + " " + mod20,
              " 00FFFFFF __two (startsWithParen.obj)", " 00000000 noUnderscore", " 00000001",
              " 00000002 _" + nul + " x\\y" + nul + "(z\\w.obj)", longLine}) +
            " 00000003 _last   last.obj   trailing words");
    Run({"edge", "-a", "-i"});
    EXPECT_EQ(ReadFile(dir / "EDGE.ENT"),
              CrLf({"8", EntLine("000000", "noUnderscore", ""), EntLine("000001", "", ""),
                    EntLine("000002", "NUL", "yNUL"), EntLine("000003", "last", "last.obj"),
                    EntLine("000004", "long", "long.obj"), EntLine("FFFFFF", "_two", ""),
                    EntLine("1000000", name40.substr(0, 32), mod20.substr(0, 16)),
                    EntLine("FFFFFFFF", name32, mod16)}));
    Run({"edge", "-i"});
    std::string cod = ReadFile(dir / "EDGE.COD");
    ASSERT_EQ(cod.size(), 4u + 8 * 52);
    EXPECT_EQ(cod.substr(4 + 7 * 52), Record(0xFFFFFFFF, name32, mod16));
    // The NUL inside the name is kept as a byte of the field.
    EXPECT_EQ(cod.substr(4 + 2 * 52, 52), Record(2, nul, "y" + nul));
}

// A library line is known by a backslash among the characters a line keeps;
// one past the 254th, in a part that is skipped, does not count.
TEST_F(Korval, BackslashesCountOnlyWithinTheKeptPartOfALine) {
    std::vector<std::string> lines = {"Code"};
    for (size_t at : {40, 200, 253, 254, 255, 270}) {
        std::string line = " 00001000 _at" + std::to_string(at) + " m.obj";
        line.resize(300, ' ');
        line[at] = '\\';
        lines.push_back(line);
        lines.push_back(line.substr(0, at + 1)); // the backslash ends the line
    }
    WriteFile(dir / "slash.map", CrLf(lines));
    Run({"slash"});
    std::vector<std::string> names;
    for (const CodRecord& r : ReadCod(ReadFile(dir / "SLASH.COD")))
        names.push_back(r.routine);
    EXPECT_EQ(names,
              std::vector<std::string>({"at270", "at270", "at255", "at255", "at254", "at254"}));
}

// Every byte of an address counts as a digit: below 'A' as 0-9 would, from
// 'A' on as A-F would, whatever it is; of more than eight only the last
// eight count.
TEST_F(Korval, AddressDigitsAreTakenAsTheyCome) {
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
    WriteFile(dir / "digits.map", CrLf(lines));
    Run({"digits"});
    std::map<std::string, uint32_t> got;
    for (const CodRecord& r : ReadCod(ReadFile(dir / "DIGITS.COD")))
        got[r.routine] = r.addr;
    ASSERT_EQ(got.size(), cases.size());
    for (size_t i = 0; i < cases.size(); i++)
        EXPECT_EQ(got["r" + std::to_string(i)], cases[i].second) << cases[i].first;
}

// Sorting must give exactly the order of inserting each entry before the
// first one with an equal or greater address, however the map is ordered:
// few addresses in random order, differing in their upper half, their lower
// half or both; and maps listed by address up or down.
TEST_F(Korval, OrderIsThatOfInsertionBeforeTheFirstEqualOrGreater) {
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
        WriteFile(dir / "order.map", CrLf(lines));
        Run({"order"});
        std::string want = Count(expected.size());
        for (const auto& entry : expected)
            want += Record(entry.first, entry.second, "m.obj");
        std::string got = ReadFile(dir / "ORDER.COD");
        size_t diff =
            std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
        EXPECT_EQ(got.size(), want.size()) << lines[1];
        EXPECT_EQ(diff, got.size()) << lines[1] << ": record " << (diff - 4) / 52 << " differs";
    }
}

TEST_F(Korval, NoQualifyingLineGivesAnEmptyFile) {
    WriteFile(dir / "none.map", CrLf({"Code", "Data", " 00001000 _x x.obj"}));
    RunResult r = Run({"none"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBanner(r.out), EndLine(0));
    EXPECT_EQ(ReadFile(dir / "NONE.COD"), "");
}

TEST_F(Korval, NamesAreDerivedAndFoundIgnoringCase) {
    ASSERT_EQ(mkdir((dir / "w").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "lib").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "x").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "w/build.x").c_str(), 0755), 0);
    std::string map = CrLf({"Code", " 00001000 _f f.obj"});
    for (const char* name : {"w/prog.map", "w/Prog.txt", "lib/app.map", "w/build.x/prog.map"})
        WriteFile(dir / name, map);
    std::string w = dir / "w";
    RunIn(w, kKorval, {"prog"});
    EXPECT_TRUE(FileExists(w + "/PROG.COD"));
    RunIn(w, kKorval, {"prog", "-a"});
    EXPECT_TRUE(FileExists(w + "/PROG.ENT"));
    RunIn(w, kKorval, {"prog.txt", "out"});
    EXPECT_TRUE(FileExists(w + "/OUT.COD"));
    RunIn(w, kKorval, {"../lib/app", dir / "x/y"});
    EXPECT_TRUE(FileExists(dir / "x/Y.COD"));
    RunIn(w, kKorval, {"build.x/prog"});
    EXPECT_TRUE(FileExists(w + "/build.x/PROG.COD"));
    RunIn(w, kKorval, {"prog", "one", "two"});
    EXPECT_TRUE(FileExists(w + "/TWO.COD"));
    EXPECT_FALSE(FileExists(w + "/ONE.COD"));
    RunIn(w, kKorval, {"/A", "prog", "out.lst"});
    EXPECT_EQ(ReadFile(w + "/OUT.LST").substr(0, 3), "1\r\n");

    // A name ending in a dot keeps it; an existing output spelled otherwise
    // is replaced under its own name.
    WriteFile(w + "/misc.", map);
    WriteFile(w + "/Misc.Cod", "old");
    RunIn(w, kKorval, {"misc."});
    EXPECT_EQ(ReadFile(w + "/Misc.Cod").size(), 56u);
    EXPECT_FALSE(FileExists(w + "/MISC.COD"));

    // The absolute input name is what a failed open reports.
    RunResult r = RunIn(w, kKorval, {"../nothere/x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to open input file '" + dir.path() + "/NOTHERE/X.MAP'");
}

TEST_F(Korval, InputFailuresLeaveTheOutputAlone) {
    WriteFile(dir / "APP.COD", "keep me");
    RunResult r = Run({"app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to open input file '" + dir.path() + "/APP.MAP'");
    EXPECT_EQ(ReadFile(dir / "APP.COD"), "keep me");

    WriteFile(dir / "app.map", "");
    r = Run({"app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to create '" + dir.path() + "/APP.MAP' file mapping.");
    EXPECT_EQ(ReadFile(dir / "APP.COD"), "keep me");

    ASSERT_EQ(truncate((dir / "app.map").c_str(), 0x123456789LL), 0); // sparse: no disk used
    r = Run({"app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out),
              "\nYou must be joking! I can't read a file 0x0000000123456789 bytes long.");

    ASSERT_EQ(mkdir((dir / "dir.map").c_str(), 0755), 0);
    r = Run({"dir"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to open input file '" + dir.path() + "/DIR.MAP'");
}

TEST_F(Korval, OutputThatIsTheInputUnderAnyNameIsRefused) {
    WriteFile(dir / "app.map", kExampleMap);
    ASSERT_EQ(link((dir / "app.map").c_str(), (dir / "hard.map").c_str()), 0);
    ASSERT_EQ(symlink("app.map", (dir / "soft.map").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    for (const char* out : {"app.map", "APP.MAP", "sub/../app.map", "hard.map", "soft.map"}) {
        RunResult r = Run({"app", out});
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_NE(r.out.find("\nUnable to open output file '"), std::string::npos) << out;
        EXPECT_EQ(ReadFile(dir / "app.map"), kExampleMap) << out;
    }
    RunResult r = Run({"app", "nodir/out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nUnable to open output file 'NODIR/OUT.COD'");
}

TEST_F(Korval, WriteFailureIsReportedNotCounted) {
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    WriteFile(dir / "app.map", kExampleMap);
    ASSERT_EQ(symlink("/dev/full", (dir / "full.cod").c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", (dir / "full.ent").c_str()), 0);
    for (const char* format : {"-a", "-i"}) {
        RunResult r = Run({"app", "full", format});
        EXPECT_EQ(r.status, 1);
        std::string ext = format[1] == 'a' ? "ENT" : "COD";
        EXPECT_EQ(AfterBanner(r.out), "\nUnable to write output file 'FULL." + ext + "'");
    }
}

TEST_F(Korval, OverlongNamesAreRefusedBeforeAnyFileIsTouched) {
    std::string longName(5000, 'n');
    RunResult r = Run({longName});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nFile name too long: '" + longName + "'");

    // Longer than the old 127-character limit, but within the system's.
    std::string name(200, 'q');
    WriteFile(dir / (name + ".map"), kExampleMap);
    r = Run({name});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(FileExists(dir / (std::string(200, 'Q') + ".COD")));
}

} // namespace
