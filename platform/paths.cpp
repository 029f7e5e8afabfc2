// paths.cpp - the runtime's path arithmetic as pure functions.
//
// _fullpath and _splitpath depend on nothing but their arguments and the
// current directory, so they are computed here from an explicit current
// directory, for either name form. The POSIX runtime calls these with the
// POSIX form; the tests call them with both.

#include "platform.h"

#include <errno.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

bool IsSep(char c) {
    return c == '/' || c == '\\';
}

bool IsDriveSpec(const char* p) {
    return ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':';
}

// Splits text into its components, dropping empty ones and ".", and applying
// ".." to what came before. A ".." with nothing before it is counted in
// *above instead.
void AddComponents(std::vector<std::string>& parts, const char* text, int* above) {
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
            if (parts.empty())
                (*above)++;
            else
                parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
}

// Writes root followed by the components joined with sep into out.
char* Join(char* out, size_t size, const std::string& root, const std::vector<std::string>& parts,
           char sep) {
    std::string result = root;
    for (size_t i = 0; i < parts.size(); i++) {
        if (i > 0) result += sep;
        result += parts[i];
    }
    if (result.size() + 1 > size) {
        errno = ERANGE;
        return nullptr;
    }
    memcpy(out, result.c_str(), result.size() + 1);
    return out;
}

char* FullPosix(char* out, size_t size, const char* name, const char* cwd) {
    std::vector<std::string> parts;
    int above = 0;
    if (!IsSep(name[0])) AddComponents(parts, cwd, &above);
    AddComponents(parts, name, &above);
    return Join(out, size, "/", parts, '/');
}

// A Windows root is "X:\" or "\\server\share\"; what follows it is components.
char* FullWindows(char* out, size_t size, const char* name, const char* cwd) {
    std::vector<std::string> parts;
    std::string root;
    int above = 0;
    const char* rest = name;

    if (IsSep(name[0]) && IsSep(name[1])) {
        // Network name: server and share form the root and cannot be left.
        std::vector<std::string> unc;
        int uncAbove = 0;
        AddComponents(unc, name + 2, &uncAbove);
        if (unc.size() < 2 || uncAbove > 0) {
            errno = ENOENT;
            return nullptr;
        }
        root = "\\\\" + unc[0] + "\\" + unc[1] + "\\";
        parts.assign(unc.begin() + 2, unc.end());
        rest = "";
        if (parts.empty()) root.pop_back();
    } else if (IsDriveSpec(name)) {
        root = std::string(name, 2) + "\\";
        rest = name + 2;
        bool sameDrive = IsDriveSpec(cwd) && ((cwd[0] | 0x20) == (name[0] | 0x20));
        if (!IsSep(*rest) && sameDrive) AddComponents(parts, cwd + 2, &above);
    } else {
        if (!IsDriveSpec(cwd)) {
            errno = ENOENT;
            return nullptr;
        }
        root = std::string(cwd, 2) + "\\";
        if (!IsSep(name[0])) AddComponents(parts, cwd + 2, &above);
    }
    AddComponents(parts, rest, &above);
    if (above > 0) {
        errno = ENOENT;
        return nullptr;
    }
    return Join(out, size, root, parts, '\\');
}

} // namespace

char* PathFull(char* out, size_t size, const char* name, const char* cwd, enum PathForm form) {
    return form == PATH_WINDOWS ? FullWindows(out, size, name, cwd)
                                : FullPosix(out, size, name, cwd);
}

void PathSplit(const char* path, char* drive, char* dir, char* fname, char* ext,
               enum PathForm form) {
    const char* p = path;
    drive[0] = '\0';
    if (form == PATH_WINDOWS && p[0] && p[1] == ':') {
        memcpy(drive, p, 2);
        drive[2] = '\0';
        p += 2;
    }

    const char* lastSep = nullptr;
    const char* lastDot = nullptr;
    for (const char* q = p; *q; q++) {
        if (IsSep(*q)) {
            lastSep = q;
            lastDot = nullptr;
        } else if (*q == '.') {
            lastDot = q;
        }
    }

    const char* base = lastSep ? lastSep + 1 : p;
    size_t dirLen = (size_t)(base - p);
    memcpy(dir, p, dirLen);
    dir[dirLen] = '\0';

    const char* end = base + strlen(base);
    const char* extStart = lastDot ? lastDot : end;
    memcpy(fname, base, (size_t)(extStart - base));
    fname[extStart - base] = '\0';
    memcpy(ext, extStart, (size_t)(end - extStart) + 1);
}
