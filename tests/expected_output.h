// expected_output.h - what korval prints and writes, for the end-to-end
// tests of both builds: the help screen, the banner's shape, the end line
// and the records of a code map.

#ifndef KORVAL_TESTS_EXPECTED_OUTPUT_H
#define KORVAL_TESTS_EXPECTED_OUTPUT_H

#include "tool_runner.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <regex>
#include <string>
#include <vector>

inline const char kHelp[] =
    "\nKORVAL - A program to massage NT .MAP files.\n"
    "\nUseage :- KORVAL [options] InFile [OutFile] [options]\n"
    "\nOptions (N.B. Either '/' or '-' as leader) :-\n"
    "\n     A - Write ASCII (.ENT) not Binary (.COD) file."
    "\n     D - Debug displays"
    "\n     H or"
    "\n     ? - Help screen (this one)\n"
    "\n     I - Include library files in output, default is exclude."
    "\n <InFile> is the .MAP file name (.MAP extension is not needed)\n"
    "\n <OutFile> is the output .COD/.ENT file name (extension is not needed)\n"
    "\n If <OutFile> is omitted then the input file name is used,"
    "\n and the correct extension (.ENT or .COD) is appended.\n";

// The map of the worked example: ten lines, library and data lines included.
inline const std::string kExampleMap = CrLf({
    "Memory layout of the program",
    "Code",
    " 00011A20 _ParseHeader        reader.obj",
    " 00011000 _main               app.obj",
    " ab",
    " 00011A20 _ReadHeader         reader.obj",
    " 00012F10 _memmove            D:\\sdk\\lib\\crt.lib(memmove.obj)",
    " 00013000 __strlen            crt.lib(strlen.obj)",
    "Data",
    " 00015000 _Table              app.obj",
});

// The console output after the banner line, whose shape is checked.
inline std::string AfterBanner(const std::string& out) {
    static const std::regex kBanner(
        "KORVAL 1\\.00 - (Sunday|Monday|Tuesday|Wednesday|Thursday|Friday|Saturday), "
        "[1-9][0-9]? (January|February|March|April|May|June|July|August|September|October|"
        "November|December) [0-9]+ - [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3}\\.\n");
    size_t end = out.find('\n');
    EXPECT_NE(end, std::string::npos) << out;
    EXPECT_TRUE(std::regex_match(out.substr(0, end + 1), kBanner)) << out;
    return out.substr(end + 1);
}

inline std::string EndLine(int count) {
    return "\nEnd KORVAL - " + std::to_string(count) + " map entries written.\n";
}

// A code map record: address, routine and module fields zero-filled.
inline std::string Record(uint32_t addr, const std::string& routine, const std::string& module) {
    std::string rec;
    for (int i = 0; i < 4; i++)
        rec += char(addr >> (8 * i));
    rec += routine + std::string(32 - routine.size(), '\0');
    rec += module + std::string(16 - module.size(), '\0');
    return rec;
}

// The record count that heads a code map.
inline std::string Count(uint32_t n) {
    return Record(n, std::string(32, '\0'), "").substr(0, 4);
}

// What the worked example map gives: the listing, and the code map with
// library lines included.
inline const std::string kExampleEnt =
    CrLf({"4", "  011000  main                            app.obj",
          "  011A20  ReadHeader                      reader.obj",
          "  011A20  ParseHeader                     reader.obj",
          "  013000  _strlen                         crt.lib"});

inline std::string ExampleInclusiveCod() {
    return Count(5) + Record(0x11000, "main", "app.obj") +
           Record(0x11A20, "ReadHeader", "reader.obj") +
           Record(0x11A20, "ParseHeader", "reader.obj") + Record(0x12F10, "memmove", "crt.lib") +
           Record(0x13000, "_strlen", "crt.lib");
}

// A map of three entries out of order, and its listing (166 bytes) and code
// map (160 bytes).
inline const std::string kThreeMap =
    CrLf({"Code", " 00002F30 _ParseLine parser.obj", " 00001000 _StartUp startup.obj",
          " 000010A4 _ReadConfig parser.obj"});

inline const std::string kThreeEnt =
    CrLf({"3", "  001000  StartUp                         startup.obj",
          "  0010A4  ReadConfig                      parser.obj",
          "  002F30  ParseLine                       parser.obj"});

inline std::string ThreeCod() {
    return Count(3) + Record(0x1000, "StartUp", "startup.obj") +
           Record(0x10A4, "ReadConfig", "parser.obj") + Record(0x2F30, "ParseLine", "parser.obj");
}

// A map of the given number of symbol lines; with the default, its echo
// under option D is many times what a pipe holds, so that korval waits in a
// write inside its guarded work while a test acts.
inline std::string BigMap(int lines = 40000) {
    std::string text = "Code\r\n";
    char line[64];
    for (int i = 0; i < lines; i++) {
        snprintf(line, sizeof line, " %08X _Routine%d mod%d.obj\r\n", 0x401000 + 16 * i, i, i % 7);
        text += line;
    }
    return text;
}

// One record of a code map, its names as their field text.
struct CodRecord {
    uint32_t addr;
    std::string routine, module;
};

// The records of a code map file, whose size must match its count.
inline std::vector<CodRecord> ReadCod(const std::string& bytes) {
    std::vector<CodRecord> records;
    uint32_t count = 0;
    if (bytes.size() >= 4) memcpy(&count, bytes.data(), 4);
    EXPECT_EQ(bytes.size(), 4 + 52ull * count);
    for (uint32_t i = 0; i < count && 4 + 52ull * (i + 1) <= bytes.size(); i++) {
        const char* rec = bytes.data() + 4 + 52 * i;
        CodRecord r;
        memcpy(&r.addr, rec, 4);
        r.routine.assign(rec + 4, strnlen(rec + 4, 32));
        r.module.assign(rec + 36, strnlen(rec + 36, 16));
        records.push_back(r);
    }
    return records;
}

#endif
