// codemap.cpp - korval-codemap: makes the code map (.COD) of an executable
// or a shared library, which the fault reporter names routines with and
// korval-lookup decodes reports with; or writes its functions as a map in
// the text form KORVAL reads.
//
//     korval-codemap [--map LINKER_MAP] [-o OUTPUT] FILE
//     korval-codemap FILE [LINKER_MAP] OUTPUT
//
// FILE is an ELF file (image.h, elf.cpp) or a PE image (pe.cpp). Its
// functions are every function symbol in an executable section, local ones
// included: of an ELF file its .symtab, of a PE image the COFF symbol table
// the GNU linker keeps in it. A stripped file gives its exported functions
// instead: the dynamic symbol table of an ELF file, the export table of a
// PE image.
//
// Addresses are link-time addresses, which the reporter finds again by
// taking the load bias off a run-time address: the symbol's value for ELF
// (small for a shared library or a position-independent executable), the
// preferred image base + section address + value for PE. A code map holds 32
// bits of them, so an address above 4 GiB is an error.
//
// The module of a function is the input file whose piece of code holds it,
// from LINKER_MAP, the map GNU ld wrote with -Map; without LINKER_MAP it is
// the file's own name.
//
// The code map is made from the text map by the converter itself (korval.h),
// so that its records are the bytes korval would write from that map; after
// them comes the extension of extension.h: each record's full name, the
// link base and the identity of FILE. An OUTPUT ending in .MAP gets the text
// map instead.
//
// Exit status: 0 when OUTPUT is written, 1 after a failure (said on standard
// error; OUTPUT is then not written, or a part written is removed), 2 for a
// wrong command line.

#include "image.h"
#include "korval.h"
#include "symnames.h"

#include <errno.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

const char kUsage[] = "usage: korval-codemap [--map LINKER_MAP] [-o OUTPUT] FILE\n"
                      "       korval-codemap FILE [LINKER_MAP] OUTPUT\n";

const char kHelp[] = "\n"
                     "Makes the code map of FILE, an executable or a shared library, from which\n"
                     "a fault report names the routine where a fault happened and korval-lookup\n"
                     "decodes a report. It is written beside FILE as NAME.COD, NAME being the\n"
                     "file name up to its first dot in capitals (app: APP.COD, libshapes.so.1:\n"
                     "LIBSHAPES.COD, plugin.dll: PLUGIN.COD), or to OUTPUT (-o OUTPUT, or the\n"
                     "last name of the second form). An OUTPUT ending in .MAP gets the\n"
                     "functions as a map that KORVAL reads instead: a \"Code\" line, then\n"
                     "\" AAAAAAAA _Name module\" per function in ascending order of link-time\n"
                     "address; \"korval OUTPUT.MAP\" makes the same records from it.\n"
                     "\n"
                     "FILE is an ELF file (32- or 64-bit) or a PE image (32- or 64-bit, fixed\n"
                     "or dynamic base). Its symbol table gives every function; a stripped file\n"
                     "gives only the functions it exports (its dynamic symbol table, or its\n"
                     "export table), and a file with neither is refused. Its link-time\n"
                     "addresses must lie below 4 GiB; a PE image is linked with a preferred\n"
                     "image base there, for example -Wl,--image-base=0x400000.\n"
                     "\n"
                     "LINKER_MAP, the map GNU ld wrote for the same link (-Wl,-Map=FILE),\n"
                     "names the object file of each function as its module. Without it, the\n"
                     "module is FILE's own name. OUTPUT may be neither FILE nor LINKER_MAP.\n"
                     "\n"
                     "The code map holds after its records each function's full name (as nm -C\n"
                     "shows it), FILE's link base and its identity (GNU build ID, or PE time\n"
                     "stamp and size), which a reader that knows no more leaves alone.\n"
                     "\n"
                     "Exit status: 0 done, 1 failure (said on standard error), 2 wrong command\n"
                     "line.\n";

} // namespace

void Complain(const char* Format, ...) {
    va_list Args;
    va_start(Args, Format);
    fputs("korval-codemap: ", stderr);
    vfprintf(stderr, Format, Args);
    fputc('\n', stderr);
    va_end(Args);
}

namespace {

// A piece of code the linker placed: an input section of one file.
struct Piece {
    uint64_t Start;
    uint64_t Size;
    std::string Module;
};

// Reads the whole file; false, with errno telling why, when it cannot.
bool ReadWhole(const char* Path, std::string* Out) {
    FILE* In = fopen(Path, "rb");
    if (In == nullptr) return false;
    char Buffer[1 << 16];
    size_t Got;
    while ((Got = fread(Buffer, 1, sizeof Buffer, In)) > 0)
        Out->append(Buffer, Got);
    bool Failed = ferror(In) != 0;
    int Error = errno;
    fclose(In);
    errno = Error;
    return !Failed;
}

bool ReadExecutable(const char* Path, Image* Out) {
    Bytes File;
    if (!ReadWhole(Path, &File.Data)) {
        Complain("cannot read %s: %s", Path, strerror(errno));
        return false;
    }
    if (File.Data.compare(0, 4,
                          "\x7F"
                          "ELF") == 0)
        return ReadElf(Path, File, Out);
    if (File.Data.compare(0, 2, "MZ") == 0) return ReadPe(Path, File, Out);
    Complain("%s is neither an ELF nor a PE file", Path);
    return false;
}

const char* SkipSpaces(const char* p) {
    while (*p == ' ')
        p++;
    return p;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
    return -1;
}

// Reads "0x" and up to 16 hexadecimal digits that a space ends, moving p
// past them.
bool HexField(const char** p, uint64_t* Value) {
    if ((*p)[0] != '0' || (*p)[1] != 'x') return false;
    const char* Digits = *p + 2;
    const char* End = Digits;
    uint64_t Result = 0;
    for (; HexDigit(*End) >= 0; End++)
        Result = Result << 4 | (uint64_t)HexDigit(*End);
    if (End == Digits || End - Digits > 16 || *End != ' ') return false;
    *Value = Result;
    *p = End;
    return true;
}

// The placement of an input section, "  0xSTART  0xSIZE  FILE" after at
// least one space.
bool Placement(const char* p, uint64_t* Start, uint64_t* Size, const char** File) {
    if (*p != ' ') return false;
    p = SkipSpaces(p);
    if (!HexField(&p, Start)) return false;
    p = SkipSpaces(p);
    if (!HexField(&p, Size)) return false;
    *File = SkipSpaces(p);
    return **File != 0 && strchr(*File, '\r') == nullptr;
}

// The input sections of the code sections, from the memory map part of the
// linker's map: " .text.name 0xADDR 0xSIZE file", the address part on the
// next line when the section name is long. An output section's line begins
// with its name (".text  0x... 0x..."), and decides whether the input
// sections after it are code. A line with a CR inside (a damaged map; the
// CR would end a line of ours) counts as neither, after the name.
bool ReadLinkerMap(const char* Path, const char* ExePath, const std::set<std::string>& CodeSections,
                   std::vector<Piece>* Pieces) {
    std::string Text;
    if (!ReadWhole(Path, &Text)) {
        Complain("cannot read the linker map %s: %s", Path, strerror(errno));
        return false;
    }
    bool InMemoryMap = false, InCode = false, Pending = false;
    auto Add = [&](uint64_t Start, uint64_t Size, const char* File) {
        if (InCode && Size != 0)
            Pieces->push_back(
                Piece{Start, Size, CompilerTemporary(File) ? BaseName(ExePath) : ModuleName(File)});
    };
    for (size_t At = 0, End; At < Text.size(); At = End + 1) {
        End = std::min(Text.find('\n', At), Text.size());
        std::string Line = Text.substr(At, End - At);
        if (!Line.empty() && Line.back() == '\r') Line.pop_back();
        if (!InMemoryMap) {
            InMemoryMap = Line.compare(0, 28, "Linker script and memory map") == 0;
            continue;
        }
        bool WasPending = Pending;
        Pending = false;
        size_t NameEnd = std::min(Line.find(' ', 1), Line.size());
        uint64_t Start, Size;
        const char* File;
        bool Named = Line.size() > 1 && Line[0] == ' ' && Line[1] != '*' && NameEnd > 1;
        if (Line.size() > 1 && Line[0] == '.' && NameEnd > 1 &&
            Line.find('\r', NameEnd) == std::string::npos) {
            InCode = CodeSections.count(Line.substr(0, NameEnd)) != 0;
        } else if (Named && Placement(Line.c_str() + NameEnd, &Start, &Size, &File)) {
            Add(Start, Size, File);
        } else if (Named && NameEnd == Line.size()) {
            Pending = true;
        } else if (WasPending && Placement(Line.c_str(), &Start, &Size, &File)) {
            Add(Start, Size, File);
        }
    }
    if (Pieces->empty()) {
        Complain("no code of %s in the linker map %s (is it GNU ld's -Map output of that link?)",
                 ExePath, Path);
        return false;
    }
    std::sort(Pieces->begin(), Pieces->end(),
              [](const Piece& a, const Piece& b) { return a.Start < b.Start; });
    return true;
}

const Piece* PieceAt(const std::vector<Piece>& Pieces, uint64_t Addr) {
    auto After = std::upper_bound(Pieces.begin(), Pieces.end(), Addr,
                                  [](uint64_t a, const Piece& p) { return a < p.Start; });
    if (After == Pieces.begin()) return nullptr;
    const Piece& p = *(After - 1);
    return Addr - p.Start < p.Size ? &p : nullptr;
}

// A map line holds at most 254 characters; names longer than this are cut
// here (the code map keeps 32 of them anyway).
const size_t kLongestName = 160;

struct Line {
    uint64_t Addr;
    std::string Name, Module;
    std::string FullName; // as nm -C shows the symbol
    bool operator<(const Line& o) const {
        if (Addr != o.Addr) return Addr < o.Addr;
        if (Name != o.Name) return Name < o.Name;
        return Module != o.Module ? Module < o.Module : FullName < o.FullName;
    }
    bool operator==(const Line& o) const {
        return Addr == o.Addr && Name == o.Name && Module == o.Module;
    }
};

// The text map of the lines.
std::string MapText(const std::string& FileName, const Image& File, bool FromLinkerMap,
                    const std::vector<Line>& Lines) {
    std::string Text = " Code map of " + FileName + ", from its " +
                       (File.ExportsOnly ? "exported functions" : "symbol table") +
                       (FromLinkerMap ? " and its link map" : "") + "\r\n\r\nCode\r\n";
    for (const Line& l : Lines) {
        char Addr[16];
        snprintf(Addr, sizeof Addr, " %08X _", (unsigned)l.Addr);
        Text += Addr + l.Name + " " + l.Module + "\r\n";
    }
    return Text;
}

void Put32(std::string* Out, uint64_t Value) {
    for (int i = 0; i < 4; i++)
        Out->push_back((char)(Value >> 8 * i));
}

void Put64(std::string* Out, uint64_t Value) {
    Put32(Out, Value);
    Put32(Out, Value >> 32);
}

// Length-prefixed bytes, then zero bytes up to a multiple of 4.
void PutPadded(std::string* Out, const std::string& Part, bool Counted) {
    if (Counted) Put32(Out, Part.size());
    *Out += Part;
    Out->append((4 - Part.size() % 4) % 4, '\0');
}

// The code map of the text map Text, whose lines are Lines in order: the
// records as the converter makes them from Text, then the extension with the
// full name of each record's line. False, said, when the converter cannot.
bool CodeMap(const std::string& Text, const std::vector<Line>& Lines, const Image& File,
             const std::string& ObjectName, std::string* Out) {
    Inclusive = 0;
    Debug = 0;
    pIfileMap = Text.data();
    dwISize = (DWORD)Text.size();
    if (!Doit() || NumRecs != Lines.size()) {
        Complain("cannot convert the %u functions of %s", (unsigned)Lines.size(),
                 ObjectName.c_str());
        return false;
    }
    std::string Pool;
    std::vector<uint32_t> Offsets;
    Put32(Out, NumRecs);
    for (PENTREC Ent = EntFirst; Ent != nullptr; Ent = Ent->NextRec) {
        Put32(Out, Ent->SymbAddr);
        Out->append(Ent->Routine, sizeof Ent->Routine);
        Out->append(Ent->Module, sizeof Ent->Module);
        // The entries lie in the block in the order of the lines read.
        Offsets.push_back((uint32_t)Pool.size());
        Pool += Lines[Ent - EntBase].FullName;
        Pool.push_back('\0');
    }
    VirtualFree(EntBase, 0, MEM_RELEASE);

    std::string Extension(korval::kExtensionMagic, sizeof korval::kExtensionMagic);
    Put32(&Extension, 0); // the size, filled in below
    Put32(&Extension, NumRecs);
    Put64(&Extension, File.LinkBase);
    Put32(&Extension, File.IdentityKind);
    Put32(&Extension, File.Identity.size());
    PutPadded(&Extension, File.Identity, false);
    PutPadded(&Extension, ObjectName.substr(0, korval::kMostObjectName), true);
    for (uint32_t Offset : Offsets)
        Put32(&Extension, Offset);
    Put32(&Extension, Pool.size());
    Extension += Pool;
    std::string Size;
    Put32(&Size, Extension.size());
    Extension.replace(sizeof korval::kExtensionMagic, 4, Size);
    *Out += Extension;
    return true;
}

// Writes Bytes to Path; on a failure says why and removes what it wrote,
// when that is a file of its own (not a device such as /dev/full).
bool WriteOut(const char* Path, const std::string& Bytes) {
    FILE* Out = fopen(Path, "wb");
    if (Out == nullptr) {
        Complain("cannot write %s: %s", Path, strerror(errno));
        return false;
    }
    bool Failed = fwrite(Bytes.data(), 1, Bytes.size(), Out) != Bytes.size();
    int Error = errno;
    if (fclose(Out) != 0 && !Failed) {
        Failed = true;
        Error = errno;
    }
    if (Failed) {
        Complain("cannot write %s: %s", Path, strerror(Error));
        struct stat Status;
        if (stat(Path, &Status) == 0 && S_ISREG(Status.st_mode)) remove(Path);
    }
    return !Failed;
}

bool EndsWithMap(const std::string& Path) {
    return Path.size() >= 4 && strcasecmp(Path.c_str() + Path.size() - 4, ".map") == 0;
}

// NAME.COD beside Path, NAME being its file name up to the first dot, in
// capitals; empty when that leaves no name.
std::string DefaultOutput(const std::string& Path) {
    std::string Name = BaseName(Path);
    Name = Name.substr(0, Name.find('.'));
    for (char& c : Name)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    if (Name.empty()) return std::string();
    return Path.substr(0, Path.size() - BaseName(Path).size()) + Name + ".COD";
}

// Whether Output names the same file as Input, under whatever spelling:
// another path, a link, a hard link. Windows has no inode numbers in stat,
// but a volume serial number and a file index.
#ifdef _WIN32
bool FileIdentity(const char* Path, BY_HANDLE_FILE_INFORMATION* Info) {
    HANDLE File = CreateFileA(Path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (File == INVALID_HANDLE_VALUE) return false;
    bool Got = GetFileInformationByHandle(File, Info) != 0;
    CloseHandle(File);
    return Got;
}

bool SameFile(const char* Output, const char* Input) {
    BY_HANDLE_FILE_INFORMATION Out, In;
    return Input != nullptr && FileIdentity(Output, &Out) && FileIdentity(Input, &In) &&
           Out.dwVolumeSerialNumber == In.dwVolumeSerialNumber &&
           Out.nFileIndexHigh == In.nFileIndexHigh && Out.nFileIndexLow == In.nFileIndexLow;
}
#else
bool SameFile(const char* Output, const char* Input) {
    struct stat Out, In;
    return Input != nullptr && stat(Output, &Out) == 0 && stat(Input, &In) == 0 &&
           Out.st_dev == In.st_dev && Out.st_ino == In.st_ino;
}
#endif

} // namespace

int main(int argc, char** argv) {
    std::vector<const char*> Files;
    const char* LinkerMap = nullptr;
    const char* OutPath = nullptr;
    bool Wrong = false, Options = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            printf("%s%s", kUsage, kHelp);
            return 0;
        }
        bool Map = strcmp(argv[i], "--map") == 0, Out = strcmp(argv[i], "-o") == 0;
        if ((Map || Out) && i + 1 < argc) {
            const char*& Value = Map ? LinkerMap : OutPath;
            Wrong |= Value != nullptr;
            Value = argv[++i];
            Options = true;
            continue;
        }
        Wrong |= argv[i][0] == '-'; // there are no other options
        Files.push_back(argv[i]);
    }
    // The second form: FILE [LINKER_MAP] OUTPUT, without options.
    if (!Options && (Files.size() == 2 || Files.size() == 3)) {
        OutPath = Files.back();
        if (Files.size() == 3) LinkerMap = Files[1];
        Files.resize(1);
    }
    if (Wrong || Files.size() != 1) {
        fprintf(stderr, "%skorval-codemap --help tells more.\n", kUsage);
        return 2;
    }
    const char* ExePath = Files.front();
    std::string Default;
    if (OutPath == nullptr) {
        Default = DefaultOutput(ExePath);
        if (Default.empty()) {
            Complain("%s gives no name for its code map: name one with -o", ExePath);
            return 1;
        }
        OutPath = Default.c_str();
    }
    for (const char* Input : {ExePath, LinkerMap}) {
        if (SameFile(OutPath, Input)) {
            Complain("%s is %s itself: name another output", OutPath, Input);
            return 1;
        }
    }

    Image Exe;
    if (!ReadExecutable(ExePath, &Exe)) return 1;
    std::vector<Piece> Pieces;
    if (LinkerMap != nullptr && !ReadLinkerMap(LinkerMap, ExePath, Exe.CodeSections, &Pieces))
        return 1;
    std::string ExeName = BaseName(ExePath);

    std::vector<Line> Lines;
    const Function* FirstFar = nullptr;
    size_t Far = 0;
    for (const Function& f : Exe.Functions) {
        if (f.Addr > 0xFFFFFFFFu) {
            if (Far++ == 0) FirstFar = &f;
            continue;
        }
        std::string Module = ExeName;
        if (LinkerMap != nullptr) {
            const Piece* p = PieceAt(Pieces, f.Addr);
            if (p == nullptr && f.Untyped) continue;
            if (p == nullptr)
                fprintf(stderr, "korval-codemap: warning: no input file holds %s\n",
                        f.Symbol.c_str());
            Module = p ? p->Module : std::string();
        }
        std::string Name = RoutineName(f.Symbol).substr(0, kLongestName);
        // KORVAL takes a line with a backslash for a library's and skips it;
        // a line end would cut the line.
        if ((Name + Module).find_first_of("\\\r\n") != std::string::npos) continue;
        Lines.push_back(Line{f.Addr, Name, Module, FullName(f.Symbol)});
    }
    if (Far != 0) {
        fprintf(stderr,
                "korval-codemap: %s of %s is at 0x%" PRIX64
                ", beyond the 32-bit addresses of a code map",
                FirstFar->Symbol.c_str(), ExePath, FirstFar->Addr);
        if (Far > 1) fprintf(stderr, " (as are %zu other functions)", Far - 1);
        fprintf(stderr, "\nkorval-codemap: %s\n", Exe.FarAdvice);
        return 1;
    }
    if (Lines.empty()) {
        Complain(Exe.ExportsOnly ? "%s has no symbol table and exports no functions"
                                 : "%s has no functions in its symbol table",
                 ExePath);
        return 1;
    }
    if (Exe.ExportsOnly)
        fprintf(stderr, "korval-codemap: %s has no symbol table: its exported functions only\n",
                ExePath);
    std::sort(Lines.begin(), Lines.end());
    Lines.erase(std::unique(Lines.begin(), Lines.end()), Lines.end());
    // The last record of a table only closes the one before it. Exported
    // functions are few (a plugin may export one), so their table gets a
    // record of its own to close it: the end of the code.
    if (Exe.ExportsOnly && Exe.CodeEnd > Lines.back().Addr && Exe.CodeEnd <= 0xFFFFFFFFu)
        Lines.push_back(Line{Exe.CodeEnd, "EndOfCode", ExeName, "(end of code)"});
    std::string Text = MapText(ExeName, Exe, LinkerMap != nullptr, Lines);
    if (EndsWithMap(OutPath)) return WriteOut(OutPath, Text) ? 0 : 1;
    std::string Cod;
    if (!CodeMap(Text, Lines, Exe, Exe.ObjectName.empty() ? ExeName : Exe.ObjectName, &Cod))
        return 1;
    return WriteOut(OutPath, Cod) ? 0 : 1;
}
