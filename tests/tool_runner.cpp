// tool_runner.cpp - process and file helpers of the end-to-end tests.

#include "tool_runner.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

ScratchDir::ScratchDir() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/korval-test-XXXXXX";
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
    where = pattern;
}

ScratchDir::~ScratchDir() {
    // Permissions may have been taken away by a test; give them back first.
    std::string command = "chmod -R u+rwx '" + where + "' 2>/dev/null; rm -rf '" + where + "'";
    if (system(command.c_str()) != 0) perror("cleanup");
}

Spawned SpawnIn(const std::string& dir, const std::string& program,
                const std::vector<std::string>& args, const std::vector<std::string>& env, int uid,
                const ChildSetup& setup) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        signal(SIGINT, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            _exit(126);
        if (chdir(dir.c_str()) != 0) _exit(127);
        for (const std::string& setting : env)
            putenv(const_cast<char*>(setting.c_str()));
        if (setup) setup();
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        dprintf(2, "cannot run %s: %s\n", program.c_str(), strerror(errno));
        _exit(127);
    }
    close(pipeFds[1]);
    Spawned child;
    child.pid = pid;
    child.out = pipeFds[0];
    return child;
}

std::string ReadSome(const Spawned& child, size_t count) {
    std::string bytes;
    char buffer[4096];
    while (bytes.size() < count) {
        size_t want = std::min(sizeof buffer, count - bytes.size());
        ssize_t got = read(child.out, buffer, want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        bytes.append(buffer, got);
    }
    return bytes;
}

namespace {

std::string ProcText(int pid, const char* name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The state letter of /proc/PID/stat: R running, S sleeping, Z ended...
char ProcState(int pid) {
    std::string stat = ProcText(pid, "stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
}

} // namespace

bool WaitBlockedOnOutput(const Spawned& child, int seconds) {
    int capacity = fcntl(child.out, F_GETPIPE_SZ);
    for (int tries = 0; tries < seconds * 1000; tries++) {
        int queued = 0;
        ioctl(child.out, FIONREAD, &queued);
        char state = ProcState(child.pid);
        if (state == 'Z' || state == '?') return false;
        std::string wchan = ProcText(child.pid, "wchan");
        bool inPipeWrite = wchan.find("pipe_write") != std::string::npos || queued >= capacity;
        if (state == 'S' && queued > 0 && inPipeWrite) return true;
        usleep(1000);
    }
    return false;
}

bool WaitSignalTaken(const Spawned& child, int signal, int seconds) {
    const unsigned long long bit = 1ull << (signal - 1);
    for (int tries = 0; tries < seconds * 1000; tries++) {
        std::istringstream status(ProcText(child.pid, "status"));
        bool pending = false, seen = false;
        for (std::string line; std::getline(status, line);) {
            if (line.compare(0, 7, "SigPnd:") != 0 && line.compare(0, 7, "ShdPnd:") != 0) continue;
            seen = true;
            if (std::stoull(line.substr(7), nullptr, 16) & bit) pending = true;
        }
        if (!seen) return false;
        if (!pending) return true;
        usleep(1000);
    }
    return false;
}

bool WaitEnded(const Spawned& child, int seconds) {
    for (int tries = 0; tries < seconds * 1000; tries++) {
        siginfo_t info;
        info.si_pid = 0;
        if (waitid(P_PID, child.pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
        if (info.si_pid != 0) return true;
        usleep(1000);
    }
    return false;
}

std::vector<std::string> OpenFilesOf(const Spawned& child) {
    std::vector<std::string> files;
    std::string dir = "/proc/" + std::to_string(child.pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) return files;
    while (struct dirent* entry = readdir(d)) {
        if (entry->d_name[0] == '.') continue;
        char target[4096];
        ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n > 0) files.push_back(std::string(target, n));
    }
    closedir(d);
    return files;
}

RunResult Finish(Spawned& child) {
    RunResult result;
    char buffer[4096];
    ssize_t got;
    while ((got = read(child.out, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        result.out.append(buffer, got);
    }
    close(child.out);
    child.out = -1;
    int status = 0;
    waitpid(child.pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

RunResult RunIn(const std::string& dir, const std::string& program,
                const std::vector<std::string>& args, const std::vector<std::string>& env, int uid,
                const ChildSetup& setup) {
    Spawned child = SpawnIn(dir, program, args, env, uid, setup);
    return Finish(child);
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string CrLf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

std::string AfterBannerLine(const std::string& out) {
    if (out.compare(0, 14, "KORVAL 1.00 - ") != 0) return out;
    size_t end = out.find('\n');
    return end == std::string::npos ? out : out.substr(end + 1);
}
