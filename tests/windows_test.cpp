// windows_test.cpp - end-to-end tests of what the Windows build alone does:
// korval.exe run under Wine in a fresh directory, checked by its console
// output, exit status and output bytes, and compared byte for byte with the
// Linux build. The cases of every build run on it from korval_test.cpp and
// fault_test.cpp.
//
// The Windows executable is named by KORVAL_WINDOWS_EXE in the environment
// (make test-windows sets it, with the Wine prefix to use); without it these
// tests skip. Wine maps drive Z: to the Linux root, so /tmp/x is Z:\tmp\x to
// the Windows build.

#include "expected_output.h"
#include "tool_runner.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

namespace {

const std::string kLinuxKorval = KORVAL_EXE;
const std::string kGenmap = GENMAP_EXE;
const std::string kSampleMap = std::string(KORVAL_SOURCE_DIR) + "/examples/sample.map";

// The tool's cases, and the guard's own test built for Windows.
class WindowsKorval : public ToolTest {};
class WindowsGuard : public ToolTest {};

// The names of the command line in their Windows form, with a directory of
// the scratch directory as the current one.
TEST_P(WindowsKorval, NamesInWindowsForm) {
    for (const char* sub : {"Work", "Work/Maps"})
        ASSERT_EQ(mkdir((dir / sub).c_str(), 0755), 0);
    const std::string cwd = dir / "Work/Maps";
    const std::string win = Tested().FullName(cwd);
    auto run = [&](const std::vector<std::string>& args) { return Tested().Run(cwd, args); };

    // A name that ends in a dot has no extension: PROG. is the file PROG.
    WriteBytes(cwd + "/prog.map", CrLf({"Code", " 00001000 _f f.obj"}));
    WriteBytes(cwd + "/prog", CrLf({"Code", " 00001000 _f f.obj", " 00001001 _g f.obj"}));
    run({"prog."});
    EXPECT_EQ(ReadBytes(cwd + "/PROG.COD")[0], 2);

    // The absolute input names, as a failed open reports them.
    const std::vector<std::pair<std::string, std::string>> names = {
        {"nothere", win + "\\NOTHERE.MAP"},
        {"none.", win + "\\NONE."},
        {"sub/./deeper/../x.y", win + "\\SUB\\X.Y"},
        {"\\nothere", "Z:\\NOTHERE.MAP"},
        {"z:nothere", win + "\\NOTHERE.MAP"},
        {"c:nothere", "C:\\NOTHERE.MAP"},
        {"q:\\nothere", "Q:\\NOTHERE.MAP"},
        {"\\\\server\\share\\x", "\\\\SERVER\\SHARE\\X.MAP"},
    };
    for (const auto& [arg, full] : names) {
        RunResult r = run({arg});
        EXPECT_EQ(r.status, 1) << arg;
        EXPECT_EQ(AfterBanner(r.out), "\nUnable to open input file '" + full + "'") << arg;
    }
}

TEST_P(WindowsKorval, NamesLongerThanWindowsAllowsAreRefused) {
    std::string longName(300, 'n');
    RunResult r = Run({longName});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBanner(r.out), "\nFile name too long: '" + longName + "'");

    // Short enough as typed, too long once made absolute.
    std::string name(259 - Tested().FullName(dir.Path()).size(), 'q');
    r = Run({name});
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
TEST_P(WindowsKorval, SameBytesAsTheLinuxBuild) {
    WriteBytes(dir / "sample.map", ReadBytes(kSampleMap));
    ASSERT_EQ(RunIn(dir.Path(), kGenmap,
                    {"--symbols", "200000", "--order", "random", "--seed", "7", "real.map"})
                  .status,
              0);
    WriteBytes(dir / "odd.map", GeneratedMap(200000));
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

                RunResult l = RunIn(dir.Path(), kLinuxKorval, linuxArgs);
                RunResult w = Run(windowsArgs);
                std::string ext = format[1] == 'a' ? ".ENT" : ".COD";
                std::string what = std::string(map) + " " + format + " " + library;
                EXPECT_EQ(l.status, 0) << what;
                EXPECT_EQ(w.status, 0) << what;
                EXPECT_EQ(AfterBanner(w.out), AfterBanner(l.out)) << what;
                std::string linuxOut = ReadBytes(dir / ("LINUX" + ext));
                EXPECT_GT(linuxOut.size(), 4u) << what;
                EXPECT_TRUE(ReadBytes(dir / ("WINDOWS" + ext)) == linuxOut) << what;
            }
        }
    }
    // The line echo too.
    RunResult l = RunIn(dir.Path(), kLinuxKorval, {"-d", "sample", "linux"});
    RunResult w = Run({"-d", "sample", "windows"});
    EXPECT_EQ(AfterBanner(w.out), AfterBanner(l.out));
}

// The guard's own test of Ctrl-C (tests/windows), which waits, busy in its
// guard, to be interrupted.
TEST_P(WindowsGuard, CtrlCIsDeliveredWhereTheWorkWasInterrupted) {
    Tool guard = Tested();
    guard.exe = Tested().Beside("tests/windows/guard_test.exe");
    Spawned child = guard.Spawn(dir.Path(), {"ctrl-c"});
    for (int tries = 0; tries < 20000 && !FileExists(dir / "spinning"); tries++)
        usleep(1000);
    ASSERT_TRUE(FileExists(dir / "spinning"));
    usleep(100000);
    ASSERT_EQ(kill(child.pid, SIGINT), 0);
    RunResult r = guard.Finish(child);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ctrl-c: passed\n");
}

INSTANTIATE_TEST_SUITE_P(, WindowsKorval, ::testing::Values(WindowsTool()), ToolName);
INSTANTIATE_TEST_SUITE_P(, WindowsGuard, ::testing::Values(WindowsTool()), ToolName);

} // namespace
