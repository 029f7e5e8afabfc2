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
// from LINKER_MAP, the map GNU ld wrote with -map; without LINKER_MAP it is
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

void Complain(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("korval-codemap: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

namespace {

// A piece of code the linker placed: an input section of one file.
struct Piece {
    uint64_t start;
    uint64_t size;
    std::string module;
};

// Reads the whole file; false, with errno telling why, when it cannot.
bool ReadWhole(const char* path, std::string* out) {
    FILE* in = fopen(path, "rb");
    if (in == nullptr) return false;
    char buffer[1 << 16];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, in)) > 0)
        out->append(buffer, got);
    bool failed = ferror(in) != 0;
    int error = errno;
    fclose(in);
    errno = error;
    return !failed;
}

bool ReadExecutable(const char* path, Image* out) {
    Bytes file;
    if (!ReadWhole(path, &file.data)) {
        Complain("cannot read %s: %s", path, strerror(errno));
        return false;
    }
    if (file.data.compare(0, 4,
                          "\x7F"
                          "ELF") == 0)
        return ReadElf(path, file, out);
    if (file.data.compare(0, 2, "MZ") == 0) return ReadPe(path, file, out);
    Complain("%s is neither an ELF nor a PE file", path);
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
bool HexField(const char** p, uint64_t* value) {
    if ((*p)[0] != '0' || (*p)[1] != 'x') return false;
    const char* digits = *p + 2;
    const char* end = digits;
    uint64_t result = 0;
    for (; HexDigit(*end) >= 0; end++)
        result = result << 4 | (uint64_t)HexDigit(*end);
    if (end == digits || end - digits > 16 || *end != ' ') return false;
    *value = result;
    *p = end;
    return true;
}

// The placement of an input section, "  0xSTART  0xSIZE  FILE" after at
// least one space.
bool Placement(const char* p, uint64_t* start, uint64_t* size, const char** file) {
    if (*p != ' ') return false;
    p = SkipSpaces(p);
    if (!HexField(&p, start)) return false;
    p = SkipSpaces(p);
    if (!HexField(&p, size)) return false;
    *file = SkipSpaces(p);
    return **file != 0 && strchr(*file, '\r') == nullptr;
}

// The input sections of the code sections, from the memory map part of the
// linker's map: " .text.name 0xADDR 0xSIZE file", the address part on the
// next line when the section name is long. An output section's line begins
// with its name (".text  0x... 0x..."), and decides whether the input
// sections after it are code. A line with a CR inside (a damaged map; the
// CR would end a line of ours) counts as neither, after the name.
bool ReadLinkerMap(const char* path, const char* ExePath, const std::set<std::string>& codeSections,
                   std::vector<Piece>* pieces) {
    std::string text;
    if (!ReadWhole(path, &text)) {
        Complain("cannot read the linker map %s: %s", path, strerror(errno));
        return false;
    }
    bool inMemoryMap = false, InCode = false, pending = false;
    auto add = [&](uint64_t start, uint64_t size, const char* file) {
        if (InCode && size != 0)
            pieces->push_back(
                Piece{start, size, CompilerTemporary(file) ? BaseName(ExePath) : ModuleName(file)});
    };
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!inMemoryMap) {
            inMemoryMap = line.compare(0, 28, "Linker script and memory map") == 0;
            continue;
        }
        bool wasPending = pending;
        pending = false;
        size_t nameEnd = std::min(line.find(' ', 1), line.size());
        uint64_t start, size;
        const char* file;
        bool named = line.size() > 1 && line[0] == ' ' && line[1] != '*' && nameEnd > 1;
        if (line.size() > 1 && line[0] == '.' && nameEnd > 1 &&
            line.find('\r', nameEnd) == std::string::npos) {
            InCode = codeSections.count(line.substr(0, nameEnd)) != 0;
        } else if (named && Placement(line.c_str() + nameEnd, &start, &size, &file)) {
            add(start, size, file);
        } else if (named && nameEnd == line.size()) {
            pending = true;
        } else if (wasPending && Placement(line.c_str(), &start, &size, &file)) {
            add(start, size, file);
        }
    }
    if (pieces->empty()) {
        Complain("no code of %s in the linker map %s (is it GNU ld's -Map output of that link?)",
                 ExePath, path);
        return false;
    }
    std::sort(pieces->begin(), pieces->end(),
              [](const Piece& a, const Piece& b) { return a.start < b.start; });
    return true;
}

const Piece* PieceAt(const std::vector<Piece>& pieces, uint64_t addr) {
    auto after = std::upper_bound(pieces.begin(), pieces.end(), addr,
                                  [](uint64_t a, const Piece& p) { return a < p.start; });
    if (after == pieces.begin()) return nullptr;
    const Piece& p = *(after - 1);
    return addr - p.start < p.size ? &p : nullptr;
}

// A map line holds at most 254 characters; names longer than this are cut
// here (the code map keeps 32 of them anyway).
const size_t kLongestName = 160;

struct Line {
    uint64_t addr;
    std::string name, module;
    std::string fullName; // as nm -C shows the symbol
    bool operator<(const Line& o) const {
        if (addr != o.addr) return addr < o.addr;
        if (name != o.name) return name < o.name;
        return module != o.module ? module < o.module : fullName < o.fullName;
    }
    bool operator==(const Line& o) const {
        return addr == o.addr && name == o.name && module == o.module;
    }
};

// The text map of the lines.
std::string MapText(const std::string& fileName, const Image& file, bool fromLinkerMap,
                    const std::vector<Line>& lines) {
    std::string text = " Code map of " + fileName + ", from its " +
                       (file.exportsOnly ? "exported functions" : "symbol table") +
                       (fromLinkerMap ? " and its link map" : "") + "\r\n\r\nCode\r\n";
    for (const Line& l : lines) {
        char addr[16];
        snprintf(addr, sizeof addr, " %08X _", (unsigned)l.addr);
        text += addr + l.name + " " + l.module + "\r\n";
    }
    return text;
}

void Put32(std::string* out, uint64_t value) {
    for (int i = 0; i < 4; i++)
        out->push_back((char)(value >> 8 * i));
}

void Put64(std::string* out, uint64_t value) {
    Put32(out, value);
    Put32(out, value >> 32);
}

// Length-prefixed bytes, then zero bytes up to a multiple of 4.
void PutPadded(std::string* out, const std::string& part, bool counted) {
    if (counted) Put32(out, part.size());
    *out += part;
    out->append((4 - part.size() % 4) % 4, '\0');
}

// The code map of the text map text, whose lines are lines in order: the
// records as the converter makes them from text, then the extension with the
// full name of each record's line. False, said, when the converter cannot.
bool CodeMap(const std::string& text, const std::vector<Line>& lines, const Image& file,
             const std::string& objectName, std::string* out) {
    Inclusive = 0;
    Debug = 0;
    pIfileMap = text.data();
    dwISize = (DWORD)text.size();
    if (!Doit() || NumRecs != lines.size()) {
        Complain("cannot convert the %u functions of %s", (unsigned)lines.size(),
                 objectName.c_str());
        return false;
    }
    std::string pool;
    std::vector<uint32_t> offsets;
    Put32(out, NumRecs);
    for (PENTREC ent = EntFirst; ent != nullptr; ent = ent->NextRec) {
        Put32(out, ent->SymbAddr);
        out->append(ent->Routine, sizeof ent->Routine);
        out->append(ent->Module, sizeof ent->Module);
        // The entries lie in the block in the order of the lines read.
        offsets.push_back((uint32_t)pool.size());
        pool += lines[ent - EntBase].fullName;
        pool.push_back('\0');
    }
    VirtualFree(EntBase, 0, MEM_RELEASE);

    std::string extension(korval::kExtensionMagic, sizeof korval::kExtensionMagic);
    Put32(&extension, 0); // the size, filled in below
    Put32(&extension, NumRecs);
    Put64(&extension, file.linkBase);
    Put32(&extension, file.identityKind);
    Put32(&extension, file.identity.size());
    PutPadded(&extension, file.identity, false);
    PutPadded(&extension, objectName.substr(0, korval::kMostObjectName), true);
    for (uint32_t offset : offsets)
        Put32(&extension, offset);
    Put32(&extension, pool.size());
    extension += pool;
    std::string size;
    Put32(&size, extension.size());
    extension.replace(sizeof korval::kExtensionMagic, 4, size);
    *out += extension;
    return true;
}

// Writes bytes to path; on a failure says why and removes what it wrote,
// when that is a file of its own (not a device such as /dev/full).
bool WriteOut(const char* path, const std::string& bytes) {
    FILE* out = fopen(path, "wb");
    if (out == nullptr) {
        Complain("cannot write %s: %s", path, strerror(errno));
        return false;
    }
    bool failed = fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size();
    int error = errno;
    if (fclose(out) != 0 && !failed) {
        failed = true;
        error = errno;
    }
    if (failed) {
        Complain("cannot write %s: %s", path, strerror(error));
        struct stat status;
        if (stat(path, &status) == 0 && S_ISREG(status.st_mode)) remove(path);
    }
    return !failed;
}

bool EndsWithMap(const std::string& path) {
    return path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".map") == 0;
}

// NAME.COD beside path, NAME being its file name up to the first dot, in
// capitals; empty when that leaves no name.
std::string DefaultOutput(const std::string& path) {
    std::string name = BaseName(path);
    name = name.substr(0, name.find('.'));
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    if (name.empty()) return std::string();
    return path.substr(0, path.size() - BaseName(path).size()) + name + ".COD";
}

// Whether output names the same file as input, under whatever spelling:
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
bool SameFile(const char* output, const char* input) {
    struct stat out, in;
    return input != nullptr && stat(output, &out) == 0 && stat(input, &in) == 0 &&
           out.st_dev == in.st_dev && out.st_ino == in.st_ino;
}
#endif

} // namespace

int main(int argc, char** argv) {
    std::vector<const char*> files;
    const char* linkerMap = nullptr;
    const char* outPath = nullptr;
    bool wrong = false, options = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            printf("%s%s", kUsage, kHelp);
            return 0;
        }
        bool map = strcmp(argv[i], "--map") == 0, out = strcmp(argv[i], "-o") == 0;
        if ((map || out) && i + 1 < argc) {
            const char*& value = map ? linkerMap : outPath;
            wrong |= value != nullptr;
            value = argv[++i];
            options = true;
            continue;
        }
        wrong |= argv[i][0] == '-'; // there are no other options
        files.push_back(argv[i]);
    }
    // The second form: FILE [LINKER_MAP] OUTPUT, without options.
    if (!options && (files.size() == 2 || files.size() == 3)) {
        outPath = files.back();
        if (files.size() == 3) linkerMap = files[1];
        files.resize(1);
    }
    if (wrong || files.size() != 1) {
        fprintf(stderr, "%skorval-codemap --help tells more.\n", kUsage);
        return 2;
    }
    const char* exePath = files.front();
    std::string Default;
    if (outPath == nullptr) {
        Default = DefaultOutput(exePath);
        if (Default.empty()) {
            Complain("%s gives no name for its code map: name one with -o", exePath);
            return 1;
        }
        outPath = Default.c_str();
    }
    for (const char* input : {exePath, linkerMap}) {
        if (SameFile(outPath, input)) {
            Complain("%s is %s itself: name another output", outPath, input);
            return 1;
        }
    }

    Image exe;
    if (!ReadExecutable(exePath, &exe)) return 1;
    std::vector<Piece> pieces;
    if (linkerMap != nullptr && !ReadLinkerMap(linkerMap, exePath, exe.codeSections, &pieces))
        return 1;
    std::string exeName = BaseName(exePath);

    std::vector<Line> lines;
    const Function* firstFar = nullptr;
    size_t numFar = 0;
    for (const Function& f : exe.functions) {
        if (f.addr > 0xFFFFFFFFu) {
            if (numFar++ == 0) firstFar = &f;
            continue;
        }
        std::string module = exeName;
        if (linkerMap != nullptr) {
            const Piece* p = PieceAt(pieces, f.addr);
            if (p == nullptr && f.untyped) continue;
            if (p == nullptr)
                fprintf(stderr, "korval-codemap: warning: no input file holds %s\n",
                        f.symbol.c_str());
            module = p ? p->module : std::string();
        }
        std::string name = RoutineName(f.symbol).substr(0, kLongestName);
        // KORVAL takes a line with a backslash for a library's and skips it;
        // a line end would cut the line.
        if ((name + module).find_first_of("\\\r\n") != std::string::npos) continue;
        lines.push_back(Line{f.addr, name, module, FullName(f.symbol)});
    }
    if (numFar != 0) {
        fprintf(stderr,
                "korval-codemap: %s of %s is at 0x%" PRIX64
                ", beyond the 32-bit addresses of a code map",
                firstFar->symbol.c_str(), exePath, firstFar->addr);
        if (numFar > 1) fprintf(stderr, " (as are %zu other functions)", numFar - 1);
        fprintf(stderr, "\nkorval-codemap: %s\n", exe.farAdvice);
        return 1;
    }
    if (lines.empty()) {
        Complain(exe.exportsOnly ? "%s has no symbol table and exports no functions"
                                 : "%s has no functions in its symbol table",
                 exePath);
        return 1;
    }
    if (exe.exportsOnly)
        fprintf(stderr, "korval-codemap: %s has no symbol table: its exported functions only\n",
                exePath);
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    // The last record of a table only closes the one before it. Exported
    // functions are few (a plugin may export one), so their table gets a
    // record of its own to close it: the end of the code.
    if (exe.exportsOnly && exe.codeEnd > lines.back().addr && exe.codeEnd <= 0xFFFFFFFFu)
        lines.push_back(Line{exe.codeEnd, "EndOfCode", exeName, "(end of code)"});
    std::string text = MapText(exeName, exe, linkerMap != nullptr, lines);
    if (EndsWithMap(outPath)) return WriteOut(outPath, text) ? 0 : 1;
    std::string cod;
    if (!CodeMap(text, lines, exe, exe.objectName.empty() ? exeName : exe.objectName, &cod))
        return 1;
    return WriteOut(outPath, cod) ? 0 : 1;
}
