// bad_input_test.cpp - the built korval given inputs no linker writes and
// file names that point where they should not. Every case checks what the
// tool prints, its exit status, and that no file of the user's is lost or
// damaged; none may crash it.

#include "tool_runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kKorval = KORVAL_EXE;
const int kNobody = 65534;

std::string Upper(std::string text) {
    for (char& c : text)
        c = (char)toupper((unsigned char)c);
    return text;
}

std::string EndLine(size_t count) {
    return "\nEnd KORVAL - " + std::to_string(count) + " map entries written.\n";
}

std::string Le32(uint32_t v) {
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

std::string Record(uint32_t addr, const std::string& routine, const std::string& module) {
    return Le32(addr) + routine + std::string(32 - routine.size(), '\0') + module +
           std::string(16 - module.size(), '\0');
}

std::string EntLine(const std::string& addr, const std::string& routine,
                    const std::string& module) {
    return "  " + addr + "  " + routine + std::string(32 - routine.size(), ' ') + module;
}

// Counts the entries a code map announces after checking that its size
// agrees, and that a listing has as many lines, every one in its shape.
size_t CheckedCount(const std::string& cod, const std::string& ent) {
    EXPECT_GE(cod.size(), 4u);
    uint32_t count = (uint8_t)cod[0] | (uint8_t)cod[1] << 8 | (uint8_t)cod[2] << 16 |
                     (uint32_t)(uint8_t)cod[3] << 24;
    EXPECT_EQ(cod.size(), 4 + 52 * (size_t)count);
    EXPECT_EQ(ent.compare(0, std::to_string(count).size() + 2, std::to_string(count) + "\r\n"), 0);
    size_t lines = 0;
    for (size_t at = ent.find("\r\n") + 2; at < ent.size(); lines++) {
        size_t end = ent.find("\r\n", at);
        EXPECT_NE(end, std::string::npos);
        std::string line = ent.substr(at, end - at);
        EXPECT_GE(line.size(), 42u);
        EXPECT_EQ(line.compare(0, 2, "  "), 0) << line;
        at = end + 2;
    }
    EXPECT_EQ(lines, count);
    return count;
}

class BadInput : public ::testing::Test {
  protected:
    RunResult Run(const std::vector<std::string>& args, int uid = -1) {
        return RunIn(dir.Path(), kKorval, args, {}, uid);
    }

    // Converts map into both formats and checks that the two runs agree and
    // end as a completed conversion; returns the number of entries.
    size_t ConvertBoth(const std::string& map) {
        WriteBytes(dir / "in.map", map);
        RunResult cod = Run({"in"});
        RunResult ent = Run({"in", "-a"});
        EXPECT_EQ(cod.signal, 0);
        EXPECT_EQ(ent.signal, 0);
        EXPECT_EQ(cod.status, 0);
        EXPECT_EQ(ent.status, 0);
        EXPECT_TRUE(ReadBytes(dir / "in.map") == map) << "the input was changed";
        std::string codBytes = ReadBytes(dir / "IN.COD"), entBytes = ReadBytes(dir / "IN.ENT");
        if (codBytes.empty()) {
            EXPECT_EQ(entBytes, "");
            EXPECT_EQ(AfterBannerLine(cod.out), EndLine(0));
            return 0;
        }
        size_t count = CheckedCount(codBytes, entBytes);
        EXPECT_EQ(AfterBannerLine(cod.out), EndLine(count));
        EXPECT_EQ(AfterBannerLine(ent.out), EndLine(count));
        return count;
    }

    // The user to run as for a permission to bite: an ordinary user when the
    // tests run as root and that user can reach the tool, else ourselves
    // (-1). -2 when neither can show it.
    int PermissionUser() {
        if (geteuid() != 0) return -1;
        chmod(dir.Path().c_str(), 0755);
        pid_t pid = fork();
        if (pid == 0) {
            bool ok = setgid(kNobody) == 0 && setuid(kNobody) == 0 &&
                      access(kKorval.c_str(), X_OK) == 0 && access(dir.Path().c_str(), X_OK) == 0;
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kNobody : -2;
    }

    ScratchDir dir;
};

TEST_F(BadInput, RandomBytesAndNulsAsTheMap) {
    std::mt19937 random(20261207);
    std::string noise(1 << 16, '\0');
    for (char& c : noise)
        c = (char)random();
    EXPECT_EQ(ConvertBoth(noise), 0u) << "noise holds no line that is exactly \"Code\"";
    EXPECT_EQ(ConvertBoth(std::string(10000, '\0')), 0u);

    // Noise inside code sections: lines of random bytes, NULs and all, some
    // beginning with a space, between "Code" lines.
    std::string sections;
    size_t spaced = 0;
    for (int i = 0; i < 2000; i++) {
        std::string line(4 + random() % 80, '\0');
        for (char& c : line) {
            c = (char)random();
            if (c == '\r' || c == '\n') c = '\0';
        }
        if (i % 3 != 2) line[0] = ' ';
        spaced += line[0] == ' ';
        sections += (i % 100 == 0 ? "Code\r\n" : "") + line + (i % 2 ? "\n" : "\r\n");
    }
    size_t count = ConvertBoth(sections);
    EXPECT_GT(count, 10u);
    EXPECT_LT(count, spaced);
}

TEST_F(BadInput, LinesOfTenThousandCharacters) {
    std::string map = CrLf({
        "Code" + std::string(9996, ' '), // no "Code" line: opens nothing
        "Code",
        " 00001000 _first " + std::string(10000, 'a'),             // module cut to 16
        std::string(10000, ' '),                                   // spaces only: empty fields
        " 00002000 _" + std::string(9989, 'n'),                    // routine cut to 32, no module
        " 00003000 _third t.obj" + std::string(9978, ' ') + "\\x", // backslash past the cut
        std::string(10000, 'x'),                                   // ends the section
        " 00004000 _after a.obj",
    });
    WriteBytes(dir / "long.map", map);
    RunResult r = Run({"long", "-a"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBannerLine(r.out), EndLine(4));
    EXPECT_EQ(
        ReadBytes(dir / "LONG.ENT"),
        CrLf({"4", EntLine("000000", "", ""), EntLine("001000", "first", std::string(16, 'a')),
              EntLine("002000", std::string(32, 'n'), ""), EntLine("003000", "third", "t.obj")}));
    EXPECT_TRUE(ReadBytes(dir / "long.map") == map);
}

TEST_F(BadInput, AMapOfOnlyCodeLines) {
    std::string map;
    for (int i = 0; i < 5000; i++)
        map += i % 2 ? "Code\r" : "Code\r\n";
    EXPECT_EQ(ConvertBoth(map), 0u);
    EXPECT_EQ(ConvertBoth("Code"), 0u);
}

TEST_F(BadInput, TwoHundredThousandLinesAtOneAddress) {
    const int n = 200000;
    std::string map = "Code\r\n";
    std::string cod = Le32(n);
    for (int i = 0; i < n; i++)
        map += " 00401000 _f" + std::to_string(i) + " m" + std::to_string(i % 1000) + ".obj\r\n";
    // Among equal addresses the line read later comes first.
    for (int i = n - 1; i >= 0; i--)
        cod += Record(0x401000, "f" + std::to_string(i), "m" + std::to_string(i % 1000) + ".obj");
    WriteBytes(dir / "same.map", map);
    RunResult r = Run({"same"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBannerLine(r.out), EndLine(n));
    EXPECT_TRUE(ReadBytes(dir / "SAME.COD") == cod);
    r = Run({"same", "-a"});
    EXPECT_EQ(r.status, 0);
    std::string ent = ReadBytes(dir / "SAME.ENT");
    EXPECT_EQ(CheckedCount(cod, ent), (size_t)n);
    std::string head = CrLf({"200000", EntLine("401000", "f199999", "m999.obj")});
    EXPECT_EQ(ent.substr(0, head.size()), head);
}

TEST_F(BadInput, NamesOfBytesAbove127PassUnchanged) {
    std::string routine, module;
    for (int i = 0; i < 40; i++)
        routine += (char)(0x80 + i * 3);
    for (int i = 0; i < 20; i++)
        module += (char)(0xFF - i);
    // Address digits above 127 count as negative digit values: C3 A9 gives
    // (-61 - 48) * 16 + (-87 - 48), 0xFFFFF8A9 in 32 bits.
    std::string map = CrLf({"Code", " 00401000 _" + routine + " " + module, " \xC3\xA9 \xFF \xFE"});
    WriteBytes(dir / "high.map", map);
    RunResult r = Run({"high"});
    EXPECT_EQ(r.status, 0);
    std::string cod = ReadBytes(dir / "HIGH.COD");
    ASSERT_EQ(cod.size(), 4u + 2 * 52);
    EXPECT_EQ(cod.substr(4), Record(0x401000, routine.substr(0, 32), module.substr(0, 16)) +
                                 Record(0xFFFFF8A9, "\xFF", "\xFE"));
    Run({"high", "-a"});
    EXPECT_NE(ReadBytes(dir / "HIGH.ENT")
                  .find(EntLine("401000", routine.substr(0, 32), module.substr(0, 16)) + "\r\n"),
              std::string::npos);
    EXPECT_TRUE(ReadBytes(dir / "high.map") == map);
}

TEST_F(BadInput, PipesNeverBlockTheRun) {
    const std::string map = CrLf({"Code", " 00001000 _f f.obj"});
    WriteBytes(dir / "app.map", map);
    ASSERT_EQ(mkfifo((dir / "pipe.map").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo((dir / "pipe.cod").c_str(), 0644), 0);
    // Nobody writes the input pipe and nobody reads the output pipe.
    RunResult r = Run({"pipe"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBannerLine(r.out),
              "\nUnable to create '" + dir.Path() + "/PIPE.MAP' file mapping.");
    r = Run({"app", "pipe"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBannerLine(r.out), "\nUnable to open output file 'PIPE.COD'");
    EXPECT_TRUE(ReadBytes(dir / "app.map") == map);
}

// A KORVAL.COD that is not a file on disk is ignored at once, as a missing
// one is: a FIFO with a live writer, or a link to a standard input that is
// a pipe whose writer stays, would otherwise hold up the start for good.
TEST_F(BadInput, ACodeMapThatIsNoFileNeverHoldsUpTheStart) {
    WriteBytes(dir / "app.map", CrLf({"Code", " 00001000 _f f.obj"}));
    ASSERT_EQ(Run({"app"}).status, 0);
    const std::string cod = ReadBytes(dir / "APP.COD");
    auto runPromptly = [&](const ChildSetup& setup) {
        std::remove((dir / "APP.COD").c_str());
        Spawned child = SpawnIn(dir.Path(), kKorval, {"app"}, {}, -1, setup);
        bool ended = WaitEnded(child, 10);
        if (!ended) kill(child.pid, SIGKILL);
        RunResult r = Finish(child);
        EXPECT_TRUE(ended) << "korval waited on its code map";
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(AfterBannerLine(r.out), EndLine(1));
        EXPECT_TRUE(FileExists(dir / "APP.COD") && ReadBytes(dir / "APP.COD") == cod);
    };

    ASSERT_EQ(mkfifo((dir / "KORVAL.COD").c_str(), 0644), 0);
    int writer = open((dir / "KORVAL.COD").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    runPromptly(nullptr);
    close(writer);

    std::remove((dir / "KORVAL.COD").c_str());
    ASSERT_EQ(symlink("/dev/stdin", (dir / "KORVAL.COD").c_str()), 0);
    int input[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    runPromptly([&] { dup2(input[0], 0); });
    close(input[0]);
    close(input[1]);
}

TEST_F(BadInput, AnInputWithoutReadPermission) {
    int user = PermissionUser();
    if (user == -2) GTEST_SKIP() << "running as root and no ordinary user can run the tool here";
    const std::string map = CrLf({"Code", " 00001000 _f f.obj"});
    WriteBytes(dir / "secret.map", map);
    WriteBytes(dir / "SECRET.COD", "keep me");
    chmod((dir / "secret.map").c_str(), 0200);
    if (user >= 0) chown((dir / "secret.map").c_str(), user, user);
    RunResult r = Run({"secret"}, user);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBannerLine(r.out),
              "\nUnable to open input file '" + dir.Path() + "/SECRET.MAP'");
    EXPECT_EQ(ReadBytes(dir / "SECRET.COD"), "keep me");
    EXPECT_TRUE(ReadBytes(dir / "secret.map") == map);
}

TEST_F(BadInput, AnOutputInAReadOnlyDirectory) {
    int user = PermissionUser();
    if (user == -2) GTEST_SKIP() << "running as root and no ordinary user can run the tool here";
    const std::string map = CrLf({"Code", " 00001000 _f f.obj"});
    WriteBytes(dir / "app.map", map);
    ASSERT_EQ(mkdir((dir / "ro").c_str(), 0555), 0);
    if (user >= 0) chown((dir / "ro").c_str(), user, user);
    RunResult r = Run({"app", "ro/out"}, user);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBannerLine(r.out), "\nUnable to open output file 'RO/OUT.COD'");
    EXPECT_FALSE(FileExists(dir / "ro/OUT.COD"));
    EXPECT_TRUE(ReadBytes(dir / "app.map") == map);
}

TEST_F(BadInput, OutputThatIsTheInputUnderFurtherSpellings) {
    const std::string map = CrLf({"Code", " 00001000 _f f.obj"});
    WriteBytes(dir / "app.map", map);
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink(dir.Path().c_str(), (dir / "sub/up").c_str()), 0);
    ASSERT_EQ(link((dir / "app.map").c_str(), (dir / "sub/Hard.Map").c_str()), 0);
    ASSERT_EQ(symlink("sub/Hard.Map", (dir / "chain.map").c_str()), 0);
    const std::vector<std::pair<std::string, std::string>> spellings = {
        {dir / "app.map", Upper(dir / "app.map")}, // absolute
        {"./App.Map", "./APP.MAP"},
        {"sub\\..\\app.map", "SUB\\..\\APP.MAP"},
        {"sub/up/app.map", "SUB/UP/APP.MAP"},               // through a linked directory
        {"sub/hard.map", "SUB/HARD.MAP"},                   // hard link, other case
        {"chain.map", "CHAIN.MAP"},                         // symbolic link to the hard link
        {"sub/up/sub/../chain", "SUB/UP/SUB/../CHAIN.COD"}, // a different file: no refusal
    };
    for (const auto& spelling : spellings) {
        SCOPED_TRACE(spelling.first);
        RunResult r = Run({"app", spelling.first});
        bool other = spelling.second.find(".COD") != std::string::npos;
        EXPECT_EQ(r.status, other ? 0 : 1);
        EXPECT_EQ(AfterBannerLine(r.out),
                  other ? EndLine(1) : "\nUnable to open output file '" + spelling.second + "'");
        EXPECT_TRUE(ReadBytes(dir / "app.map") == map);
    }

    // The default output of an input whose extension is the output's own.
    WriteBytes(dir / "prog.cod", map);
    RunResult r = Run({"prog.cod"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(AfterBannerLine(r.out), "\nUnable to open output file '" + dir.Path() + "/PROG.COD'");
    EXPECT_TRUE(ReadBytes(dir / "prog.cod") == map);
    WriteBytes(dir / "list.ent", map);
    r = Run({"-a", "list.ent"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ReadBytes(dir / "list.ent") == map);
    // And the input reached through a link, the output by its own name.
    r = Run({"chain", "app.map"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ReadBytes(dir / "app.map") == map);
}

} // namespace
