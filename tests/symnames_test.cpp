// symnames_test.cpp - the names the code map gives routines and modules.

#include "symnames.h"

#include <gtest/gtest.h>

namespace {

TEST(RoutineName, CNamesStayAsTheyAre) {
    EXPECT_EQ(RoutineName("main"), "main");
    EXPECT_EQ(RoutineName("_start"), "_start");
    EXPECT_EQ(RoutineName("PathFull.cold"), "PathFull.cold");
    EXPECT_EQ(RoutineName("_Znot_a_mangled_name"), "_Znot_a_mangled_name");
}

TEST(RoutineName, CppNamesLoseParametersQualifiersAndSpaces) {
    const std::pair<const char*, const char*> cases[] = {
        {"_Z9SaveEntryv", "SaveEntry"},
        {"_Z10GetOptionsiPPc", "GetOptions"},
        {"_ZN1AC2Ev", "A::A"},
        {"_ZN1AD1Ev", "A::~A"},
        {"_ZNO1A1fEv", "A::f"},                     // A::f() &&
        {"_ZNK1AclEi", "A::operator()"},            // A::operator()(int) const
        {"_ZNK1AltERKS_", "A::operator<"},          // A::operator<(A const&) const
        {"_ZNK1AcvmEv", "A::operatorunsignedlong"}, // a conversion
        {"_ZN1A3tagB5cxx11Ev", "A::tag"},           // A::tag[abi:cxx11]()
        {"_ZN12_GLOBAL__N_16hiddenEi", "hidden"},   // (anonymous namespace)::hidden(int)
        {"_ZZ3useiENKUliE_clEi", "use::{lambda(int)#1}::operator()"},
        {"_Z5twiceIiET_S0_", "twice<int>"}, // int twice<int>(int): no return type
        {"_ZSt10__distanceIPKcENSt15iterator_traitsIT_E15difference_typeES3_S3_St26random_access_"
         "iterator_tag",
         "std::__distance<charconst*>"},
        {"_ZStlsISt11char_traitsIcEERSt13basic_ostreamIcT_ES5_PKc",
         "std::operator<<<std::char_traits<char>>"},
        {"_ZNKSt6vectorIiSaIiEE4sizeEv", "std::vector<int,std::allocator<int>>::size"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RoutineName(c.first), c.second) << c.first;
}

TEST(RoutineName, CompilerClonesKeepTheirSuffix) {
    EXPECT_EQ(RoutineName("_ZL8CopyNamePcjPjj.isra.0"), "CopyName.isra.0");
    EXPECT_EQ(RoutineName("_Z9SaveEntryv.cold"), "SaveEntry.cold");
    EXPECT_EQ(RoutineName("_ZN12_GLOBAL__N_14JoinEPcmRKNSt7__cxx1112basic_stringIcSt11char_"
                          "traitsIcESaIcEEEc.isra.0.cold"),
              "Join.isra.0.cold");
}

TEST(ModuleName, ObjectFileOrArchiveMember) {
    EXPECT_EQ(ModuleName("CMakeFiles/korval.dir/src/korval.cpp.o"), "korval.cpp.o");
    EXPECT_EQ(ModuleName("libkorval_platform.a(files.cpp.o)"), "files.cpp.o");
    EXPECT_EQ(ModuleName("/usr/lib/x86_64-linux-gnu/libc_nonshared.a(atexit.oS)"), "atexit.oS");
    EXPECT_EQ(ModuleName("/usr/lib/gcc/x86_64-linux-gnu/12/../../../x86_64-linux-gnu/crt1.o"),
              "crt1.o");
    EXPECT_EQ(ModuleName("crti.o"), "crti.o");
}

TEST(CompilerTemporary, OnlyTheDriversOwnObjectFiles) {
    const std::pair<const char*, bool> cases[] = {
        {"/tmp/ccA1b2C3.o", true}, {"/tmp/app-1a2b3c.o", true},   {"ccA1b2C3.o", true},
        {"/tmp/cc.o", false},      {"/tmp/ccA1b2C3.obj", false},  {"app-1a2b3c.o", false},
        {"/tmp/app.o", false},     {"lib.a(ccA1b2C3x.o)", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CompilerTemporary(c.first), c.second) << c.first;
}

} // namespace
