// symnames.cpp - routine and module names for the code map.

#include "symnames.h"

#include <cxxabi.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool IsIdentChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::string Demangle(const std::string& symbol) {
    if (symbol.compare(0, 2, "_Z") != 0) return symbol;
    int status = 0;
    char* text = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
    if (text == nullptr || status != 0) return symbol;
    std::string result(text);
    free(text);
    return result;
}

void EraseAll(std::string* text, const std::string& part) {
    for (size_t at; (at = text->find(part)) != std::string::npos;)
        text->erase(at, part.size());
}

// Takes the " [clone .x]" suffixes off name and returns them as ".x".
std::string TakeClones(std::string* name) {
    std::string clones;
    const std::string lead = " [clone ";
    for (size_t at; (at = name->find(lead)) != std::string::npos;) {
        size_t end = name->find(']', at);
        if (end == std::string::npos) break;
        clones += name->substr(at + lead.size(), end - at - lead.size());
        name->erase(at, end + 1 - at);
    }
    return clones;
}

// Takes off "(params)" and any qualifiers after it (const, &, noexcept...).
void TakeParameters(std::string* name) {
    size_t close = name->rfind(')');
    if (close == std::string::npos) return;
    for (size_t i = close + 1; i < name->size(); i++) {
        char c = (*name)[i];
        if (c != ' ' && c != '&' && !IsIdentChar(c)) return; // not a parameter list
    }
    int depth = 0;
    for (size_t i = close + 1; i-- > 0;) {
        if ((*name)[i] == ')') depth++;
        if ((*name)[i] == '(' && --depth == 0) {
            name->erase(i);
            return;
        }
    }
}

// Takes the parameter lists of enclosing functions off the name of a local
// entity: "use(int)::{lambda(int)#1}" gives "use::{lambda(int)#1}".
void TakeOuterParameters(std::string* name) {
    for (size_t close = name->find(")::"); close != std::string::npos;
         close = name->find(")::", close + 1)) {
        int depth = 0;
        for (size_t i = close + 1; i-- > 0;) {
            if ((*name)[i] == ')') depth++;
            if ((*name)[i] == '(' && --depth == 0) {
                if (i > 0 && (IsIdentChar((*name)[i - 1]) || (*name)[i - 1] == '>')) {
                    name->erase(i, close + 1 - i);
                    close = i;
                }
                break;
            }
        }
    }
}

// Takes off a return type (template functions carry one): everything up to
// the last space outside brackets before the name's "operator", if any.
void TakeReturnType(std::string* name) {
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i < name->size(); i++) {
        char c = (*name)[i];
        if (depth == 0 && name->compare(i, 8, "operator") == 0 &&
            (i == 0 || !IsIdentChar((*name)[i - 1])) &&
            (i + 8 == name->size() || !IsIdentChar((*name)[i + 8])))
            break; // what follows is the operator's own name: "operator<", "operator new"
        if (c == '<' || c == '(' || c == '[' || c == '{') depth++;
        if ((c == '>' || c == ')' || c == ']' || c == '}') && depth > 0) depth--;
        if (c == ' ' && depth == 0) start = i + 1;
    }
    name->erase(0, start);
}

} // namespace

std::string RoutineName(const std::string& symbol) {
    std::string name = Demangle(symbol);
    if (name == symbol) return symbol; // a C name, or one that does not demangle
    std::string clones = TakeClones(&name);
    TakeParameters(&name);
    EraseAll(&name, "[abi:cxx11]");
    TakeReturnType(&name);
    TakeOuterParameters(&name);
    EraseAll(&name, "(anonymous namespace)::");
    EraseAll(&name, " ");
    return name + clones;
}

std::string FullName(const std::string& symbol) {
    return Demangle(symbol);
}

std::string ModuleName(const std::string& inputFile) {
    std::string name = inputFile;
    if (!name.empty() && name.back() == ')') {
        size_t open = name.rfind('(');
        if (open != std::string::npos) return name.substr(open + 1, name.size() - open - 2);
    }
    return BaseName(name);
}

bool CompilerTemporary(const std::string& inputFile) {
    std::string name = BaseName(inputFile);
    auto random = [&](size_t at) {
        if (at + 8 != name.size() || name.compare(at + 6, 2, ".o") != 0) return false;
        for (size_t i = at; i < at + 6; i++)
            if (!IsIdentChar(name[i])) return false;
        return true;
    };
    if (name.compare(0, 2, "cc") == 0 && random(2)) return true;
    std::string dir = inputFile.substr(0, inputFile.size() - name.size());
    const char* temp = getenv("TMPDIR");
    bool inTemp = dir == "/tmp/" || (temp != nullptr && *temp != 0 &&
                                     (dir == std::string(temp) + "/" || dir == temp));
    return inTemp && name.size() > 9 && name[name.size() - 9] == '-' && random(name.size() - 8);
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
