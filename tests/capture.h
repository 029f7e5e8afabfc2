// capture.h - what a piece of code prints on standard output, for the tests
// of the fault reporter, which prints with printf.

#ifndef KORVAL_TESTS_CAPTURE_H
#define KORVAL_TESTS_CAPTURE_H

#include <stdio.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

// Runs work with standard output going to a temporary file, and returns what
// it printed.
template <class Work> std::string CaptureStdout(Work work) {
    fflush(stdout);
    FILE* file = tmpfile();
    if (!file) throw std::runtime_error("tmpfile failed");
    int saved = dup(1);
    dup2(fileno(file), 1);
    work();
    fflush(stdout);
    dup2(saved, 1);
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

#endif
