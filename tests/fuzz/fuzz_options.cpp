// fuzz_options.cpp - libFuzzer target: arbitrary command lines through
// GetOptions, with the layer's _strupr, _fullpath and _splitpath beneath it
// and this process's current directory. After each input the result is
// checked against a model of the rules that states them plainly:
//  - options count wherever they stand: "-" leads one, and "/" when no
//    second separator follows; its second character decides;
//  - the input name is the first file name, upper-cased and made absolute
//    ("/" or "\" separate, "." goes, ".." takes the component before), with
//    ".MAP" when it has no extension; an extension typed is never replaced;
//  - without a second name the output is the input less its extension,
//    beside it; with one it is the last name as typed, upper-cased; either
//    takes ".COD", or ".ENT" under option A, when it has no extension;
//  - "File name too long" is printed, naming the argument as typed, and 0
//    returned exactly when an argument or a name built passes _MAX_PATH - 1
//    characters; nothing is printed otherwise.
// Under the sanitizers any overrun of GetOptions' buffers is reported.
//
// Input: the arguments after the program's name, each ended by a zero byte
// (the last one by the end of the input).

#include "fuzz.h"
#include "korval.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// The model keeps its strings from one input to the next, so that they
// allocate only to grow: under AddressSanitizer every allocation records its
// call stack.

bool IsSep(char c) {
    return c == '/' || c == '\\';
}

NO_COVERAGE void Upper(std::string* text) {
    for (char& c : *text)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
}

// Adds the components of text to the absolute name in full.
NO_COVERAGE void AddComponents(std::string* full, const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        size_t start = i;
        while (i < text.size() && !IsSep(text[i]))
            i++;
        size_t len = i - start;
        const char* part = text.data() + start;
        i++;
        if (len == 0 || (len == 1 && part[0] == '.')) continue;
        if (len == 2 && part[0] == '.' && part[1] == '.') {
            if (!full->empty()) full->resize(full->rfind('/'));
            continue;
        }
        full->push_back('/');
        full->append(part, len);
    }
}

// The absolute form of name from the current directory cwd, into full.
NO_COVERAGE void Full(std::string* full, const std::string& name, const std::string& cwd) {
    full->clear();
    if (!IsSep(name[0])) AddComponents(full, cwd);
    AddComponents(full, name);
    if (full->empty()) full->push_back('/');
}

// Where the extension of path starts (its last dot after the last
// separator), or its length when it has none.
NO_COVERAGE size_t ExtStart(const char* path, size_t len) {
    for (size_t i = len; i-- > 0 && !IsSep(path[i]);)
        if (path[i] == '.') return i;
    return len;
}

NO_COVERAGE bool HasExt(const char* path) {
    size_t len = strlen(path);
    return ExtStart(path, len) < len;
}

// What GetOptions prints goes into a pipe, read back into Printed.
std::string Cwd;
int OutRead = -1;
char Printed[1 << 20];

void Start(void) {
    char here[_MAX_PATH];
    Check(getcwd(here, sizeof here) != nullptr, "getcwd");
    Cwd = here;
    OutRead = StdoutToPipe(sizeof Printed);
}

} // namespace

extern "C" NO_COVERAGE int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string Text, In, Out, Given;
    static std::vector<char*> Argv;
    static std::vector<const char*> Names;
    static char Program[] = "korval";
    if (OutRead < 0) Start();

    // The arguments, each ended by a zero byte in a copy of the input.
    Text.assign((const char*)data, size);
    Argv.assign(1, Program);
    for (size_t at = 0; size > 0;) {
        Argv.push_back(&Text[at]);
        at += strlen(&Text[at]) + 1;
        if (at > size) break;
    }
    Argv.push_back(nullptr);
    int argc = (int)Argv.size() - 1;

    // The model: options, file names, and where a limit is passed.
    const size_t limit = _MAX_PATH - 1;
    int binary = 1, debug = 0, help = 0, inclusive = 0;
    Names.clear();
    const char* tooLong = nullptr;
    for (int i = 1; i < argc; i++) {
        const char* a = Argv[i];
        if (a[0] == '-' || (a[0] == '/' && !strpbrk(a + 1, "/\\"))) {
            char c = a[1];
            binary &= !(c == 'a' || c == 'A');
            debug |= c == 'd' || c == 'D';
            inclusive |= c == 'i' || c == 'I';
            help |= c == '\0' || !strchr("aAdDiI", c);
            continue;
        }
        Names.push_back(a);
        if (strlen(a) > limit && !tooLong) tooLong = a;
    }
    if (!help && !tooLong && (Names.empty() || Names[0][0] == '\0')) help = 1;
    if (!help && !tooLong) {
        Given = Names[0];
        Upper(&Given);
        Full(&In, Given, Cwd);
        if (!HasExt(In.c_str())) In += ".MAP";
        Given = Names.size() > 1 ? Names.back() : "";
        Upper(&Given);
        if (Given.empty())
            Out.assign(In, 0, ExtStart(In.data(), In.size()));
        else
            Out = Given;
        if (!HasExt(Out.c_str())) Out += binary ? ".COD" : ".ENT";
        if (In.size() > limit)
            tooLong = Names[0];
        else if (Out.size() > limit)
            tooLong = Given.empty() ? Names[0] : Names.back();
    }

    ResetRun();
    int result = GetOptions(argc, Argv.data());
    size_t printed = TakeOutput(OutRead, Printed, sizeof Printed);

    Check(Binary == binary && Debug == debug && Inclusive == inclusive && Help == help, "options");
    if (help) {
        Check(result == 1 && printed == 0, "a help run that refuses", Printed);
        return 0;
    }
    if (tooLong) {
        static const char kLead[] = "\nFile name too long: '";
        size_t leadLen = sizeof kLead - 1, len = strlen(tooLong);
        Check(result == 0, "a name too long is taken", tooLong);
        Check(printed == leadLen + len + 1 && memcmp(Printed, kLead, leadLen) == 0 &&
                  memcmp(Printed + leadLen, tooLong, len) == 0 && Printed[printed - 1] == '\'',
              "the message", Printed, tooLong);
        return 0;
    }
    Check(result == 1 && printed == 0, "names within the limits refused", Printed);
    Check(IfName[0] == '/' && HasExt(IfName), "the input name is not absolute with an extension",
          IfName);
    Check(IfName == In, "input name", IfName, In.c_str());
    Check(OfName == Out, "output name", OfName, Out.c_str());
    return 0;
}
