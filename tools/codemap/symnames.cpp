// symnames.cpp - routine and module names for the code map.

#include "symnames.h"

#include <cxxabi.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool IsIdentChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::string Demangle(const std::string& Symbol) {
    if (Symbol.compare(0, 2, "_Z") != 0) return Symbol;
    int Status = 0;
    char* Text = abi::__cxa_demangle(Symbol.c_str(), nullptr, nullptr, &Status);
    if (Text == nullptr || Status != 0) return Symbol;
    std::string Result(Text);
    free(Text);
    return Result;
}

void EraseAll(std::string* Text, const std::string& Part) {
    for (size_t At; (At = Text->find(Part)) != std::string::npos;)
        Text->erase(At, Part.size());
}

// Takes the " [clone .x]" suffixes off Name and returns them as ".x".
std::string TakeClones(std::string* Name) {
    std::string Clones;
    const std::string Lead = " [clone ";
    for (size_t At; (At = Name->find(Lead)) != std::string::npos;) {
        size_t End = Name->find(']', At);
        if (End == std::string::npos) break;
        Clones += Name->substr(At + Lead.size(), End - At - Lead.size());
        Name->erase(At, End + 1 - At);
    }
    return Clones;
}

// Takes off "(params)" and any qualifiers after it (const, &, noexcept...).
void TakeParameters(std::string* Name) {
    size_t Close = Name->rfind(')');
    if (Close == std::string::npos) return;
    for (size_t i = Close + 1; i < Name->size(); i++) {
        char c = (*Name)[i];
        if (c != ' ' && c != '&' && !IsIdentChar(c)) return; // not a parameter list
    }
    int Depth = 0;
    for (size_t i = Close + 1; i-- > 0;) {
        if ((*Name)[i] == ')') Depth++;
        if ((*Name)[i] == '(' && --Depth == 0) {
            Name->erase(i);
            return;
        }
    }
}

// Takes the parameter lists of enclosing functions off the name of a local
// entity: "use(int)::{lambda(int)#1}" gives "use::{lambda(int)#1}".
void TakeOuterParameters(std::string* Name) {
    for (size_t Close = Name->find(")::"); Close != std::string::npos;
         Close = Name->find(")::", Close + 1)) {
        int Depth = 0;
        for (size_t i = Close + 1; i-- > 0;) {
            if ((*Name)[i] == ')') Depth++;
            if ((*Name)[i] == '(' && --Depth == 0) {
                if (i > 0 && (IsIdentChar((*Name)[i - 1]) || (*Name)[i - 1] == '>')) {
                    Name->erase(i, Close + 1 - i);
                    Close = i;
                }
                break;
            }
        }
    }
}

// Takes off a return type (template functions carry one): everything up to
// the last space outside brackets before the name's "operator", if any.
void TakeReturnType(std::string* Name) {
    int Depth = 0;
    size_t Start = 0;
    for (size_t i = 0; i < Name->size(); i++) {
        char c = (*Name)[i];
        if (Depth == 0 && Name->compare(i, 8, "operator") == 0 &&
            (i == 0 || !IsIdentChar((*Name)[i - 1])) &&
            (i + 8 == Name->size() || !IsIdentChar((*Name)[i + 8])))
            break; // what follows is the operator's own name: "operator<", "operator new"
        if (c == '<' || c == '(' || c == '[' || c == '{') Depth++;
        if ((c == '>' || c == ')' || c == ']' || c == '}') && Depth > 0) Depth--;
        if (c == ' ' && Depth == 0) Start = i + 1;
    }
    Name->erase(0, Start);
}

} // namespace

std::string RoutineName(const std::string& Symbol) {
    std::string Name = Demangle(Symbol);
    if (Name == Symbol) return Symbol; // a C name, or one that does not demangle
    std::string Clones = TakeClones(&Name);
    TakeParameters(&Name);
    EraseAll(&Name, "[abi:cxx11]");
    TakeReturnType(&Name);
    TakeOuterParameters(&Name);
    EraseAll(&Name, "(anonymous namespace)::");
    EraseAll(&Name, " ");
    return Name + Clones;
}

std::string FullName(const std::string& Symbol) {
    return Demangle(Symbol);
}

std::string ModuleName(const std::string& InputFile) {
    std::string Name = InputFile;
    if (!Name.empty() && Name.back() == ')') {
        size_t Open = Name.rfind('(');
        if (Open != std::string::npos) return Name.substr(Open + 1, Name.size() - Open - 2);
    }
    return BaseName(Name);
}

bool CompilerTemporary(const std::string& InputFile) {
    std::string Name = BaseName(InputFile);
    auto Random = [&](size_t At) {
        if (At + 8 != Name.size() || Name.compare(At + 6, 2, ".o") != 0) return false;
        for (size_t i = At; i < At + 6; i++)
            if (!IsIdentChar(Name[i])) return false;
        return true;
    };
    if (Name.compare(0, 2, "cc") == 0 && Random(2)) return true;
    std::string Dir = InputFile.substr(0, InputFile.size() - Name.size());
    const char* Temp = getenv("TMPDIR");
    bool InTemp = Dir == "/tmp/" || (Temp != nullptr && *Temp != 0 &&
                                     (Dir == std::string(Temp) + "/" || Dir == Temp));
    return InTemp && Name.size() > 9 && Name[Name.size() - 9] == '-' && Random(Name.size() - 8);
}

std::string BaseName(const std::string& Path) {
    size_t Slash = Path.find_last_of("/\\");
    return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}
