// lookup.cpp - korval-lookup: names the addresses of a fault report with
// code maps, away from the program, as addr2line does with debug
// information.
//
//     korval-lookup CODEMAP... [ADDRESS...]
//
// With addresses (link-time, 0x00401A2C, or object+0xOFF) it prints one
// Routine(Module)+0xOFF per address, ?? for one no code map holds. Without,
// it copies a report from standard input to standard output with each
// frame it can name named: the place of an "EXCEPTION : ... at
// object+0xOFF." line and each "  called from object+0xOFF" line; the rest
// stays as it was. Reports name a frame so when it lies outside every code
// map the program loaded, for example in a stripped program shipped
// without its code map.
//
// object+0xOFF lies at link base + OFF in the code map of that object: the
// one whose extension (extension.h) names it; else one of an object named
// alike up to the first dot (the map of libshapes.so.1.2 for
// libshapes.so.1), or a code map without extension named after it (APP.COD
// for app, link base 0). A chain line
// holds a return address, which is looked up one byte back, in its call.
// The routine of an address is the record it lies in: the last one that
// starts at or below it, never the last record of the table, which only
// closes it. With the extension, the routine's full name is shown.
//
// Exit status: 0 done, 1 when a code map cannot be read, 2 for a wrong
// command line.

#include "extension.h"

#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <regex>
#include <string>
#include <vector>

namespace {

const char kUsage[] = "usage: korval-lookup CODEMAP... [ADDRESS...]\n";

const char kHelp[] = "\n"
                     "Names addresses of a fault report with code maps (.COD, as korval-codemap\n"
                     "makes them), away from the program.\n"
                     "\n"
                     "With addresses, prints Routine(Module)+0xOFF for each, one a line, or ??\n"
                     "for an address no code map holds. An address is a link-time address,\n"
                     "0x00401A2C, or object+0xOFF: OFF bytes into the object file named so, as\n"
                     "reports show frames outside the program's code maps (app+0x1A2B,\n"
                     "libshapes.so.1+0x1139).\n"
                     "\n"
                     "Without addresses, reads a report on standard input and writes it to\n"
                     "standard output with every object+0xOFF place it can name named, in the\n"
                     "EXCEPTION line and in the \"called from\" lines; the rest as it was:\n"
                     "\n"
                     "    korval-lookup APP.COD LIBSHAPES.COD < report.txt\n"
                     "\n"
                     "The code map of object is the one korval-codemap made of that file, whose\n"
                     "extension names it; a code map without one serves the object named after\n"
                     "it (APP.COD: app, app.exe), its addresses counted from 0. The code map\n"
                     "must come from the same build as the program, or the names are wrong.\n"
                     "\n"
                     "Exit status: 0 done, 1 when a code map cannot be read (said on standard\n"
                     "error), 2 wrong command line.\n";

struct Record {
    uint32_t Addr;
    std::string Routine, Module, FullName;
};

struct CodeMap {
    std::string Path;
    std::vector<Record> Records;
    std::string Object; // the extension's object name; empty without one
    std::string Stem;   // the file name up to its first dot, in capitals
    uint64_t LinkBase = 0;
};

std::string Upper(std::string Text) {
    for (char& c : Text)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return Text;
}

// A file name up to its first dot, without its directories, in capitals.
std::string Stem(const std::string& Path) {
    size_t Slash = Path.find_last_of("/\\");
    std::string Name = Slash == std::string::npos ? Path : Path.substr(Slash + 1);
    return Upper(Name.substr(0, Name.find('.')));
}

uint32_t Get32(const std::string& Bytes, size_t At) {
    uint32_t Value = 0;
    for (int i = 3; i >= 0; i--)
        Value = Value << 8 | (unsigned char)Bytes[At + i];
    return Value;
}

// The text of a name field: up to its first zero byte.
std::string Field(const std::string& Bytes, size_t At, size_t Size) {
    return std::string(Bytes.data() + At, strnlen(Bytes.data() + At, Size));
}

// Reads the extension at E into Map, if every field checks; false, leaving
// Map as it was, otherwise.
bool ReadExtension(const std::string& Bytes, size_t E, CodeMap* Map) {
    size_t Count = Map->Records.size();
    size_t Left = Bytes.size() - E;
    if (Left < 32 || Bytes.compare(E, 8, korval::kExtensionMagic, 8) != 0 ||
        Get32(Bytes, E + 8) != Left || Get32(Bytes, E + 12) != Count)
        return false;
    uint64_t LinkBase = Get32(Bytes, E + 16) | (uint64_t)Get32(Bytes, E + 20) << 32;
    uint32_t IdentityLength = Get32(Bytes, E + 28);
    if (IdentityLength > korval::kMostIdentity) return false;
    size_t At = E + 32 + (IdentityLength + 3) / 4 * 4;
    if (At + 4 > Bytes.size()) return false;
    uint32_t NameLength = Get32(Bytes, At);
    if (NameLength > korval::kMostObjectName || At + 4 + NameLength > Bytes.size()) return false;
    std::string Object = Bytes.substr(At + 4, NameLength);
    At += 4 + (NameLength + 3) / 4 * 4;
    if (Count > (Bytes.size() - std::min(At, Bytes.size())) / 4 ||
        At + 4 * Count + 4 > Bytes.size())
        return false;
    size_t Offsets = At;
    At += 4 * Count;
    uint32_t PoolSize = Get32(Bytes, At);
    if (PoolSize != Bytes.size() - At - 4) return false;
    const std::string Pool = Bytes.substr(At + 4);
    std::vector<std::string> Names;
    for (size_t i = 0; i < Count; i++) {
        uint32_t Offset = Get32(Bytes, Offsets + 4 * i);
        size_t End = Offset < Pool.size() ? Pool.find('\0', Offset) : std::string::npos;
        if (End == std::string::npos) return false;
        Names.push_back(Pool.substr(Offset, End - Offset));
    }
    for (size_t i = 0; i < Count; i++)
        Map->Records[i].FullName = Names[i];
    Map->Object = Object;
    Map->LinkBase = LinkBase;
    return true;
}

// Loads the code map at Path; false after saying why it cannot.
bool Load(const char* Path, CodeMap* Map) {
    FILE* In = fopen(Path, "rb");
    std::string Bytes;
    if (In != nullptr) {
        char Buffer[1 << 16];
        size_t Got;
        while ((Got = fread(Buffer, 1, sizeof Buffer, In)) > 0)
            Bytes.append(Buffer, Got);
    }
    if (In == nullptr || ferror(In)) {
        fprintf(stderr, "korval-lookup: cannot read %s: %s\n", Path, strerror(errno));
        if (In != nullptr) fclose(In);
        return false;
    }
    fclose(In);
    uint32_t Count = Bytes.size() >= 4 ? Get32(Bytes, 0) : 0;
    if (Bytes.size() < 4 || (Bytes.size() - 4) / 52 < Count) {
        fprintf(stderr, "korval-lookup: %s is not a code map: its table is cut short\n", Path);
        return false;
    }
    Map->Path = Path;
    Map->Stem = Stem(Path);
    for (uint32_t i = 0; i < Count; i++) {
        size_t At = 4 + 52 * (size_t)i;
        Map->Records.push_back(
            Record{Get32(Bytes, At), Field(Bytes, At + 4, 32), Field(Bytes, At + 36, 16), ""});
    }
    size_t E = 4 + 52 * (size_t)Count;
    if (E < Bytes.size() && !ReadExtension(Bytes, E, Map))
        fprintf(stderr,
                "korval-lookup: warning: %s has damaged full names after its table: "
                "short names only\n",
                Path);
    return true;
}

// The record whose range holds the link-time address Addr: the last one
// starting at or below it, never the table's last; nullptr when none does.
const Record* Find(const CodeMap& Map, uint64_t Addr) {
    const std::vector<Record>& r = Map.Records;
    size_t i = 0;
    while (i < r.size() && r[i].Addr <= Addr)
        i++;
    return i > 0 && i < r.size() ? &r[i - 1] : nullptr;
}

// "Routine(Module)+0xOFF" for Addr in Rec; the offset from Shown, which is
// Addr but for a return address.
std::string Where(const Record& Rec, uint64_t Shown) {
    char Offset[24];
    snprintf(Offset, sizeof Offset, ")+0x%" PRIX64, Shown - Rec.Addr);
    return (Rec.FullName.empty() ? Rec.Routine : Rec.FullName) + "(" + Rec.Module + Offset;
}

// Whether the code map serves the object named Object: its own, by name
// (Exact), or one named alike up to the first dot (libshapes.so.1 for the
// map of libshapes.so.1.2, APP.COD for app).
bool Serves(const CodeMap& Map, const std::string& Object, bool Exact) {
    if (Exact) return !Map.Object.empty() && Map.Object == Object;
    return Stem(Object) == (Map.Object.empty() ? Map.Stem : Stem(Map.Object));
}

// Names object+0xOFF (Object empty: the link-time address Off, in any code
// map), looked up
// Back bytes before it; empty when no code map holds it.
std::string Name(const std::vector<CodeMap>& Maps, const std::string& Object, uint64_t Off,
                 uint64_t Back) {
    for (bool Exact : {true, false}) {
        for (const CodeMap& Map : Maps) {
            if (!Object.empty() && !Serves(Map, Object, Exact)) continue;
            uint64_t Addr = Object.empty() ? Off : Map.LinkBase + Off;
            if (Addr < Back || Addr - Back > 0xFFFFFFFFu) continue;
            if (const Record* Rec = Find(Map, Addr - Back)) return Where(*Rec, Addr);
        }
        if (Object.empty()) break;
    }
    return std::string();
}

// Reads "0xHEX" (1 to 16 digits) or "object+0xHEX" from Text.
bool ParseAddress(const std::string& Text, std::string* Object, uint64_t* Off) {
    static const std::regex Form("(?:(.+)\\+)?0[xX]([0-9A-Fa-f]{1,16})");
    std::smatch m;
    if (!std::regex_match(Text, m, Form)) return false;
    *Object = m[1];
    *Off = strtoull(m[2].str().c_str(), nullptr, 16);
    return true;
}

// Copies standard input to standard output, each frame it can name named.
void Decode(const std::vector<CodeMap>& Maps) {
    static const std::regex Fault("( at )([^ ()]+)\\+0x([0-9A-F]+)\\.(\r?)$");
    static const std::regex Caller("^(\\s*called from )([^ ()]+)\\+0x([0-9A-F]+)(\r?)$");
    char Buffer[4096];
    std::string Line;
    while (fgets(Buffer, sizeof Buffer, stdin) != nullptr) {
        Line += Buffer;
        if (Line.back() != '\n' && !feof(stdin)) continue;
        bool Ended = Line.back() == '\n';
        if (Ended) Line.pop_back();
        std::smatch m;
        std::string Named;
        if (std::regex_search(Line, m, Caller)) {
            uint64_t Off = strtoull(m[3].str().c_str(), nullptr, 16);
            Named = Name(Maps, m[2], Off, 1);
            if (!Named.empty()) Line = m.str(1) + Named + m.str(4);
        } else if (Line.find("EXCEPTION : ") != std::string::npos &&
                   std::regex_search(Line, m, Fault)) {
            uint64_t Off = strtoull(m[3].str().c_str(), nullptr, 16);
            Named = Name(Maps, m[2], Off, 0);
            if (!Named.empty()) Line = m.prefix().str() + m.str(1) + Named + "." + m.str(4);
        }
        fputs(Line.c_str(), stdout);
        if (Ended) fputc('\n', stdout);
        Line.clear();
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<CodeMap> Maps;
    std::vector<const char*> Addresses;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            printf("%s%s", kUsage, kHelp);
            return 0;
        }
    }
    for (int i = 1; i < argc; i++) {
        std::string Object;
        uint64_t Off;
        if (ParseAddress(argv[i], &Object, &Off)) {
            Addresses.push_back(argv[i]);
        } else if (argv[i][0] == '-' || !Addresses.empty()) {
            fprintf(stderr, "%skorval-lookup --help tells more.\n", kUsage);
            return 2;
        } else {
            Maps.emplace_back();
            if (!Load(argv[i], &Maps.back())) return 1;
        }
    }
    if (Maps.empty()) {
        fprintf(stderr, "%skorval-lookup --help tells more.\n", kUsage);
        return 2;
    }
    if (Addresses.empty()) {
        Decode(Maps);
    } else {
        for (const char* Address : Addresses) {
            std::string Object;
            uint64_t Off = 0;
            ParseAddress(Address, &Object, &Off);
            std::string Named = Name(Maps, Object, Off, 0);
            printf("%s\n", Named.empty() ? "??" : Named.c_str());
        }
    }
    fflush(stdout);
    if (ferror(stdout)) {
        fprintf(stderr, "korval-lookup: cannot write the output: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}
