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

// The field Member of the type that starts at `at` in file.
#define FIELD(At, Type, Member)                                                                    \
    File.Get((At) + offsetof(Type, Member), sizeof(((Type*)nullptr)->Member))

struct Section {
    uint64_t name, type, flags, addr, offset, size, link;
};

// The GNU build ID among the notes of a PT_NOTE segment at offset, size
// bytes, each part of a note padded to align.
bool BuildId(const Bytes& File, uint64_t offset, uint64_t size, uint64_t align, Image* out) {
    auto padded = [align](uint64_t n) { return (n + align - 1) / align * align; };
    for (uint64_t at = offset; at + sizeof(Elf32_Nhdr) <= offset + size;) {
        uint64_t nameSize = FIELD(at, Elf32_Nhdr, n_namesz);
        uint64_t descSize = FIELD(at, Elf32_Nhdr, n_descsz);
        uint64_t type = FIELD(at, Elf32_Nhdr, n_type);
        uint64_t name = at + sizeof(Elf32_Nhdr), desc = name + padded(nameSize);
        if (nameSize > size || descSize > size || !File.Has(desc, descSize)) return false;
        if (type == NT_GNU_BUILD_ID && nameSize == 4 && File.data.compare(name, 4, "GNU", 4) == 0 &&
            descSize > 0 && descSize <= korval::kMostIdentity) {
            out->identityKind = korval::kIdentityBuildId;
            out->identity = File.data.substr(desc, descSize);
            return true;
        }
        at = desc + padded(descSize);
    }
    return false;
}

template <class Class> bool ReadClass(const char* path, Bytes& File, Image* out) {
    using Ehdr = typename Class::Ehdr;
    using Phdr = typename Class::Phdr;
    using Shdr = typename Class::Shdr;
    using Sym = typename Class::Sym;
    if (!File.Has(0, sizeof(Ehdr))) {
        Complain("%s is a damaged ELF file: its header is cut short", path);
        return false;
    }
    uint64_t type = FIELD(0, Ehdr, e_type);
    if (type != ET_EXEC && type != ET_DYN) {
        Complain("%s is an ELF file but neither an executable nor a shared library (an object "
                 "file or a core dump?)",
                 path);
        return false;
    }
    out->farAdvice = "link it below 4 GiB, for example as a position-independent executable";

    // The segments: the link base and the build ID.
    uint64_t segments = FIELD(0, Ehdr, e_phoff), numSegments = FIELD(0, Ehdr, e_phnum);
    if (FIELD(0, Ehdr, e_phentsize) == sizeof(Phdr) &&
        File.Has(segments, numSegments * sizeof(Phdr))) {
        bool loaded = false;
        uint64_t lowest = 0;
        for (uint64_t i = 0; i < numSegments; i++) {
            uint64_t at = segments + i * sizeof(Phdr);
            uint64_t kind = FIELD(at, Phdr, p_type), align = FIELD(at, Phdr, p_align);
            if (kind == PT_LOAD) {
                uint64_t start = FIELD(at, Phdr, p_vaddr);
                if (align > 1 && (align & (align - 1)) == 0) start &= ~(align - 1);
                if (!loaded || start < lowest) lowest = start;
                loaded = true;
            } else if (kind == PT_NOTE && out->identityKind == korval::kIdentityNone) {
                uint64_t offset = FIELD(at, Phdr, p_offset), size = FIELD(at, Phdr, p_filesz);
                if (File.Has(offset, size)) BuildId(File, offset, size, align == 8 ? 8 : 4, out);
            }
        }
        out->linkBase = type == ET_DYN ? 0 : lowest;
    }

    // The sections: which hold code, and the symbol tables.
    uint64_t table = FIELD(0, Ehdr, e_shoff), count = FIELD(0, Ehdr, e_shnum);
    uint64_t namesIndex = FIELD(0, Ehdr, e_shstrndx);
    if (table == 0 || count == 0) {
        Complain("%s has neither a symbol table nor a dynamic symbol table", path);
        return false;
    }
    if (FIELD(0, Ehdr, e_shentsize) != sizeof(Shdr) || !File.Has(table, count * sizeof(Shdr))) {
        Complain("%s is a damaged ELF file: its section headers lie outside it", path);
        return false;
    }
    std::vector<Section> sections;
    for (uint64_t i = 0; i < count; i++) {
        uint64_t at = table + i * sizeof(Shdr);
        sections.push_back(Section{FIELD(at, Shdr, sh_name), FIELD(at, Shdr, sh_type),
                                   FIELD(at, Shdr, sh_flags), FIELD(at, Shdr, sh_addr),
                                   FIELD(at, Shdr, sh_offset), FIELD(at, Shdr, sh_size),
                                   FIELD(at, Shdr, sh_link)});
    }
    auto fits = [&](const Section& s) { return File.Has(s.offset, s.size); };
    for (const Section& s : sections)
        if (s.flags & SHF_EXECINSTR) out->codeEnd = std::max(out->codeEnd, s.addr + s.size);
    if (namesIndex < count && fits(sections[namesIndex])) {
        const Section& names = sections[namesIndex];
        for (const Section& s : sections)
            if ((s.flags & SHF_EXECINSTR) && s.name < names.size)
                out->codeSections.insert(File.Text(names.offset + s.name, names.size - s.name));
    }

    // A shared library is loaded, and named in reports, by its soname
    // (libshapes.so.1 for the file libshapes.so.1.2).
    using Dyn = typename Class::Dyn;
    for (const Section& dynamic : sections) {
        if (dynamic.type != SHT_DYNAMIC || !fits(dynamic) || dynamic.link >= count ||
            !fits(sections[dynamic.link]))
            continue;
        const Section& strings = sections[dynamic.link];
        for (uint64_t at = dynamic.offset; at + sizeof(Dyn) <= dynamic.offset + dynamic.size;
             at += sizeof(Dyn)) {
            uint64_t value = FIELD(at, Dyn, d_un);
            if (FIELD(at, Dyn, d_tag) == DT_SONAME && value < strings.size)
                out->objectName = File.Text(strings.offset + value, strings.size - value);
        }
    }

    // The symbol table; a stripped file keeps only the dynamic one, whose
    // functions are those it exports (what nm -d lists).
    uint64_t wanted = SHT_SYMTAB;
    if (std::none_of(sections.begin(), sections.end(),
                     [](const Section& s) { return s.type == SHT_SYMTAB; })) {
        wanted = SHT_DYNSYM;
        out->exportsOnly = true;
    }
    bool hasSymbols = false;
    for (const Section& symbols : sections) {
        if (symbols.type != wanted) continue;
        hasSymbols = true;
        if (!fits(symbols) || symbols.link >= count || !fits(sections[symbols.link])) {
            Complain("%s is a damaged ELF file: its symbol table lies outside it", path);
            return false;
        }
        const Section& strings = sections[symbols.link];
        for (uint64_t at = symbols.offset; at + sizeof(Sym) <= symbols.offset + symbols.size;
             at += sizeof(Sym)) {
            uint64_t name = FIELD(at, Sym, st_name), index = FIELD(at, Sym, st_shndx);
            uint64_t value = FIELD(at, Sym, st_value);
            unsigned kind = ELF64_ST_TYPE(FIELD(at, Sym, st_info)); // the same in both classes
            if ((kind != STT_FUNC && kind != STT_GNU_IFUNC) || value == 0 || index == SHN_UNDEF ||
                index >= count || !(sections[index].flags & SHF_EXECINSTR) || name >= strings.size)
                continue;
            out->functions.push_back(
                Function{value, File.Text(strings.offset + name, strings.size - name)});
        }
    }
    if (!hasSymbols) {
        Complain("%s has neither a symbol table nor a dynamic symbol table", path);
        return false;
    }
    return true;
}

} // namespace

bool ReadElf(const char* path, Bytes& file, Image* out) {
    const std::string& d = file.data;
    if (!file.Has(0, EI_NIDENT) || (d[EI_CLASS] != ELFCLASS32 && d[EI_CLASS] != ELFCLASS64) ||
        (d[EI_DATA] != ELFDATA2LSB && d[EI_DATA] != ELFDATA2MSB)) {
        Complain("%s is an ELF file of an unknown class or byte order", path);
        return false;
    }
    file.bigEndian = d[EI_DATA] == ELFDATA2MSB;
    return d[EI_CLASS] == ELFCLASS64 ? ReadClass<Elf64>(path, file, out)
                                     : ReadClass<Elf32>(path, file, out);
}

#else

// A system without <elf.h> (MinGW) builds the tool for its own PE images.
bool ReadElf(const char* Path, Bytes&, Image*) {
    Complain("%s is an ELF file: this build reads PE images only, use a Linux build", Path);
    return false;
}

#endif
