// replay.cpp - runs a fuzz target once over given files and directories (the
// seed corpus, kept crashing inputs) without libFuzzer, so that the ordinary
// and sanitizer test builds check them with any compiler.

#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static void Collect(const std::string& path, std::vector<std::string>* files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        files->push_back(path);
        return;
    }
    DIR* d = opendir(path.c_str());
    if (!d) return;
    while (struct dirent* entry = readdir(d))
        if (entry->d_name[0] != '.') Collect(path + "/" + entry->d_name, files);
    closedir(d);
}

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++)
        Collect(argv[i], &files);
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    printf("%zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;
}
