// elf.cpp - korval-codemap's reader of ELF files (32- or 64-bit, either byte
// order): the functions of the symbol table, else of the dynamic symbol
// table, the link base from the loadable segments and the GNU build ID.

#include "image.h"

#if __has_include(<elf.h>)

#include <elf.h>
#include <stddef.h>

namespace {

// The header, segment, section and symbol types of one ELF class.
struct Elf32 {
    using Ehdr = Elf32_Ehdr;
    using Phdr = Elf32_Phdr;
    using Shdr = Elf32_Shdr;
    using Sym = Elf32_Sym;
    using Dyn = Elf32_Dyn;
};
struct Elf64 {
    using Ehdr = Elf64_Ehdr;
    using Phdr = Elf64_Phdr;
    using Shdr = Elf64_Shdr;
    using Sym = Elf64_Sym;
    using Dyn = Elf64_Dyn;
};

// The field Member of the Type that starts at At in File.
#define FIELD(At, Type, Member)                                                                    \
    File.Get((At) + offsetof(Type, Member), sizeof(((Type*)nullptr)->Member))

struct Section {
    uint64_t Name, Type, Flags, Addr, Offset, Size, Link;
};

// The GNU build ID among the notes of a PT_NOTE segment at Offset, Size
// bytes, each part of a note padded to Align.
bool BuildId(const Bytes& File, uint64_t Offset, uint64_t Size, uint64_t Align, Image* Out) {
    auto Padded = [Align](uint64_t n) { return (n + Align - 1) / Align * Align; };
    for (uint64_t At = Offset; At + sizeof(Elf32_Nhdr) <= Offset + Size;) {
        uint64_t NameSize = FIELD(At, Elf32_Nhdr, n_namesz);
        uint64_t DescSize = FIELD(At, Elf32_Nhdr, n_descsz);
        uint64_t Type = FIELD(At, Elf32_Nhdr, n_type);
        uint64_t Name = At + sizeof(Elf32_Nhdr), Desc = Name + Padded(NameSize);
        if (NameSize > Size || DescSize > Size || !File.Has(Desc, DescSize)) return false;
        if (Type == NT_GNU_BUILD_ID && NameSize == 4 && File.Data.compare(Name, 4, "GNU", 4) == 0 &&
            DescSize > 0 && DescSize <= korval::kMostIdentity) {
            Out->IdentityKind = korval::kIdentityBuildId;
            Out->Identity = File.Data.substr(Desc, DescSize);
            return true;
        }
        At = Desc + Padded(DescSize);
    }
    return false;
}

template <class Class> bool ReadClass(const char* Path, Bytes& File, Image* Out) {
    using Ehdr = typename Class::Ehdr;
    using Phdr = typename Class::Phdr;
    using Shdr = typename Class::Shdr;
    using Sym = typename Class::Sym;
    if (!File.Has(0, sizeof(Ehdr))) {
        Complain("%s is a damaged ELF file: its header is cut short", Path);
        return false;
    }
    uint64_t Type = FIELD(0, Ehdr, e_type);
    if (Type != ET_EXEC && Type != ET_DYN) {
        Complain("%s is an ELF file but neither an executable nor a shared library (an object "
                 "file or a core dump?)",
                 Path);
        return false;
    }
    Out->FarAdvice = "link it below 4 GiB, for example as a position-independent executable";

    // The segments: the link base and the build ID.
    uint64_t Segments = FIELD(0, Ehdr, e_phoff), NumSegments = FIELD(0, Ehdr, e_phnum);
    if (FIELD(0, Ehdr, e_phentsize) == sizeof(Phdr) &&
        File.Has(Segments, NumSegments * sizeof(Phdr))) {
        bool Loaded = false;
        uint64_t Lowest = 0;
        for (uint64_t i = 0; i < NumSegments; i++) {
            uint64_t At = Segments + i * sizeof(Phdr);
            uint64_t Kind = FIELD(At, Phdr, p_type), Align = FIELD(At, Phdr, p_align);
            if (Kind == PT_LOAD) {
                uint64_t Start = FIELD(At, Phdr, p_vaddr);
                if (Align > 1 && (Align & (Align - 1)) == 0) Start &= ~(Align - 1);
                if (!Loaded || Start < Lowest) Lowest = Start;
                Loaded = true;
            } else if (Kind == PT_NOTE && Out->IdentityKind == korval::kIdentityNone) {
                uint64_t Offset = FIELD(At, Phdr, p_offset), Size = FIELD(At, Phdr, p_filesz);
                if (File.Has(Offset, Size)) BuildId(File, Offset, Size, Align == 8 ? 8 : 4, Out);
            }
        }
        Out->LinkBase = Type == ET_DYN ? 0 : Lowest;
    }

    // The sections: which hold code, and the symbol tables.
    uint64_t Table = FIELD(0, Ehdr, e_shoff), Count = FIELD(0, Ehdr, e_shnum);
    uint64_t NamesIndex = FIELD(0, Ehdr, e_shstrndx);
    if (Table == 0 || Count == 0) {
        Complain("%s has neither a symbol table nor a dynamic symbol table", Path);
        return false;
    }
    if (FIELD(0, Ehdr, e_shentsize) != sizeof(Shdr) || !File.Has(Table, Count * sizeof(Shdr))) {
        Complain("%s is a damaged ELF file: its section headers lie outside it", Path);
        return false;
    }
    std::vector<Section> Sections;
    for (uint64_t i = 0; i < Count; i++) {
        uint64_t At = Table + i * sizeof(Shdr);
        Sections.push_back(Section{FIELD(At, Shdr, sh_name), FIELD(At, Shdr, sh_type),
                                   FIELD(At, Shdr, sh_flags), FIELD(At, Shdr, sh_addr),
                                   FIELD(At, Shdr, sh_offset), FIELD(At, Shdr, sh_size),
                                   FIELD(At, Shdr, sh_link)});
    }
    auto Fits = [&](const Section& s) { return File.Has(s.Offset, s.Size); };
    for (const Section& s : Sections)
        if (s.Flags & SHF_EXECINSTR) Out->CodeEnd = std::max(Out->CodeEnd, s.Addr + s.Size);
    if (NamesIndex < Count && Fits(Sections[NamesIndex])) {
        const Section& Names = Sections[NamesIndex];
        for (const Section& s : Sections)
            if ((s.Flags & SHF_EXECINSTR) && s.Name < Names.Size)
                Out->CodeSections.insert(File.Text(Names.Offset + s.Name, Names.Size - s.Name));
    }

    // A shared library is loaded, and named in reports, by its soname
    // (libshapes.so.1 for the file libshapes.so.1.2).
    using Dyn = typename Class::Dyn;
    for (const Section& Dynamic : Sections) {
        if (Dynamic.Type != SHT_DYNAMIC || !Fits(Dynamic) || Dynamic.Link >= Count ||
            !Fits(Sections[Dynamic.Link]))
            continue;
        const Section& Strings = Sections[Dynamic.Link];
        for (uint64_t At = Dynamic.Offset; At + sizeof(Dyn) <= Dynamic.Offset + Dynamic.Size;
             At += sizeof(Dyn)) {
            uint64_t Value = FIELD(At, Dyn, d_un);
            if (FIELD(At, Dyn, d_tag) == DT_SONAME && Value < Strings.Size)
                Out->ObjectName = File.Text(Strings.Offset + Value, Strings.Size - Value);
        }
    }

    // The symbol table; a stripped file keeps only the dynamic one, whose
    // functions are those it exports (what nm -D lists).
    uint64_t Wanted = SHT_SYMTAB;
    if (std::none_of(Sections.begin(), Sections.end(),
                     [](const Section& s) { return s.Type == SHT_SYMTAB; })) {
        Wanted = SHT_DYNSYM;
        Out->ExportsOnly = true;
    }
    bool HasSymbols = false;
    for (const Section& Symbols : Sections) {
        if (Symbols.Type != Wanted) continue;
        HasSymbols = true;
        if (!Fits(Symbols) || Symbols.Link >= Count || !Fits(Sections[Symbols.Link])) {
            Complain("%s is a damaged ELF file: its symbol table lies outside it", Path);
            return false;
        }
        const Section& Strings = Sections[Symbols.Link];
        for (uint64_t At = Symbols.Offset; At + sizeof(Sym) <= Symbols.Offset + Symbols.Size;
             At += sizeof(Sym)) {
            uint64_t Name = FIELD(At, Sym, st_name), Index = FIELD(At, Sym, st_shndx);
            uint64_t Value = FIELD(At, Sym, st_value);
            unsigned Kind = ELF64_ST_TYPE(FIELD(At, Sym, st_info)); // the same in both classes
            if ((Kind != STT_FUNC && Kind != STT_GNU_IFUNC) || Value == 0 || Index == SHN_UNDEF ||
                Index >= Count || !(Sections[Index].Flags & SHF_EXECINSTR) || Name >= Strings.Size)
                continue;
            Out->Functions.push_back(
                Function{Value, File.Text(Strings.Offset + Name, Strings.Size - Name)});
        }
    }
    if (!HasSymbols) {
        Complain("%s has neither a symbol table nor a dynamic symbol table", Path);
        return false;
    }
    return true;
}

} // namespace

bool ReadElf(const char* Path, Bytes& File, Image* Out) {
    const std::string& D = File.Data;
    if (!File.Has(0, EI_NIDENT) || (D[EI_CLASS] != ELFCLASS32 && D[EI_CLASS] != ELFCLASS64) ||
        (D[EI_DATA] != ELFDATA2LSB && D[EI_DATA] != ELFDATA2MSB)) {
        Complain("%s is an ELF file of an unknown class or byte order", Path);
        return false;
    }
    File.BigEndian = D[EI_DATA] == ELFDATA2MSB;
    return D[EI_CLASS] == ELFCLASS64 ? ReadClass<Elf64>(Path, File, Out)
                                     : ReadClass<Elf32>(Path, File, Out);
}

#else

// A system without <elf.h> (MinGW) builds the tool for its own PE images.
bool ReadElf(const char* Path, Bytes&, Image*) {
    Complain("%s is an ELF file: this build reads PE images only, use a Linux build", Path);
    return false;
}

#endif
