// tools.h - the tool under test as the end-to-end tests see it: a native
// executable run directly, or the Windows executable run under Wine, behind
// one interface; and the fixture of the suites that run over either.
//
// A suite over tools is instantiated with the tools it applies to, and its
// tests are named after the tool (Korval.NamesAreDerived/linux,
// Korval.NamesAreDerived/windows); CTest gives the ones named */windows the
// label windows. Without a Windows executable named in KORVAL_WINDOWS_EXE, the
// Wine instances skip.

#ifndef KORVAL_TESTS_TOOLS_H
#define KORVAL_TESTS_TOOLS_H

#include "tool_runner.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

// One executable of the tool and how to run it. The console text of a run
// has LF line ends whichever build made it; names go in and come out in the
// form of the build's own system.
struct Tool {
    std::string name;     // "linux" or "windows": the last part of the test names
    std::string exe;      // the executable; empty when none is named
    bool windows = false; // a Windows executable, run under Wine

    // Runs the tool with args in dir, like RunIn. The Windows build's CR LF
    // line ends are made LF, and a bare LF from it fails the test.
    RunResult Run(const std::string& dir, const std::vector<std::string>& args) const;

    // Starts the tool like SpawnIn; Finish reads it to its end as Run does.
    Spawned Spawn(const std::string& dir, const std::vector<std::string>& args) const;
    RunResult Finish(Spawned& child) const;

    // An absolute Linux path as the tool names it: as it is, or under
    // Wine's drive Z: with backslashes (/tmp/x is Z:\tmp\x).
    std::string FullName(const std::string& path) const;

    // A relative name written with "/" in the system's own form.
    std::string Native(const std::string& relative) const;

    // A file the build wrote beside the executable, such as KORVAL.COD.
    std::string Beside(const std::string& name) const;

    // The module name the build's code map gives source's object file:
    // korval.cpp.o on Linux, korval.cpp.obj on Windows.
    std::string Object(const std::string& source) const;
};

// The executable at exe, run directly.
Tool NativeTool(const std::string& exe);

// The Windows executable named by KORVAL_WINDOWS_EXE, if any, under Wine.
Tool WindowsTool();

// The Wine to run the Windows build with, looked for at run time: the
// program KORVAL_WINE names, else wine or wine64 on PATH. Empty, with the
// reason in *why, when there is none.
std::string FindWine(std::string* why = nullptr);

// The name of a test's instance: the tool's name.
std::string ToolName(const ::testing::TestParamInfo<Tool>& info);

void PrintTo(const Tool& tool, std::ostream* out);

// A fresh scratch directory per test, and the tool of the instance to run
// in it. A Wine instance skips when no Windows executable is named, and
// fails when Wine cannot be found.
class ToolTest : public ::testing::TestWithParam<Tool> {
  protected:
    void SetUp() override;

    const Tool& Tested() const { return GetParam(); }
    RunResult Run(const std::vector<std::string>& args) const {
        return Tested().Run(dir.Path(), args);
    }

    ScratchDir dir;
};

#endif
