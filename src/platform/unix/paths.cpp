// unix/paths.cpp - the runtime's _strupr, _fullpath and _splitpath on POSIX.
//
// Names take the POSIX form: "/" roots a name, "/" and "\" both separate,
// results use "/", there are no drives. _fullpath depends on nothing but its
// arguments and the current directory, so its arithmetic is PathFull, a pure
// function of an explicit current directory that the tests call directly.

#include "platform.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace korval {

namespace {

bool IsSep(char c) {
    return c == '/' || c == '\\';
}

// Splits text into its components, dropping empty ones and ".", and applying
// ".." to what came before; a ".." with nothing before it stays at the root.
void AddComponents(std::vector<std::string>& parts, const char* text) {
    const char* p = text;
    while (*p) {
        while (IsSep(*p))
            p++;
        const char* start = p;
        while (*p && !IsSep(*p))
            p++;
        std::string part(start, p);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
}

} // namespace

char* PathFull(char* out, size_t size, const char* name, const char* cwd) {
    std::vector<std::string> parts;
    if (!IsSep(name[0])) AddComponents(parts, cwd);
    AddComponents(parts, name);
    std::string result = "/";
    for (size_t i = 0; i < parts.size(); i++) {
        if (i > 0) result += '/';
        result += parts[i];
    }
    if (result.size() + 1 > size) {
        errno = ERANGE;
        return nullptr;
    }
    memcpy(out, result.c_str(), result.size() + 1);
    return out;
}

char* _strupr(char* text) {
    for (char* p = text; *p; p++)
        if (*p >= 'a' && *p <= 'z') *p = (char)(*p - 'a' + 'A');
    return text;
}

char* _fullpath(char* out, const char* name, size_t size) {
    if (IsSep(name[0])) return PathFull(out, size, name, "/");
    std::string cwd(4096, '\0');
    while (getcwd(&cwd[0], cwd.size()) == nullptr) {
        if (errno != ERANGE) return nullptr;
        cwd.resize(cwd.size() * 2);
    }
    return PathFull(out, size, name, cwd.c_str());
}

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    drive[0] = '\0';
    const char* lastSep = nullptr;
    const char* lastDot = nullptr;
    for (const char* q = path; *q; q++) {
        if (IsSep(*q)) {
            lastSep = q;
            lastDot = nullptr;
        } else if (*q == '.') {
            lastDot = q;
        }
    }

    const char* base = lastSep ? lastSep + 1 : path;
    size_t dirLen = (size_t)(base - path);
    memcpy(dir, path, dirLen);
    dir[dirLen] = '\0';

    const char* end = base + strlen(base);
    const char* extStart = lastDot ? lastDot : end;
    memcpy(fname, base, (size_t)(extStart - base));
    fname[extStart - base] = '\0';
    memcpy(ext, extStart, (size_t)(end - extStart) + 1);
}

} // namespace korval
