// symnames.h - how a symbol of the executable is named in its code map.

#ifndef KORVAL_TOOLS_SYMNAMES_H
#define KORVAL_TOOLS_SYMNAMES_H

#include <string>

// The routine name of a symbol: a C++ name demangled, without its
// parameter list, qualifiers, return type, ABI tags and the "(anonymous
// namespace)::" qualifier, with no spaces, and a compiler clone's suffix
// kept (".cold", ".isra.0"); any other name as it is.
std::string RoutineName(const std::string& symbol);

// The full name of a symbol, as nm -C shows it: a C++ name demangled with
// its parameter list, any other name as it is.
std::string FullName(const std::string& symbol);

// The module of an input file the linker names: the member of an archive
// ("lib.a(files.cpp.o)" gives "files.cpp.o"), else the file's base name.
std::string ModuleName(const std::string& inputFile);

// Whether the linker's input file is an object file that the compiler
// driver made for one step of compiling and linking, under a name new on
// every build: GCC's "ccXXXXXX.o", clang's "name-XXXXXX.o" in the
// temporary directory. Its module is then the program's name.
bool CompilerTemporary(const std::string& inputFile);

// A file name without its directories, either separator counting: a "\"
// would make the map line a library line, which KORVAL skips.
std::string BaseName(const std::string& path);

#endif
