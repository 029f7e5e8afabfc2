// tools.cpp - running the tool under test natively or under Wine.

#include "tools.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Whether path is a file this process may run.
bool IsProgram(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Console text of the Windows build with its CR LF line ends made LF, after
// checking that every line end is a CR LF.
std::string FromWindowsConsole(const std::string& out) {
    std::string text;
    for (size_t i = 0; i < out.size(); i++) {
        if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n') continue;
        if (out[i] == '\n' && (i == 0 || out[i - 1] != '\r')) ADD_FAILURE() << "bare LF: " << out;
        text += out[i];
    }
    return text;
}

// The arguments of the program that runs the tool with args: Wine takes
// the Windows executable first.
std::vector<std::string> CommandLine(const Tool& tool, const std::vector<std::string>& args) {
    std::vector<std::string> all;
    if (tool.windows) all.push_back(tool.exe);
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

} // namespace

RunResult Tool::Run(const std::string& dir, const std::vector<std::string>& args) const {
    Spawned child = Spawn(dir, args);
    return Finish(child);
}

Spawned Tool::Spawn(const std::string& dir, const std::vector<std::string>& args) const {
    return SpawnIn(dir, windows ? FindWine() : exe, CommandLine(*this, args));
}

RunResult Tool::Finish(Spawned& child) const {
    RunResult result = ::Finish(child);
    if (windows) result.out = FromWindowsConsole(result.out);
    return result;
}

std::string Tool::FullName(const std::string& path) const {
    if (!windows) return path;
    std::string name = "Z:" + path;
    for (char& c : name)
        if (c == '/') c = '\\';
    return name;
}

std::string Tool::Native(const std::string& relative) const {
    std::string name = relative;
    if (windows)
        for (char& c : name)
            if (c == '/') c = '\\';
    return name;
}

std::string Tool::Beside(const std::string& name) const {
    return exe.substr(0, exe.rfind('/') + 1) + name;
}

std::string Tool::Object(const std::string& source) const {
    return source + (windows ? ".obj" : ".o");
}

Tool NativeTool(const std::string& exe) {
    return {"linux", exe, false};
}

Tool WindowsTool() {
    const char* exe = getenv("KORVAL_WINDOWS_EXE");
    return {"windows", exe ? exe : "", true};
}

std::string FindWine(std::string* why) {
    const char* named = getenv("KORVAL_WINE");
    if (named && *named) {
        if (IsProgram(named)) return named;
        if (why) *why = "KORVAL_WINE names '" + std::string(named) + "', which cannot be run";
        return "";
    }
    // Looked up on each call: Wine may have come after the build was set up.
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "";
    for (const char* program : {"wine", "wine64"}) {
        for (size_t at = 0; at <= dirs.size();) {
            size_t end = dirs.find(':', at);
            if (end == std::string::npos) end = dirs.size();
            std::string dir = end > at ? dirs.substr(at, end - at) : ".";
            std::string candidate = dir + "/" + program;
            if (IsProgram(candidate)) return candidate;
            at = end + 1;
        }
    }
    if (why) *why = "neither wine nor wine64 is on PATH (" + dirs + "), and KORVAL_WINE is not set";
    return "";
}

std::string ToolName(const ::testing::TestParamInfo<Tool>& info) {
    return info.param.name;
}

void PrintTo(const Tool& tool, std::ostream* out) {
    *out << tool.name;
}

void ToolTest::SetUp() {
    if (!Tested().windows) return;
    if (Tested().exe.empty())
        GTEST_SKIP() << "no Windows executable: KORVAL_WINDOWS_EXE names none "
                        "(make test-windows runs these tests)";
    std::string why;
    if (FindWine(&why).empty()) FAIL() << "cannot run " << Tested().exe << " without Wine: " << why;
}
