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
    uint64_t addr; // link-time address
    std::string symbol;
    // Not typed as a function: with a linker map, kept only when an input
    // file's code holds it (which leaves out what the linker itself defines
    // there); without one, kept.
    bool untyped = false;
};

struct Image {
    std::vector<Function> functions;
    std::set<std::string> codeSections; // names of the executable sections
    const char* farAdvice = nullptr;    // how to link it below 4 GiB
    // Only the exported functions: the file keeps no symbol table, so they
    // come from its dynamic symbol table (ELF) or export table (PE).
    bool exportsOnly = false;
    std::string objectName; // the name it is loaded by, when not its file's
    uint64_t linkBase = 0;  // where its image starts as linked
    uint64_t codeEnd = 0;   // the end of its last executable section
    uint32_t identityKind = korval::kIdentityNone;
    std::string identity;
};

// The bytes of a file, read as integers of either byte order, each read
// checked by its caller against the size with Has.
struct Bytes {
    std::string data;
    bool bigEndian = false;

    bool Has(uint64_t at, uint64_t size) const {
        return at <= data.size() && size <= data.size() - at;
    }
    uint64_t Get(uint64_t at, int size) const {
        uint64_t value = 0;
        for (int i = 0; i < size; i++)
            value = value << 8 | (unsigned char)data[bigEndian ? at + i : at + size - 1 - i];
        return value;
    }
    // The NUL-ended text at `at`, read no further than limit bytes.
    std::string Text(uint64_t at, uint64_t limit) const {
        if (!Has(at, 0)) return std::string();
        limit = std::min<uint64_t>(limit, data.size() - at);
        return std::string(data.data() + at, strnlen(data.data() + at, limit));
    }
};

// Says on standard error what went wrong, as one line after the tool's name.
__attribute__((format(printf, 1, 2))) void Complain(const char* format, ...);

// Read the functions, link base and identity of the file at path, whose
// bytes file holds; false after saying why they cannot.
bool ReadElf(const char* path, Bytes& file, Image* out);
bool ReadPe(const char* path, Bytes& file, Image* out);

#endif
