// platform_test.cpp - the POSIX platform layer: path arithmetic, name lookup,
// share modes, file types, mappings, failed writes and page blocks.

#include "platform.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Full(const char* name, const char* cwd) {
    char out[64];
    errno = 0;
    return PathFull(out, sizeof out, name, cwd) ? out : "error " + std::to_string(errno);
}

std::string Split(const char* path) {
    char drive[3], dir[64], name[64], ext[64];
    _splitpath(path, drive, dir, name, ext);
    return std::string(drive) + "|" + dir + "|" + name + "|" + ext;
}

TEST(PathFull, PosixForm) {
    const char* cwd = "/tmp/w";
    EXPECT_EQ(Full("PROG", cwd), "/tmp/w/PROG");
    EXPECT_EQ(Full("../LIB/APP", cwd), "/tmp/LIB/APP");
    EXPECT_EQ(Full("/X/Y", cwd), "/X/Y");
    EXPECT_EQ(Full("BUILD.X\\PROG", cwd), "/tmp/w/BUILD.X/PROG");
    EXPECT_EQ(Full("PROG.", cwd), "/tmp/w/PROG.");
    EXPECT_EQ(Full(".", cwd), "/tmp/w");
    EXPECT_EQ(Full("../../../..", cwd), "/");
    EXPECT_EQ(Full("C:\\X", cwd), "/tmp/w/C:/X");
    EXPECT_EQ(Full(std::string(60, 'N').c_str(), cwd), "error " + std::to_string(ERANGE));
}

TEST(Splitpath, PosixForm) {
    EXPECT_EQ(Split("/tmp/w/BUILD.X/PROG"), "|/tmp/w/BUILD.X/|PROG|");
    EXPECT_EQ(Split("/tmp/w/PROG."), "|/tmp/w/|PROG|.");
    EXPECT_EQ(Split("C:OUT.LST"), "||C:OUT|.LST");
    EXPECT_EQ(Split("d:x\\y.z.w"), "|d:x\\|y.z|.w");
    EXPECT_EQ(Split(""), "|||");
}

TEST(Runtime, StruprChangesOnlyAsciiLetters) {
    char text[] = "abz\xe4"
                  "AZ09_-{}";
    EXPECT_STREQ(_strupr(text), "ABZ\xe4"
                                "AZ09_-{}");
}

class Files : public ::testing::Test {
  protected:
    HANDLE Open(const std::string& name, DWORD access, DWORD share, DWORD disposition) {
        return CreateFileA(name.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }
    HANDLE OpenRead(const std::string& name) {
        return Open(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    }
    HANDLE Create(const std::string& name) {
        return Open(name, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
    }
    ScratchDir dir;
};

TEST_F(Files, NamesAreFoundIgnoringCaseAndCreatedAsSpelled) {
    ASSERT_EQ(mkdir((dir / "Sub").c_str(), 0755), 0);
    WriteBytes(dir / "Sub/Data.Map", "hello");

    HANDLE h = OpenRead(dir.Path() + "\\SUB\\DATA.MAP");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[8];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "hello");
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h)) << "a handle closes once";

    h = OpenRead(dir / "SUB/NONE.MAP");
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenRead(dir / "NONE/DATA.MAP"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenRead(dir / "SUB"), INVALID_HANDLE_VALUE) << "a directory is not a file";

    // Creating replaces a match of another spelling, or makes the name given.
    h = Create(dir / "SUB/DATA.MAP");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    EXPECT_TRUE(WriteFile(h, "xy", 2, &put, nullptr));
    EXPECT_EQ(put, 2u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(ReadBytes(dir / "Sub/Data.Map"), "xy");
    h = Create(dir / "SUB/NEW.COD");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(FileExists(dir / "Sub/NEW.COD"));
}

TEST_F(Files, ShareModesHoldByFileIdentity) {
    WriteBytes(dir / "in.map", "text");
    ASSERT_EQ(link((dir / "in.map").c_str(), (dir / "hard").c_str()), 0);
    ASSERT_EQ(symlink("in.map", (dir / "soft").c_str()), 0);

    HANDLE in = OpenRead(dir / "in.map");
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    for (const char* other : {"in.map", "IN.MAP", "hard", "soft"}) {
        EXPECT_EQ(Create(dir / other), INVALID_HANDLE_VALUE) << other;
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    }
    EXPECT_EQ(ReadBytes(dir / "in.map"), "text") << "nothing truncated";
    HANDLE again = OpenRead(dir / "hard");
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "readers share with readers";
    CloseHandle(again);

    // A mapping and its view keep the file in use after the handles close.
    HANDLE map = CreateFileMappingA(in, nullptr, PAGE_READONLY, 0, 0, nullptr);
    ASSERT_NE(map, nullptr);
    const char* view = (const char*)MapViewOfFile(map, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(view, 4), "text");
    CloseHandle(map);
    CloseHandle(in);
    EXPECT_EQ(Create(dir / "in.map"), INVALID_HANDLE_VALUE);

    // A writer that allows no sharing keeps readers out, and goes with its close.
    HANDLE out = Open(dir / "out.cod", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenRead(dir / "out.cod"), INVALID_HANDLE_VALUE);
    CloseHandle(out);
    HANDLE reader = OpenRead(dir / "out.cod");
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
}

TEST_F(Files, SizesAndMappings) {
    WriteBytes(dir / "empty", "");
    HANDLE h = OpenRead(dir / "empty");
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h, &high), 0u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(CreateFileMappingA(h, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
    CloseHandle(h);

    WriteBytes(dir / "big", "");
    ASSERT_EQ(truncate((dir / "big").c_str(), 0x1FFFFFFFFLL), 0);
    h = OpenRead(dir / "big");
    EXPECT_EQ(GetFileSize(h, &high), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), NO_ERROR) << "a true size, not a failure";
    EXPECT_EQ(high, 1u);
    CloseHandle(h);
}

TEST_F(Files, TypesAndWritesRefusedByAPipeOrTheSizeLimit) {
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
    WriteBytes(dir / "file", "x");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    HANDLE file = OpenRead(dir / "file");
    HANDLE device = OpenRead("/dev/null");
    HANDLE reader = Open(dir / "fifo", GENERIC_READ, shareAll, OPEN_EXISTING);
    HANDLE writer = Open(dir / "fifo", GENERIC_WRITE, shareAll, OPEN_EXISTING);
    EXPECT_EQ(GetFileType(file), FILE_TYPE_DISK);
    EXPECT_EQ(GetFileType(device), FILE_TYPE_CHAR);
    EXPECT_EQ(GetFileType(writer), FILE_TYPE_PIPE);
    EXPECT_EQ(GetFileType(nullptr), FILE_TYPE_UNKNOWN);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // As a process that ignores SIGPIPE and SIGXFSZ, as korval does.
    auto oldPipe = signal(SIGPIPE, SIG_IGN), oldSize = signal(SIGXFSZ, SIG_IGN);
    DWORD put = 7;
    CloseHandle(reader);
    EXPECT_FALSE(WriteFile(writer, "xy", 2, &put, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
    EXPECT_EQ(put, 0u);

    HANDLE out = Create(dir / "out");
    struct rlimit limit, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    small = limit;
    small.rlim_cur = 1;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_FALSE(WriteFile(out, "xy", 2, &put, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_FILE_TOO_LARGE);
    EXPECT_EQ(put, 1u);
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGPIPE, oldPipe);
    signal(SIGXFSZ, oldSize);
    for (HANDLE h : {file, device, writer, out})
        CloseHandle(h);
}

TEST(Memory, BlocksAreZeroedAndFreedByBase) {
    EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE), nullptr);
    char* block = (char*)VirtualAlloc(nullptr, 100000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[0] | block[99999], 0);
    block[5] = 1;
    EXPECT_FALSE(VirtualFree(block + 1, 0, MEM_RELEASE)) << "only a base frees";
    EXPECT_TRUE(VirtualFree(block, 0, MEM_DECOMMIT));
    EXPECT_TRUE(VirtualFree(block, 0, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(block, 0, MEM_RELEASE)) << "a block frees once";
    EXPECT_FALSE(VirtualFree(nullptr, 0, MEM_RELEASE));
}

TEST(Time, LocalTimeFieldsAreInRange) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    EXPECT_GE(t.wYear, 2020);
    EXPECT_TRUE(t.wMonth >= 1 && t.wMonth <= 12);
    EXPECT_LE(t.wDayOfWeek, 6);
    EXPECT_TRUE(t.wDay >= 1 && t.wDay <= 31);
    EXPECT_LE(t.wHour, 23);
    EXPECT_LE(t.wMilliseconds, 999);
}

} // namespace
