// tool_runner.h - runs a built program in a scratch directory for the
// end-to-end tests, and reads and writes the files it works on.

#ifndef KORVAL_TESTS_TOOL_RUNNER_H
#define KORVAL_TESTS_TOOL_RUNNER_H

#include <functional>
#include <string>
#include <vector>

// What a run of the program left: its standard output and how it ended.
struct RunResult {
    std::string out;
    int status = -1; // exit status, or -1 when a signal ended it
    int signal = 0;  // the signal that ended it, or 0
};

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return where; }
    std::string operator/(const std::string& name) const { return where + "/" + name; }

  private:
    std::string where;
};

// What the child does just before it starts the program, with its standard
// streams in place: sets a limit, puts another file on a stream...
using ChildSetup = std::function<void()>;

// Runs program with args in directory dir, standard input from /dev/null.
// Extra environment settings come as "NAME=value". With uid >= 0 the program
// runs as that user and group (the caller must be root); a child that cannot
// switch ends with status 126, one that cannot start the program says so on
// standard error and ends with status 127. setup, when given, runs last in
// the child.
RunResult RunIn(const std::string& dir, const std::string& program,
                const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                int uid = -1, const ChildSetup& setup = nullptr);

// A program started with its standard output on a pipe that the caller
// reads when it likes, for tests that act while the program runs: one that
// writes more than the pipe holds is left blocked until the pipe is read.
struct Spawned {
    int pid = -1;
    int out = -1; // the read end of the program's standard output
};

// Starts program in dir, standard input from /dev/null, Ctrl-C at its
// default whatever the test process does with it; as user uid when it is not
// negative, and with setup, like RunIn.
Spawned SpawnIn(const std::string& dir, const std::string& program,
                const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                int uid = -1, const ChildSetup& setup = nullptr);

// Waits until the program has ended, leaving it to Finish. False when it has
// not within seconds.
bool WaitEnded(const Spawned& child, int seconds);

// Reads exactly count bytes of the program's output (fewer at its end).
std::string ReadSome(const Spawned& child, size_t count);

// Waits until the program sleeps in a write to its full output pipe.
// False when it has not within seconds, or has ended.
bool WaitBlockedOnOutput(const Spawned& child, int seconds = 20);

// Waits until a signal sent to the program is no longer pending: it has
// been taken (or ignored). False when that has not happened within seconds.
bool WaitSignalTaken(const Spawned& child, int signal, int seconds = 20);

// The files the program holds open, by file descriptor: where each links to.
std::vector<std::string> OpenFilesOf(const Spawned& child);

// Reads the rest of the output and waits for the end.
RunResult Finish(Spawned& child);

// A whole file as bytes, and a file made to hold exactly bytes; each throws
// when it cannot. (Named apart from the Win32 ReadFile and WriteFile, which
// the tests of the platform layer call in the same files.)
std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// Joins lines, each followed by CR LF.
std::string CrLf(const std::vector<std::string>& lines);

// What the tool printed after its banner line; the whole output when it
// printed no banner.
std::string AfterBannerLine(const std::string& out);

#endif
