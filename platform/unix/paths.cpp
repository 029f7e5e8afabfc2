// unix/paths.cpp - the runtime's _strupr, _fullpath and _splitpath on POSIX.
//
// Names take the POSIX form: "/" roots a name, results use "/", there are no
// drives. The arithmetic itself lives in paths.cpp.

#include "platform.h"

#include <errno.h>
#include <unistd.h>

#include <string>

char* _strupr(char* text) {
    for (char* p = text; *p; p++)
        if (*p >= 'a' && *p <= 'z') *p = (char)(*p - 'a' + 'A');
    return text;
}

char* _fullpath(char* out, const char* name, size_t size) {
    if (name[0] == '/' || name[0] == '\\') return PathFull(out, size, name, "/", PATH_POSIX);
    std::string cwd(4096, '\0');
    while (getcwd(&cwd[0], cwd.size()) == nullptr) {
        if (errno != ERANGE) return nullptr;
        cwd.resize(cwd.size() * 2);
    }
    return PathFull(out, size, name, cwd.c_str(), PATH_POSIX);
}

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    PathSplit(path, drive, dir, fname, ext, PATH_POSIX);
}
