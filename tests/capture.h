// capture.h - what a piece of code prints on standard output or standard
// error, for the tests of the fault reporter.

#ifndef KORVAL_TESTS_CAPTURE_H
#define KORVAL_TESTS_CAPTURE_H

#include <stdio.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

// Runs work with file descriptor fd (1 or 2) going to a temporary file, and
// returns what it printed there.
template <class Work> std::string CaptureFd(int fd, Work work) {
    fflush(stdout);
    fflush(stderr);
    FILE* file = tmpfile();
    if (!file) throw std::runtime_error("tmpfile failed");
    int saved = dup(fd);
    dup2(fileno(file), fd);
    work();
    fflush(stdout);
    fflush(stderr);
    dup2(saved, fd);
    close(saved);
    std::string text;
    rewind(file);
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    fclose(file);
    return text;
}

template <class Work> std::string CaptureStdout(Work work) {
    return CaptureFd(1, work);
}

template <class Work> std::string CaptureStderr(Work work) {
    return CaptureFd(2, work);
}

#endif
