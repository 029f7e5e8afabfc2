// fuzz.h - what the fuzz targets share: the mark that keeps a model out of
// the coverage that steers the fuzzer, the check that ends a run, and
// standard output read back through a pipe.

#pragma once

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// A model's branches mirror the code under test, and tracing each of its
// comparisons would cost more than the code itself.
#ifdef __clang__
#define NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define NO_COVERAGE
#endif

// Ends the run unless ok, saying what failed and, when given, at most 300
// characters of what came out and of what was wanted.
inline void Check(bool ok, const char* what, const char* got = "", const char* want = "") {
    if (ok) return;
    fprintf(stderr, "%s: %s", program_invocation_short_name, what);
    if (*got || *want)
        fprintf(stderr, ": %.300s%s | expected %.300s%s", got, strlen(got) > 300 ? "..." : "", want,
                strlen(want) > 300 ? "..." : "");
    fputc('\n', stderr);
    abort();
}

// Opens a pipe of at least size bytes, both ends non-blocking, so that what
// does not fit is lost, and caught, instead of stopping the run. Returns its
// read end; its write end goes to *writeEnd.
inline int OpenPipe(int size, int* writeEnd) {
    int ends[2];
    Check(pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0, "pipe");
    Check(fcntl(ends[0], F_SETPIPE_SZ, size) >= size, "a pipe of the size asked");
    *writeEnd = ends[1];
    return ends[0];
}

// Sends standard output into a pipe of at least size bytes; returns its read
// end.
inline int StdoutToPipe(int size) {
    int writeEnd;
    int readEnd = OpenPipe(size, &writeEnd);
    Check(dup2(writeEnd, STDOUT_FILENO) >= 0 && close(writeEnd) == 0,
          "no standard output to read back");
    return readEnd;
}

// What was written to standard output since the last call, at most size - 1
// bytes of it, into text, ended by a zero byte; returns its length.
inline size_t TakeOutput(int readEnd, char* text, size_t size) {
    fflush(stdout);
    ssize_t got = read(readEnd, text, size - 1);
    Check(got >= 0 || errno == EAGAIN, "read back");
    size_t len = got > 0 ? (size_t)got : 0;
    text[len] = '\0';
    return len;
}
