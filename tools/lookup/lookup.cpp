// lookup.cpp - korval-lookup: names the addresses of a fault report with
// code maps, away from the program, as addr2line does with debug
// information.
//
//     korval-lookup CODEMAP... [ADDRESS...]
//
// With addresses (link-time, 0x00401A2C, or object+0xOFF) it prints one
// routine(module)+0xOFF per address, ?? for one no code map holds. Without,
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
    uint32_t addr;
    std::string routine, module, fullName;
};

struct CodeMap {
    std::string path;
    std::vector<Record> records;
    std::string object; // the extension's object name; empty without one
    std::string stem;   // the file name up to its first dot, in capitals
    uint64_t linkBase = 0;
};

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return text;
}

// A file name up to its first dot, without its directories, in capitals.
std::string Stem(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return Upper(name.substr(0, name.find('.')));
}

uint32_t Get32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; i--)
        value = value << 8 | (unsigned char)bytes[at + i];
    return value;
}

// The text of a name field: up to its first zero byte.
std::string Field(const std::string& bytes, size_t at, size_t size) {
    return std::string(bytes.data() + at, strnlen(bytes.data() + at, size));
}

// Reads the extension at e into map, if every field checks; false, leaving
// map as it was, otherwise.
bool ReadExtension(const std::string& bytes, size_t e, CodeMap* map) {
    size_t count = map->records.size();
    size_t left = bytes.size() - e;
    if (left < 32 || bytes.compare(e, 8, korval::kExtensionMagic, 8) != 0 ||
        Get32(bytes, e + 8) != left || Get32(bytes, e + 12) != count)
        return false;
    uint64_t linkBase = Get32(bytes, e + 16) | (uint64_t)Get32(bytes, e + 20) << 32;
    uint32_t identityLength = Get32(bytes, e + 28);
    if (identityLength > korval::kMostIdentity) return false;
    size_t at = e + 32 + (identityLength + 3) / 4 * 4;
    if (at + 4 > bytes.size()) return false;
    uint32_t nameLength = Get32(bytes, at);
    if (nameLength > korval::kMostObjectName || at + 4 + nameLength > bytes.size()) return false;
    std::string object = bytes.substr(at + 4, nameLength);
    at += 4 + (nameLength + 3) / 4 * 4;
    if (count > (bytes.size() - std::min(at, bytes.size())) / 4 ||
        at + 4 * count + 4 > bytes.size())
        return false;
    size_t offsets = at;
    at += 4 * count;
    uint32_t poolSize = Get32(bytes, at);
    if (poolSize != bytes.size() - at - 4) return false;
    const std::string pool = bytes.substr(at + 4);
    std::vector<std::string> names;
    for (size_t i = 0; i < count; i++) {
        uint32_t offset = Get32(bytes, offsets + 4 * i);
        size_t end = offset < pool.size() ? pool.find('\0', offset) : std::string::npos;
        if (end == std::string::npos) return false;
        names.push_back(pool.substr(offset, end - offset));
    }
    for (size_t i = 0; i < count; i++)
        map->records[i].fullName = names[i];
    map->object = object;
    map->linkBase = linkBase;
    return true;
}

// Loads the code map at path; false after saying why it cannot.
bool Load(const char* path, CodeMap* map) {
    FILE* in = fopen(path, "rb");
    std::string bytes;
    if (in != nullptr) {
        char buffer[1 << 16];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, in)) > 0)
            bytes.append(buffer, got);
    }
    if (in == nullptr || ferror(in)) {
        fprintf(stderr, "korval-lookup: cannot read %s: %s\n", path, strerror(errno));
        if (in != nullptr) fclose(in);
        return false;
    }
    fclose(in);
    uint32_t count = bytes.size() >= 4 ? Get32(bytes, 0) : 0;
    if (bytes.size() < 4 || (bytes.size() - 4) / 52 < count) {
        fprintf(stderr, "korval-lookup: %s is not a code map: its table is cut short\n", path);
        return false;
    }
    map->path = path;
    map->stem = Stem(path);
    for (uint32_t i = 0; i < count; i++) {
        size_t at = 4 + 52 * (size_t)i;
        map->records.push_back(
            Record{Get32(bytes, at), Field(bytes, at + 4, 32), Field(bytes, at + 36, 16), ""});
    }
    size_t e = 4 + 52 * (size_t)count;
    if (e < bytes.size() && !ReadExtension(bytes, e, map))
        fprintf(stderr,
                "korval-lookup: warning: %s has damaged full names after its table: "
                "short names only\n",
                path);
    return true;
}

// The record whose range holds the link-time address addr: the last one
// starting at or below it, never the table's last; nullptr when none does.
const Record* Find(const CodeMap& map, uint64_t addr) {
    const std::vector<Record>& r = map.records;
    size_t i = 0;
    while (i < r.size() && r[i].addr <= addr)
        i++;
    return i > 0 && i < r.size() ? &r[i - 1] : nullptr;
}

// "routine(module)+0xOFF" for addr in rec; the offset from shown, which is
// addr but for a return address.
std::string Where(const Record& rec, uint64_t shown) {
    char offset[24];
    snprintf(offset, sizeof offset, ")+0x%" PRIX64, shown - rec.addr);
    return (rec.fullName.empty() ? rec.routine : rec.fullName) + "(" + rec.module + offset;
}

// Whether the code map serves the object named object: its own, by name
// (exact), or one named alike up to the first dot (libshapes.so.1 for the
// map of libshapes.so.1.2, APP.COD for app).
bool Serves(const CodeMap& map, const std::string& object, bool exact) {
    if (exact) return !map.object.empty() && map.object == object;
    return Stem(object) == (map.object.empty() ? map.stem : Stem(map.object));
}

// Names object+0xOFF (object empty: the link-time address off, in any code
// map), looked up
// back bytes before it; empty when no code map holds it.
std::string Name(const std::vector<CodeMap>& maps, const std::string& object, uint64_t off,
                 uint64_t back) {
    for (bool exact : {true, false}) {
        for (const CodeMap& map : maps) {
            if (!object.empty() && !Serves(map, object, exact)) continue;
            uint64_t addr = object.empty() ? off : map.linkBase + off;
            if (addr < back || addr - back > 0xFFFFFFFFu) continue;
            if (const Record* rec = Find(map, addr - back)) return Where(*rec, addr);
        }
        if (object.empty()) break;
    }
    return std::string();
}

// Reads "0xHEX" (1 to 16 digits) or "object+0xHEX" from text.
bool ParseAddress(const std::string& text, std::string* object, uint64_t* off) {
    static const std::regex kForm("(?:(.+)\\+)?0[xX]([0-9A-Fa-f]{1,16})");
    std::smatch m;
    if (!std::regex_match(text, m, kForm)) return false;
    *object = m[1];
    *off = strtoull(m[2].str().c_str(), nullptr, 16);
    return true;
}

// Copies standard input to standard output, each frame it can name named.
void Decode(const std::vector<CodeMap>& maps) {
    static const std::regex kFault("( at )([^ ()]+)\\+0x([0-9A-F]+)\\.(\r?)$");
    static const std::regex kCaller("^(\\s*called from )([^ ()]+)\\+0x([0-9A-F]+)(\r?)$");
    char buffer[4096];
    std::string line;
    while (fgets(buffer, sizeof buffer, stdin) != nullptr) {
        line += buffer;
        if (line.back() != '\n' && !feof(stdin)) continue;
        bool ended = line.back() == '\n';
        if (ended) line.pop_back();
        std::smatch m;
        std::string named;
        if (std::regex_search(line, m, kCaller)) {
            uint64_t off = strtoull(m[3].str().c_str(), nullptr, 16);
            named = Name(maps, m[2], off, 1);
            if (!named.empty()) line = m.str(1) + named + m.str(4);
        } else if (line.find("EXCEPTION : ") != std::string::npos &&
                   std::regex_search(line, m, kFault)) {
            uint64_t off = strtoull(m[3].str().c_str(), nullptr, 16);
            named = Name(maps, m[2], off, 0);
            if (!named.empty()) line = m.prefix().str() + m.str(1) + named + "." + m.str(4);
        }
        fputs(line.c_str(), stdout);
        if (ended) fputc('\n', stdout);
        line.clear();
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<CodeMap> maps;
    std::vector<const char*> addresses;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            printf("%s%s", kUsage, kHelp);
            return 0;
        }
    }
    for (int i = 1; i < argc; i++) {
        std::string object;
        uint64_t off;
        if (ParseAddress(argv[i], &object, &off)) {
            addresses.push_back(argv[i]);
        } else if (argv[i][0] == '-' || !addresses.empty()) {
            fprintf(stderr, "%skorval-lookup --help tells more.\n", kUsage);
            return 2;
        } else {
            maps.emplace_back();
            if (!Load(argv[i], &maps.back())) return 1;
        }
    }
    if (maps.empty()) {
        fprintf(stderr, "%skorval-lookup --help tells more.\n", kUsage);
        return 2;
    }
    if (addresses.empty()) {
        Decode(maps);
    } else {
        for (const char* address : addresses) {
            std::string object;
            uint64_t off = 0;
            ParseAddress(address, &object, &off);
            std::string named = Name(maps, object, off, 0);
            printf("%s\n", named.empty() ? "??" : named.c_str());
        }
    }
    fflush(stdout);
    if (ferror(stdout)) {
        fprintf(stderr, "korval-lookup: cannot write the output: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}
