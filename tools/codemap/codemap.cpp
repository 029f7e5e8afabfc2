// codemap.cpp - korval-codemap: writes the functions of an executable as a
// map in the text form KORVAL reads, from which KORVAL makes the code map
// (.COD) that the fault reporter names routines with.
//
//     korval-codemap EXECUTABLE [LINKER_MAP] OUTPUT.MAP
//     korval OUTPUT.MAP                  (writes OUTPUT.COD, upper-cased)
//
// It reads EXECUTABLE, an ELF file (32- or 64-bit, either byte order, an
// executable at fixed addresses or a position-independent one) or a PE
// image (32- or 64-bit, fixed or dynamic base), which must keep its symbol
// table. Its functions are every function symbol in an executable section,
// local ones included: of an ELF file its .symtab, of a PE image the COFF
// symbol table the GNU linker keeps in it. OUTPUT.MAP gets a "Code" line,
// then one line " AAAAAAAA _Name module" per function in ascending address
// order, the name demangled without its parameter list (symnames.h).
//
// Addresses are link-time addresses, which the reporter finds again by
// taking the load bias off a run-time address: the symbol's value for ELF
// (small for a position-independent executable), the preferred image base +
// section address + value for PE. A code map holds 32 bits of them, so an
// address above 4 GiB is an error.
//
// The module of a function is the input file whose piece of code holds it,
// from LINKER_MAP, the map GNU ld wrote with -Map; without LINKER_MAP it is
// the executable's own file name.
//
// Exit status: 0 when OUTPUT.MAP is written, 1 after a failure (said on
// standard error; OUTPUT.MAP is then not written, or a part written is
// removed), 2 for a wrong command line.

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

const char kUsage[] = "usage: korval-codemap EXECUTABLE [LINKER_MAP] OUTPUT.MAP\n";

const char kHelp[] = "\n"
                     "Writes the functions of EXECUTABLE to OUTPUT.MAP, as a map that KORVAL\n"
                     "reads: a \"Code\" line, then \" AAAAAAAA _Name module\" per function, in\n"
                     "ascending order of link-time address. Then\n"
                     "\n"
                     "    korval OUTPUT.MAP\n"
                     "\n"
                     "makes the code map (OUTPUT.COD, upper-cased) from which a fault report\n"
                     "names the routine where the fault happened.\n"
                     "\n"
                     "EXECUTABLE is an ELF file (32- or 64-bit, position-independent or not)\n"
                     "or a PE image (32- or 64-bit, fixed or dynamic base) that keeps its\n"
                     "symbol table: do not strip it. Its addresses must lie below 4 GiB; a PE\n"
                     "image is linked with a preferred image base there, for example\n"
                     "-Wl,--image-base=0x400000.\n"
                     "\n"
                     "LINKER_MAP, the map GNU ld wrote for the same link (-Wl,-Map=FILE; give\n"
                     "it another name than OUTPUT.MAP), names the object file of each function\n"
                     "as its module. Without it, the module is the executable's file name.\n"
                     "\n"
                     "Exit status: 0 done, 1 failure (said on standard error), 2 wrong command\n"
                     "line.\n";

// Says on standard error what went wrong, as one line.
__attribute__((format(printf, 1, 2))) void Complain(const char* Format, ...) {
    va_list Args;
    va_start(Args, Format);
    fputs("korval-codemap: ", stderr);
    vfprintf(stderr, Format, Args);
    fputc('\n', stderr);
    va_end(Args);
}

struct Function {
    uint64_t Addr;
    std::string Symbol;
    // Not typed as a function: with a linker map, kept only when an input
    // file's code holds it (which leaves out what the linker itself defines
    // there); without one, kept.
    bool Untyped = false;
};

// A piece of code the linker placed: an input section of one file.
struct Piece {
    uint64_t Start;
    uint64_t Size;
    std::string Module;
};

struct Image {
    std::vector<Function> Functions;
    std::set<std::string> CodeSections; // names of the executable sections
    const char* FarAdvice = nullptr;    // how to link it below 4 GiB
};

// The bytes of a file, read as integers of either byte order, each read
// checked by its caller against the size with Has.
struct Bytes {
    std::string Data;
    bool BigEndian = false;

    bool Has(uint64_t At, uint64_t Size) const {
        return At <= Data.size() && Size <= Data.size() - At;
    }
    uint64_t Get(uint64_t At, int Size) const {
        uint64_t Value = 0;
        for (int i = 0; i < Size; i++)
            Value = Value << 8 | (unsigned char)Data[BigEndian ? At + i : At + Size - 1 - i];
        return Value;
    }
    // The NUL-ended text at At, read no further than Limit bytes.
    std::string Text(uint64_t At, uint64_t Limit) const {
        if (!Has(At, 0)) return std::string();
        Limit = std::min<uint64_t>(Limit, Data.size() - At);
        return std::string(Data.data() + At, strnlen(Data.data() + At, Limit));
    }
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

// An ELF file: every function symbol of .symtab defined in an executable
// section, at its value.
bool ReadElf(const char* Path, Bytes& File, Image* Out) {
    const std::string& D = File.Data;
    if (D.size() < 16 || (D[4] != 1 && D[4] != 2) || (D[5] != 1 && D[5] != 2)) {
        Complain("%s is an ELF file of an unknown class or byte order", Path);
        return false;
    }
    bool Wide = D[4] == 2; // ELFCLASS64
    File.BigEndian = D[5] == 2;
    // Offsets and sizes of the header, section header and symbol fields.
    const uint64_t HeaderSize = Wide ? 64 : 52, ShOff = Wide ? 40 : 32, ShNum = Wide ? 60 : 48;
    const uint64_t ShdrSize = Wide ? 64 : 40, Word = Wide ? 8 : 4;
    const uint64_t SymSize = Wide ? 24 : 16;
    if (!File.Has(0, HeaderSize)) {
        Complain("%s is a damaged ELF file: its header is cut short", Path);
        return false;
    }
    unsigned Type = (unsigned)File.Get(16, 2);
    if (Type != 2 && Type != 3) { // ET_EXEC, ET_DYN
        Complain("%s is an ELF file but not an executable (an object file or a core dump?)", Path);
        return false;
    }
    Out->FarAdvice = "link it below 4 GiB, for example as a position-independent executable";
    uint64_t Table = File.Get(ShOff, Word), Count = File.Get(ShNum, 2);
    uint64_t EntrySize = File.Get(ShNum - 2, 2), NamesIndex = File.Get(ShNum + 2, 2);
    if (Table == 0 || Count == 0) {
        Complain("%s has no symbol table (stripped?)", Path);
        return false;
    }
    if (EntrySize != ShdrSize || !File.Has(Table, Count * ShdrSize)) {
        Complain("%s is a damaged ELF file: its section headers lie outside it", Path);
        return false;
    }
    struct Section {
        uint64_t Name, Type, Flags, Offset, Size, Link;
    };
    std::vector<Section> Sections;
    for (uint64_t i = 0; i < Count; i++) {
        uint64_t At = Table + i * ShdrSize;
        Sections.push_back(Section{File.Get(At, 4), File.Get(At + 4, 4), File.Get(At + 8, Word),
                                   File.Get(At + (Wide ? 24 : 16), Word),
                                   File.Get(At + (Wide ? 32 : 20), Word),
                                   File.Get(At + (Wide ? 40 : 24), 4)});
    }
    auto Fits = [&](const Section& s) { return File.Has(s.Offset, s.Size); };
    const uint64_t kExecInstr = 4, kSymTab = 2;

    if (NamesIndex < Count && Fits(Sections[NamesIndex])) {
        const Section& Names = Sections[NamesIndex];
        for (const Section& s : Sections)
            if ((s.Flags & kExecInstr) && s.Name < Names.Size)
                Out->CodeSections.insert(File.Text(Names.Offset + s.Name, Names.Size - s.Name));
    }
    bool HasSymbols = false;
    for (const Section& Symbols : Sections) {
        if (Symbols.Type != kSymTab) continue;
        HasSymbols = true;
        if (!Fits(Symbols) || Symbols.Link >= Count || !Fits(Sections[Symbols.Link])) {
            Complain("%s is a damaged ELF file: its symbol table lies outside it", Path);
            return false;
        }
        const Section& Strings = Sections[Symbols.Link];
        for (uint64_t At = Symbols.Offset; At + SymSize <= Symbols.Offset + Symbols.Size;
             At += SymSize) {
            uint64_t Name = File.Get(At, 4);
            unsigned Kind = (unsigned)File.Get(At + (Wide ? 4 : 12), 1) & 0xF;
            uint64_t Index = File.Get(At + (Wide ? 6 : 14), 2);
            uint64_t Value = File.Get(At + (Wide ? 8 : 4), Word);
            if ((Kind != 2 && Kind != 10) || Value == 0 || Index == 0 || Index >= Count ||
                !(Sections[Index].Flags & kExecInstr) || Name >= Strings.Size)
                continue; // not STT_FUNC or STT_GNU_IFUNC defined in code
            Out->Functions.push_back(
                Function{Value, File.Text(Strings.Offset + Name, Strings.Size - Name)});
        }
    }
    if (!HasSymbols) {
        Complain("%s has no symbol table (stripped?)", Path);
        return false;
    }
    return true;
}

// A PE image: the functions of the COFF symbol table that the GNU linker
// keeps in it, each at the preferred image base + its section's address +
// its value. Functions are the symbols typed as functions, and the external
// symbols of code sections (import thunks, assembler routines); local labels
// are neither.
bool ReadPe(const char* Path, const Bytes& File, Image* Out) {
    Out->FarAdvice = "link with a preferred image base below 4 GiB, for example "
                     "-Wl,--image-base=0x400000 (dynamic base may stay on)";
    uint64_t Coff = File.Get(0x3C, 4) + 4;
    if (!File.Has(Coff - 4, 24) || File.Data.compare(Coff - 4, 4, std::string("PE\0\0", 4)) != 0) {
        Complain("%s is neither an ELF nor a PE file", Path);
        return false;
    }
    uint64_t NumSections = File.Get(Coff + 2, 2), SymTab = File.Get(Coff + 8, 4);
    uint64_t NumSyms = File.Get(Coff + 12, 4);
    uint64_t Opt = Coff + 20, SecTab = Opt + File.Get(Coff + 16, 2);
    if (!File.Has(Opt, 32) || !File.Has(SecTab, NumSections * 40)) {
        Complain("%s is a damaged PE file: its headers are cut short", Path);
        return false;
    }
    if (SymTab == 0 || NumSyms == 0) {
        Complain("%s has no symbol table (stripped?)", Path);
        return false;
    }
    uint64_t Strings = SymTab + NumSyms * 18;
    if (!File.Has(Strings, 4)) {
        Complain("%s is a damaged PE file: its symbol table lies outside it", Path);
        return false;
    }
    // On x86 (32-bit) the compiler puts a "_" before every C and C++ name.
    bool Underscored = File.Get(Coff, 2) == 0x14C;
    uint64_t ImageBase = File.Get(Opt, 2) == 0x20B ? File.Get(Opt + 24, 8) : File.Get(Opt + 28, 4);
    // A name of at most 8 bytes at At, or the one at Offset in the strings.
    auto Name = [&](uint64_t At, uint64_t Offset) {
        return Offset == 0 ? File.Text(At, 8) : File.Text(Strings + Offset, UINT64_MAX);
    };

    struct Section {
        uint64_t Address;
        bool Code;
    };
    std::vector<Section> Sections;
    for (uint64_t i = 0; i < NumSections; i++) {
        uint64_t At = SecTab + 40 * i;
        bool Code = (File.Get(At + 36, 4) & 0x20000020) != 0; // IMAGE_SCN_MEM_EXECUTE, _CNT_CODE
        std::string Short = Name(At, 0);
        std::string Full =
            Short[0] == '/' ? Name(0, strtoull(Short.c_str() + 1, nullptr, 10)) : Short;
        if (Code) Out->CodeSections.insert(Full);
        Sections.push_back(Section{ImageBase + File.Get(At + 12, 4), Code});
    }
    for (uint64_t i = 0; i < NumSyms && File.Has(SymTab + 18 * i, 18);
         i += 1 + File.Get(SymTab + 18 * i + 17, 1)) {
        uint64_t At = SymTab + 18 * i;
        int64_t Number = (int16_t)File.Get(At + 12, 2);
        unsigned Type = (unsigned)File.Get(At + 14, 2), Class = (unsigned)File.Get(At + 16, 1);
        bool Typed = (Type & 0x30) == 0x20 && Class == 3; // static, typed a function
        if ((!Typed && Class != 2) || Number < 1 || Number > (int64_t)Sections.size() ||
            !Sections[Number - 1].Code)
            continue;
        std::string Symbol = File.Get(At, 4) == 0 ? Name(0, File.Get(At + 4, 4)) : Name(At, 0);
        if (Underscored && Symbol[0] == '_') Symbol.erase(0, 1);
        Out->Functions.push_back(
            Function{Sections[Number - 1].Address + File.Get(At + 8, 4), Symbol, !Typed});
    }
    return true;
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
    if (File.Has(0, 0x40) && File.Data.compare(0, 2, "MZ") == 0) return ReadPe(Path, File, Out);
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
        if (InCode && Size != 0) Pieces->push_back(Piece{Start, Size, ModuleName(File)});
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
    bool operator<(const Line& o) const {
        return Addr != o.Addr ? Addr < o.Addr : Name != o.Name ? Name < o.Name : Module < o.Module;
    }
    bool operator==(const Line& o) const {
        return Addr == o.Addr && Name == o.Name && Module == o.Module;
    }
};

// Writes the map; on a failure says why and removes what it wrote, when that
// is a file of its own (not a device such as /dev/full).
bool WriteMap(const char* Path, const std::string& ExeName, bool FromLinkerMap,
              const std::vector<Line>& Lines) {
    FILE* Out = fopen(Path, "wb");
    if (Out == nullptr) {
        Complain("cannot write %s: %s", Path, strerror(errno));
        return false;
    }
    fprintf(Out, " Code map of %s, from its symbol table%s\r\n\r\nCode\r\n", ExeName.c_str(),
            FromLinkerMap ? " and its link map" : "");
    for (const Line& l : Lines)
        fprintf(Out, " %08X _%s %s\r\n", (unsigned)l.Addr, l.Name.c_str(), l.Module.c_str());
    bool Failed = ferror(Out) != 0;
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

} // namespace

int main(int argc, char** argv) {
    std::vector<const char*> Files;
    bool Wrong = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            printf("%s%s", kUsage, kHelp);
            return 0;
        }
        Wrong |= argv[i][0] == '-'; // there are no other options
        Files.push_back(argv[i]);
    }
    if (Wrong || (Files.size() != 2 && Files.size() != 3)) {
        fprintf(stderr, "%skorval-codemap --help tells more.\n", kUsage);
        return 2;
    }
    const char* ExePath = Files.front();
    const char* LinkerMap = Files.size() == 3 ? Files[1] : nullptr;
    const char* OutPath = Files.back();

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
        Lines.push_back(Line{f.Addr, RoutineName(f.Symbol).substr(0, kLongestName), Module});
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
        Complain("%s has no functions in its symbol table", ExePath);
        return 1;
    }
    std::sort(Lines.begin(), Lines.end());
    Lines.erase(std::unique(Lines.begin(), Lines.end()), Lines.end());
    return WriteMap(OutPath, ExeName, LinkerMap != nullptr, Lines) ? 0 : 1;
}
