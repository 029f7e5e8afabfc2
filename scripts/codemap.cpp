// codemap.cpp - writes the link map of one of our executables in the form
// KORVAL reads: a "Code" line, then one line " AAAAAAAA _Name module" per
// function of the executable, in ascending address order.
//
//     codemap EXECUTABLE LINKER_MAP OUTPUT.MAP
//
// The functions and their addresses come from the executable's symbol table:
// of an ELF executable every function symbol in an executable section, local
// ones included; of a PE image (the Windows build) its COFF symbol table,
// likewise. The module of each is the input file whose piece of code holds
// it, from the map the linker wrote with -Map. The executable must be linked
// at fixed addresses below 4 GiB (not position-independent): a function at a
// higher address is an error, since a code map holds 32-bit addresses.

#include "symnames.h"

#include <elf.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

struct Function {
    uint64_t Addr;
    std::string Symbol;
    // Not typed as a function: kept only when an input file's code holds it
    // (which leaves out what the linker itself defines there).
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
};

template <class Ehdr, class Shdr, class Sym, unsigned char (*TypeOf)(unsigned char)>
bool ReadElf(const std::string& Bytes, Image* Out) {
    if (Bytes.size() < sizeof(Ehdr)) return false;
    Ehdr Header;
    memcpy(&Header, Bytes.data(), sizeof Header);
    if (Header.e_shentsize != sizeof(Shdr) ||
        Header.e_shoff + (uint64_t)Header.e_shnum * sizeof(Shdr) > Bytes.size())
        return false;
    std::vector<Shdr> Sections(Header.e_shnum);
    memcpy(Sections.data(), Bytes.data() + Header.e_shoff, Sections.size() * sizeof(Shdr));
    auto Fits = [&](const Shdr& s) { return s.sh_offset + s.sh_size <= Bytes.size(); };

    if (Header.e_shstrndx < Sections.size() && Fits(Sections[Header.e_shstrndx])) {
        const Shdr& Names = Sections[Header.e_shstrndx];
        for (const Shdr& s : Sections)
            if ((s.sh_flags & SHF_EXECINSTR) && s.sh_name < Names.sh_size)
                Out->CodeSections.insert(
                    std::string(Bytes.data() + Names.sh_offset + s.sh_name,
                                strnlen(Bytes.data() + Names.sh_offset + s.sh_name,
                                        Names.sh_size - s.sh_name)));
    }
    for (const Shdr& Table : Sections) {
        if (Table.sh_type != SHT_SYMTAB || !Fits(Table) || Table.sh_link >= Sections.size())
            continue;
        const Shdr& Strings = Sections[Table.sh_link];
        if (!Fits(Strings)) return false;
        size_t Count = Table.sh_size / sizeof(Sym);
        for (size_t i = 0; i < Count; i++) {
            Sym S;
            memcpy(&S, Bytes.data() + Table.sh_offset + i * sizeof(Sym), sizeof S);
            unsigned Type = TypeOf(S.st_info);
            if ((Type != STT_FUNC && Type != STT_GNU_IFUNC) || S.st_value == 0 ||
                S.st_shndx == SHN_UNDEF || S.st_shndx >= Sections.size() ||
                !(Sections[S.st_shndx].sh_flags & SHF_EXECINSTR) || S.st_name >= Strings.sh_size)
                continue;
            const char* Name = Bytes.data() + Strings.sh_offset + S.st_name;
            Out->Functions.push_back(Function{
                S.st_value, std::string(Name, strnlen(Name, Strings.sh_size - S.st_name))});
        }
    }
    return true;
}

unsigned char Type64(unsigned char Info) {
    return ELF64_ST_TYPE(Info);
}
unsigned char Type32(unsigned char Info) {
    return ELF32_ST_TYPE(Info);
}

// A PE image (the Windows build): the functions of the COFF symbol table that
// the GNU linker keeps in it, each at image base + its section's address +
// its value. Functions are the symbols typed as functions, and the external
// symbols of code sections (import thunks, assembler routines); local labels
// are neither.
bool ReadPe(const std::string& Bytes, Image* Out) {
    auto Has = [&](uint64_t At, uint64_t Size) { return At + Size <= Bytes.size(); };
    auto Le = [&](uint64_t At, int Size) {
        uint64_t Value = 0;
        for (int i = Size - 1; i >= 0; i--)
            Value = Value << 8 | (unsigned char)Bytes[At + i];
        return Value;
    };
    if (!Has(0, 0x40) || Bytes.compare(0, 2, "MZ") != 0) return false;
    uint64_t Coff = Le(0x3C, 4) + 4;
    if (!Has(Coff, 20) || Bytes.compare(Coff - 4, 4, std::string("PE\0\0", 4)) != 0) return false;
    uint64_t NumSections = Le(Coff + 2, 2), SymTab = Le(Coff + 8, 4), NumSyms = Le(Coff + 12, 4);
    uint64_t Opt = Coff + 20, SecTab = Opt + Le(Coff + 16, 2);
    uint64_t Strings = SymTab + NumSyms * 18;
    if (SymTab == 0 || !Has(Opt, 32) || !Has(SecTab, NumSections * 40) || !Has(Strings, 4))
        return false;
    uint64_t ImageBase = Le(Opt, 2) == 0x20B ? Le(Opt + 24, 8) : Le(Opt + 28, 4);
    // A name of at most 8 bytes at At, or the one at Offset in the strings.
    auto Name = [&](uint64_t At, uint64_t Offset) {
        if (Offset == 0) return std::string(Bytes.data() + At, strnlen(Bytes.data() + At, 8));
        uint64_t Start = Strings + Offset;
        if (!Has(Start, 1)) return std::string();
        return std::string(Bytes.data() + Start,
                           strnlen(Bytes.data() + Start, Bytes.size() - Start));
    };

    struct Section {
        uint64_t Address;
        bool Code;
    };
    std::vector<Section> Sections;
    for (uint64_t i = 0; i < NumSections; i++) {
        uint64_t At = SecTab + 40 * i;
        bool Code = (Le(At + 36, 4) & 0x20000020) != 0; // IMAGE_SCN_MEM_EXECUTE, _CNT_CODE
        std::string Short = Name(At, 0);
        std::string Full =
            Short[0] == '/' ? Name(0, strtoull(Short.c_str() + 1, nullptr, 10)) : Short;
        if (Code) Out->CodeSections.insert(Full);
        Sections.push_back(Section{ImageBase + Le(At + 12, 4), Code});
    }
    for (uint64_t i = 0; i < NumSyms && Has(SymTab + 18 * i, 18);
         i += 1 + Le(SymTab + 18 * i + 17, 1)) {
        uint64_t At = SymTab + 18 * i;
        int64_t Number = (int16_t)Le(At + 12, 2);
        unsigned Type = (unsigned)Le(At + 14, 2), Class = (unsigned)Le(At + 16, 1);
        bool Typed = (Type & 0x30) == 0x20 && Class == 3; // static, typed a function
        if ((!Typed && Class != 2) || Number < 1 || Number > (int64_t)Sections.size() ||
            !Sections[Number - 1].Code)
            continue;
        std::string Symbol = Le(At, 4) == 0 ? Name(0, Le(At + 4, 4)) : Name(At, 0);
        Out->Functions.push_back(
            Function{Sections[Number - 1].Address + Le(At + 8, 4), Symbol, !Typed});
    }
    return true;
}

bool ReadExecutable(const std::string& Path, Image* Out) {
    std::ifstream In(Path, std::ios::binary);
    std::string Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    if (Bytes.compare(0, 2, "MZ") == 0) return ReadPe(Bytes, Out);
    if (Bytes.size() < EI_NIDENT || memcmp(Bytes.data(), ELFMAG, SELFMAG) != 0) return false;
    if (Bytes[EI_CLASS] == ELFCLASS64)
        return ReadElf<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, Type64>(Bytes, Out);
    if (Bytes[EI_CLASS] == ELFCLASS32)
        return ReadElf<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, Type32>(Bytes, Out);
    return false;
}

// The input sections of the code sections, from the memory map part of the
// linker's map: " .text.name 0xADDR 0xSIZE file", the address part on the
// next line when the section name is long.
std::vector<Piece> ReadLinkerMap(const std::string& Path,
                                 const std::set<std::string>& CodeSections) {
    static const std::regex Output("^(\\.[^ ]+).*");
    static const std::regex Whole(" ([^ *][^ ]*) +0x([0-9a-fA-F]+) +0x([0-9a-fA-F]+) +(.+)");
    static const std::regex Named(" ([^ *][^ ]*)");
    static const std::regex Placed(" +0x([0-9a-fA-F]+) +0x([0-9a-fA-F]+) +(.+)");
    std::vector<Piece> Pieces;
    std::ifstream In(Path);
    std::string Line;
    bool InMemoryMap = false, InCode = false, Pending = false;
    std::smatch M;
    auto Add = [&](const std::string& Start, const std::string& Size, const std::string& File) {
        uint64_t Bytes = std::stoull(Size, nullptr, 16);
        if (InCode && Bytes != 0)
            Pieces.push_back(Piece{std::stoull(Start, nullptr, 16), Bytes, ModuleName(File)});
    };
    while (std::getline(In, Line)) {
        if (!Line.empty() && Line.back() == '\r') Line.pop_back();
        if (!InMemoryMap) {
            InMemoryMap = Line.compare(0, 28, "Linker script and memory map") == 0;
            continue;
        }
        bool WasPending = Pending;
        Pending = false;
        if (std::regex_match(Line, M, Output)) {
            InCode = CodeSections.count(M[1]) != 0;
        } else if (std::regex_match(Line, M, Whole)) {
            Add(M[2], M[3], M[4]);
        } else if (std::regex_match(Line, M, Named)) {
            Pending = true;
        } else if (WasPending && std::regex_match(Line, M, Placed)) {
            Add(M[1], M[2], M[3]);
        }
    }
    std::sort(Pieces.begin(), Pieces.end(),
              [](const Piece& a, const Piece& b) { return a.Start < b.Start; });
    return Pieces;
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

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: codemap EXECUTABLE LINKER_MAP OUTPUT.MAP\n");
        return 2;
    }
    Image Exe;
    if (!ReadExecutable(argv[1], &Exe)) {
        fprintf(
            stderr,
            "codemap: %s is neither an ELF file with section headers nor a PE image with symbols\n",
            argv[1]);
        return 1;
    }
    std::vector<Piece> Pieces = ReadLinkerMap(argv[2], Exe.CodeSections);
    if (Pieces.empty()) {
        fprintf(stderr, "codemap: no code in the linker map %s\n", argv[2]);
        return 1;
    }

    struct Line {
        uint64_t Addr;
        std::string Name, Module;
        bool operator<(const Line& o) const {
            return Addr != o.Addr   ? Addr < o.Addr
                   : Name != o.Name ? Name < o.Name
                                    : Module < o.Module;
        }
        bool operator==(const Line& o) const {
            return Addr == o.Addr && Name == o.Name && Module == o.Module;
        }
    };
    std::vector<Line> Lines;
    int Failures = 0;
    for (const Function& f : Exe.Functions) {
        if (f.Addr > 0xFFFFFFFFu) {
            fprintf(stderr,
                    "codemap: %s is at 0x%" PRIX64
                    ", above 4 GiB: link at fixed addresses (-no-pie)\n",
                    f.Symbol.c_str(), f.Addr);
            Failures++;
            continue;
        }
        const Piece* p = PieceAt(Pieces, f.Addr);
        if (p == nullptr) {
            if (f.Untyped) continue;
            fprintf(stderr, "codemap: warning: no input file holds %s\n", f.Symbol.c_str());
        }
        std::string Name = RoutineName(f.Symbol).substr(0, kLongestName);
        Lines.push_back(Line{f.Addr, Name, p ? p->Module : std::string()});
    }
    if (Failures) return 1;
    std::sort(Lines.begin(), Lines.end());
    Lines.erase(std::unique(Lines.begin(), Lines.end()), Lines.end());

    FILE* Out = fopen(argv[3], "wb");
    if (!Out) {
        perror(argv[3]);
        return 1;
    }
    fprintf(Out, " Code map of %s, from its symbol table and its link map\r\n\r\nCode\r\n",
            strrchr(argv[1], '/') ? strrchr(argv[1], '/') + 1 : argv[1]);
    for (const Line& l : Lines)
        fprintf(Out, " %08X _%s %s\r\n", (unsigned)l.Addr, l.Name.c_str(), l.Module.c_str());
    if (fclose(Out) != 0) {
        perror(argv[3]);
        return 1;
    }
    return 0;
}
