// tool_runner.h - runs a built program in a scratch directory for the
// end-to-end tests, and reads and writes the files it works on.

#ifndef KORVAL_TESTS_TOOL_RUNNER_H
#define KORVAL_TESTS_TOOL_RUNNER_H

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

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Runs program with args in directory dir, standard input from /dev/null.
// Extra environment settings come as "NAME=value". With uid >= 0 the program
// runs as that user and group (the caller must be root); a child that cannot
// switch ends with status 126.
RunResult RunIn(const std::string& dir, const std::string& program,
                const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                int uid = -1);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// Joins lines, each followed by CR LF.
std::string CrLf(const std::vector<std::string>& lines);

// What the tool printed after its banner line; the whole output when it
// printed no banner.
std::string AfterBannerLine(const std::string& out);

#endif
