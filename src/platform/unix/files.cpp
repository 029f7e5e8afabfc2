// unix/files.cpp - Win32 file services on POSIX: CreateFileA, GetFileSize,
// GetFileType, CreateFileMappingA, MapViewOfFile, ReadFile, WriteFile,
// CloseHandle.
//
// A HANDLE is a pointer to an Object of this file. Two things of Win32 are
// kept that POSIX does not give by itself:
//  - names are looked up case-insensitively, since the tool upper-cases them;
//  - share modes hold between the handles of this process: every open file,
//    mapping and view holds a use of the file's identity (device and inode),
//    and an open that conflicts with a held use fails before anything is
//    truncated. A view is never unmapped, so its use lasts with the process.

#include "platform.h"
#include "checked.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace korval {

namespace {

// Initial-exec: WriteFile on a standard handle may run in a signal handler.
thread_local DWORD LastError __attribute__((tls_model("initial-exec"))) = NO_ERROR;

// One holder of a file: its identity, what it does with it, what it allows.
struct FileUse {
    dev_t dev;
    ino_t ino;
    DWORD access;
    DWORD share;
};

struct Object {
    enum Kind { File, Mapping } kind;
    int fd;
    uint64_t size;  // mappings: the size of the file when mapped
    unsigned useId; // this handle's entry in Uses()
};

std::map<unsigned, FileUse>& Uses() {
    static std::map<unsigned, FileUse> Uses;
    return Uses;
}

std::set<Object*>& Live() {
    static std::set<Object*> Live;
    return Live;
}

unsigned AddUse(const FileUse& use) {
    static unsigned LastId = 0;
    Uses()[++LastId] = use;
    return LastId;
}

unsigned AddUse(const struct stat& st, DWORD access, DWORD share) {
    return AddUse(FileUse{st.st_dev, st.st_ino, access, share});
}

// Whether a new open with access and share can coexist with a held use.
bool Compatible(const FileUse& held, DWORD access, DWORD share) {
    if ((held.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return false;
    if ((held.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return false;
    if ((access & GENERIC_WRITE) && !(held.share & FILE_SHARE_WRITE)) return false;
    if ((access & GENERIC_READ) && !(held.share & FILE_SHARE_READ)) return false;
    return true;
}

bool SharingAllows(const struct stat& st, DWORD access, DWORD share) {
    for (const auto& held : Uses()) {
        const FileUse& use = held.second;
        if (use.dev == st.st_dev && use.ino == st.st_ino && !Compatible(use, access, share))
            return false;
    }
    return true;
}

DWORD ErrorFromErrno(int err) {
    switch (err) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EIO:
        return ERROR_WRITE_FAULT;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EPIPE: // a pipe without a reader, where SIGPIPE is ignored
        return ERROR_NO_DATA;
    case EFBIG: // past the file size limit, where SIGXFSZ is ignored
        return ERROR_FILE_TOO_LARGE;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

BOOL Fail(DWORD error) {
    LastError = error;
    return FALSE;
}

// A failed open after the descriptor was had: closes it, keeping error.
HANDLE FailClosing(int fd, DWORD error) {
    close(fd);
    Fail(error);
    return INVALID_HANDLE_VALUE;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

// The entry of dir whose name equals name ignoring ASCII case; the first in
// byte order when several do. Empty when none does.
std::string FindFolded(const std::string& dir, const std::string& name) {
    std::string found;
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return found;
    while (struct dirent* entry = readdir(d)) {
        if (strcasecmp(entry->d_name, name.c_str()) == 0 &&
            (found.empty() || found.compare(entry->d_name) > 0))
            found = entry->d_name;
    }
    closedir(d);
    return found;
}

// Turns a Win32 name into the path of an existing file: the exact spelling
// first, then component by component ignoring case. With create, the last
// component may name a file that does not exist yet; it keeps its spelling.
bool Resolve(const char* name, bool create, std::string* out) {
    std::string path(name);
    for (char& c : path)
        if (c == '\\') c = '/';
    if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);

    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        *out = path;
        return TRUE;
    }

    std::vector<std::string> parts;
    size_t start = path[0] == '/' ? 1 : 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }

    std::string current = path[0] == '/' ? "/" : "";
    for (size_t i = 0; i < parts.size(); i++) {
        const std::string& part = parts[i];
        bool last = i + 1 == parts.size();
        std::string exact = JoinPath(current, part);
        if (part.empty() || part == "." || part == ".." || lstat(exact.c_str(), &st) == 0) {
            current = exact;
            continue;
        }
        std::string folded = FindFolded(current, part);
        if (!folded.empty()) {
            current = JoinPath(current, folded);
        } else if (last && create) {
            current = exact;
        } else {
            return Fail(last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        }
    }
    *out = current;
    return TRUE;
}

Object* NewObject(Object::Kind kind, int fd, uint64_t size, unsigned useId) {
    Object* object = new Object{kind, fd, size, useId};
    Live().insert(object);
    return object;
}

// The standard handles: not Objects, and in no table, so that a signal
// handler may write to them.
const int kStdFds = 3;
char StdHandles[kStdFds];

int StdFd(HANDLE handle) {
    char* p = static_cast<char*>(handle);
    return p >= StdHandles && p < StdHandles + kStdFds ? (int)(p - StdHandles) : -1;
}

// Writes all of count bytes to fd; the number written, and errno when short.
size_t WriteAll(int fd, const char* bytes, size_t count) {
    size_t total = 0;
    while (total < count) {
        ssize_t put = write(fd, bytes + total, count - total);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        total += (size_t)put;
    }
    return total;
}

Object* Find(HANDLE handle, Object::Kind kind) {
    Object* object = static_cast<Object*>(handle);
    if (Live().count(object) == 0 || object->kind != kind) return nullptr;
    return object;
}

// What the system says of an open file, by its handle; false with the last
// error set when the handle is not an open file or the system cannot tell.
bool StatOf(HANDLE handle, struct stat* st) {
    Object* file = Find(handle, Object::File);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    if (fstat(file->fd, st) != 0) return Fail(ErrorFromErrno(errno));
    return true;
}

} // namespace

DWORD GetLastError(void) {
    return LastError;
}

void SetLastError(DWORD dwErrCode) {
    LastError = dwErrCode;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void* lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;
    if (FaultInjected(FAULT_CREATEFILE)) return INVALID_HANDLE_VALUE;
    bool create = dwCreationDisposition == CREATE_ALWAYS;
    if ((!create && dwCreationDisposition != OPEN_EXISTING) ||
        !(dwDesiredAccess & (GENERIC_READ | GENERIC_WRITE))) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    std::string path;
    if (!Resolve(lpFileName, create, &path)) return INVALID_HANDLE_VALUE;

    int flags = O_CLOEXEC | O_NONBLOCK; // a FIFO must not block the open
    if ((dwDesiredAccess & GENERIC_READ) && (dwDesiredAccess & GENERIC_WRITE))
        flags |= O_RDWR;
    else if (dwDesiredAccess & GENERIC_WRITE)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if (create) flags |= O_CREAT;

    int fd = open(path.c_str(), flags, 0666);
    if (fd < 0) {
        Fail(ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) return FailClosing(fd, ErrorFromErrno(errno));
    if (S_ISDIR(st.st_mode)) return FailClosing(fd, ERROR_ACCESS_DENIED);
    if (!SharingAllows(st, dwDesiredAccess, dwShareMode))
        return FailClosing(fd, ERROR_SHARING_VIOLATION);
    // Reads and writes wait, as Win32's do.
    int status = fcntl(fd, F_GETFL);
    if (status == -1 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == -1)
        return FailClosing(fd, ErrorFromErrno(errno));
    if (create && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0)
        return FailClosing(fd, ErrorFromErrno(errno));
    LastError = NO_ERROR;
    return NewObject(Object::File, fd, 0, AddUse(st, dwDesiredAccess, dwShareMode));
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    if (FaultInjected(FAULT_GETFILESIZE)) return INVALID_FILE_SIZE;
    struct stat st;
    if (!StatOf(hFile, &st)) return INVALID_FILE_SIZE;
    uint64_t size = (uint64_t)st.st_size;
    if (lpFileSizeHigh) *lpFileSizeHigh = (DWORD)(size >> 32);
    LastError = NO_ERROR;
    return (DWORD)size;
}

DWORD GetFileType(HANDLE hFile) {
    if (FaultInjected(FAULT_GETFILETYPE)) return FILE_TYPE_UNKNOWN;
    struct stat st;
    if (!StatOf(hFile, &st)) return FILE_TYPE_UNKNOWN;
    LastError = NO_ERROR;
    if (S_ISREG(st.st_mode)) return FILE_TYPE_DISK;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
    if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
    return FILE_TYPE_UNKNOWN;
}

HANDLE CreateFileMappingA(HANDLE hFile, void* lpAttributes, DWORD flProtect,
                          DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName) {
    (void)lpAttributes;
    if (FaultInjected(FAULT_CREATEFILEMAPPING)) return nullptr;
    Object* file = Find(hFile, Object::File);
    if (!file || flProtect != PAGE_READONLY || dwMaximumSizeHigh || dwMaximumSizeLow || lpName) {
        Fail(file ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    struct stat st;
    if (fstat(file->fd, &st) != 0) {
        Fail(ErrorFromErrno(errno));
        return nullptr;
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0) {
        Fail(ERROR_FILE_INVALID);
        return nullptr;
    }
    int fd = dup(file->fd);
    if (fd < 0) {
        Fail(ErrorFromErrno(errno));
        return nullptr;
    }
    const FileUse& use = Uses().at(file->useId);
    LastError = NO_ERROR;
    return NewObject(Object::Mapping, fd, (uint64_t)st.st_size, AddUse(st, use.access, use.share));
}

LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
    if (FaultInjected(FAULT_MAPVIEWOFFILE)) return nullptr;
    Object* mapping = Find(hFileMappingObject, Object::Mapping);
    if (!mapping || dwDesiredAccess != FILE_MAP_READ || dwFileOffsetHigh || dwFileOffsetLow ||
        dwNumberOfBytesToMap) {
        Fail(mapping ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (mapping->size > SIZE_MAX) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* view =
        mmap(nullptr, (size_t)mapping->size, PROT_READ, MAP_SHARED | MAP_POPULATE, mapping->fd, 0);
    if (view == MAP_FAILED) {
        Fail(ErrorFromErrno(errno));
        return nullptr;
    }
    // The rest of the last page reads as zeros; no byte of it is the file's.
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    PoisonMemory((char*)view + mapping->size, (page - mapping->size % page) % page);
    // The view holds the mapping's file as the mapping does.
    AddUse(Uses().at(mapping->useId));
    LastError = NO_ERROR;
    return view;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, void* lpOverlapped) {
    Object* file = Find(hFile, Object::File);
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (FaultInjected(FAULT_READFILE)) return FALSE;
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped) return Fail(ERROR_INVALID_PARAMETER);
    DWORD total = 0;
    while (total < nNumberOfBytesToRead) {
        ssize_t got = read(file->fd, (char*)lpBuffer + total, nNumberOfBytesToRead - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return Fail(ERROR_READ_FAULT);
        if (got == 0) break;
        total += (DWORD)got;
        if (lpNumberOfBytesRead) *lpNumberOfBytesRead = total;
    }
    LastError = NO_ERROR;
    return TRUE;
}

namespace {

// WriteFile's write to a descriptor: every byte, or the failure noted. It
// leaves the last error alone on success, as a write of a report from a
// signal handler must.
BOOL WriteFd(int fd, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
             LPDWORD lpNumberOfBytesWritten) {
    errno = 0;
    DWORD put = (DWORD)WriteAll(fd, (const char*)lpBuffer, nNumberOfBytesToWrite);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = put;
    if (put == nNumberOfBytesToWrite) return TRUE;
    return Fail(errno != 0 ? ErrorFromErrno(errno) : ERROR_WRITE_FAULT);
}

} // namespace

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, void* lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    int fd = StdFd(hFile);
    if (fd >= 0) return WriteFd(fd, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
    Object* file = Find(hFile, Object::File);
    if (FaultInjected(FAULT_WRITEFILE)) return FALSE;
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped) return Fail(ERROR_INVALID_PARAMETER);
    if (!WriteFd(file->fd, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten)) return FALSE;
    LastError = NO_ERROR;
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    Object* object = static_cast<Object*>(hObject);
    if (Live().erase(object) == 0) return Fail(ERROR_INVALID_HANDLE);
    int result = close(object->fd);
    int err = errno;
    Uses().erase(object->useId);
    delete object;
    // A failure injected here comes after the release, as close(2) releases
    // the descriptor even when it reports an error.
    if (FaultInjected(FAULT_CLOSEHANDLE)) return FALSE;
    if (result != 0 && err != EINTR) return Fail(ErrorFromErrno(err));
    LastError = NO_ERROR;
    return TRUE;
}

HANDLE GetStdHandle(DWORD nStdHandle) {
    DWORD fd = STD_INPUT_HANDLE - nStdHandle; // -10, -11, -12 give 0, 1, 2
    if (fd >= (DWORD)kStdFds) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return StdHandles + fd;
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (hModule != nullptr || nSize == 0) return Fail(ERROR_INVALID_PARAMETER);
    std::string path(4096, '\0');
    ssize_t got;
    while ((got = readlink("/proc/self/exe", &path[0], path.size())) == (ssize_t)path.size())
        path.resize(path.size() * 2);
    if (got < 0) return Fail(ErrorFromErrno(errno));
    if ((DWORD)got >= nSize) {
        memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return nSize;
    }
    memcpy(lpFilename, path.data(), (size_t)got);
    lpFilename[got] = '\0';
    LastError = NO_ERROR;
    return (DWORD)got;
}

#ifdef KORVAL_FAULT_INJECTION
size_t LiveHandles(void) {
    return Live().size();
}
#endif

} // namespace korval
