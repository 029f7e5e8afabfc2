// image.h - what korval-codemap takes from an executable or a shared
// library, and the two readers that take it: ELF (elf.cpp) and PE (pe.cpp).

#ifndef KORVAL_TOOLS_IMAGE_H
#define KORVAL_TOOLS_IMAGE_H

#include "extension.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

struct Function {
    uint64_t Addr; // link-time address
    std::string Symbol;
    // Not typed as a function: with a linker map, kept only when an input
    // file's code holds it (which leaves out what the linker itself defines
    // there); without one, kept.
    bool Untyped = false;
};

struct Image {
    std::vector<Function> Functions;
    std::set<std::string> CodeSections; // names of the executable sections
    const char* FarAdvice = nullptr;    // how to link it below 4 GiB
    // Only the exported functions: the file keeps no symbol table, so they
    // come from its dynamic symbol table (ELF) or export table (PE).
    bool ExportsOnly = false;
    std::string ObjectName; // the name it is loaded by, when not its file's
    uint64_t LinkBase = 0;  // where its image starts as linked
    uint64_t CodeEnd = 0;   // the end of its last executable section
    uint32_t IdentityKind = korval::kIdentityNone;
    std::string Identity;
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

// Says on standard error what went wrong, as one line after the tool's name.
__attribute__((format(printf, 1, 2))) void Complain(const char* Format, ...);

// Read the functions, link base and identity of the file at Path, whose
// bytes File holds; false after saying why they cannot.
bool ReadElf(const char* Path, Bytes& File, Image* Out);
bool ReadPe(const char* Path, Bytes& File, Image* Out);

#endif
