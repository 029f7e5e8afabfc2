// pe.cpp - korval-codemap's reader of PE images (32- or 64-bit, fixed or
// dynamic base): the functions of the COFF symbol table that the GNU linker
// keeps in the image, else the exported ones; the preferred image base; and
// the identity the linker stamped in the headers.

#include "image.h"

#include <stdlib.h>

namespace {

// Where the fields lie, from the start of each structure (the PE/COFF
// layout; <winnt.h> names them IMAGE_*).
const uint64_t kDosHeaderSize = 0x40;
const uint64_t kDosNewHeader = 0x3C; // e_lfanew: offset of the "PE\0\0" signature

const uint64_t kCoffMachine = 0; // IMAGE_FILE_HEADER, after the signature
const uint64_t kCoffNumberOfSections = 2;
const uint64_t kCoffTimeDateStamp = 4;
const uint64_t kCoffPointerToSymbolTable = 8;
const uint64_t kCoffNumberOfSymbols = 12;
const uint64_t kCoffSizeOfOptionalHeader = 16;
const uint64_t kCoffHeaderSize = 20;
const uint64_t kMachineI386 = 0x14C;

const uint64_t kOptMagic = 0; // IMAGE_OPTIONAL_HEADER32 / 64
const uint64_t kOptMagicPe32Plus = 0x20B;
const uint64_t kOptImageBase32 = 28, kOptImageBase64 = 24;
const uint64_t kOptSizeOfImage = 56;
const uint64_t kOptNumberOfRvaAndSizes32 = 92, kOptNumberOfRvaAndSizes64 = 108;
const uint64_t kOptDataDirectory32 = 96, kOptDataDirectory64 = 112;
const uint64_t kOptLeast = kOptSizeOfImage + 4;
const uint64_t kDataDirectorySize = 8; // RVA, size
const uint64_t kDirectoryExport = 0;

const uint64_t kSectionName = 0; // IMAGE_SECTION_HEADER
const uint64_t kSectionVirtualSize = 8;
const uint64_t kSectionVirtualAddress = 12;
const uint64_t kSectionSizeOfRawData = 16;
const uint64_t kSectionPointerToRawData = 20;
const uint64_t kSectionCharacteristics = 36;
const uint64_t kSectionHeaderSize = 40;
const uint64_t kScnCntCode = 0x20, kScnMemExecute = 0x20000000;

const uint64_t kSymbolName = 0; // IMAGE_SYMBOL: a short name, or 0 and an offset
const uint64_t kSymbolNameOffset = 4;
const uint64_t kSymbolValue = 8;
const uint64_t kSymbolSectionNumber = 12;
const uint64_t kSymbolType = 14;
const uint64_t kSymbolStorageClass = 16;
const uint64_t kSymbolNumberOfAux = 17;
const uint64_t kSymbolSize = 18;
const uint64_t kShortNameSize = 8;
const uint64_t kTypeFunction = 0x20, kComplexTypeMask = 0x30; // DT_FCN << 4
const uint64_t kClassExternal = 2, kClassStatic = 3;

const uint64_t kExportNumberOfFunctions = 20; // IMAGE_EXPORT_DIRECTORY
const uint64_t kExportNumberOfNames = 24;
const uint64_t kExportAddressOfFunctions = 28;
const uint64_t kExportAddressOfNames = 32;
const uint64_t kExportAddressOfNameOrdinals = 36;
const uint64_t kExportDirectorySize = 40;

struct Section {
    uint64_t Address, Size, Raw, RawSize;
    bool Code;
};

// The file offset of the image offset Rva, or 0 when no section's bytes
// in the file hold Size bytes there.
uint64_t FileOffset(const std::vector<Section>& Sections, uint64_t Rva, uint64_t Size) {
    for (const Section& s : Sections)
        if (Rva >= s.Address && Rva - s.Address < s.RawSize &&
            Size <= s.RawSize - (Rva - s.Address))
            return s.Raw + (Rva - s.Address);
    return 0;
}

// The section holding the image offset Rva, or nullptr.
const Section* SectionAt(const std::vector<Section>& Sections, uint64_t Rva) {
    for (const Section& s : Sections)
        if (Rva >= s.Address && Rva - s.Address < std::max(s.Size, s.RawSize)) return &s;
    return nullptr;
}

// The exported functions of the export directory: those whose address lies
// in code (an address inside the directory itself forwards to another DLL).
bool ReadExports(const Bytes& File, const std::vector<Section>& Sections, uint64_t Directory,
                 uint64_t DirectorySize, uint64_t ImageBase, Image* Out) {
    uint64_t At = FileOffset(Sections, Directory, kExportDirectorySize);
    if (Directory == 0 || At == 0) return false;
    uint64_t NumNames = File.Get(At + kExportNumberOfNames, 4);
    uint64_t NumFunctions = File.Get(At + kExportNumberOfFunctions, 4);
    uint64_t Addresses =
        FileOffset(Sections, File.Get(At + kExportAddressOfFunctions, 4), 4 * NumFunctions);
    uint64_t Names = FileOffset(Sections, File.Get(At + kExportAddressOfNames, 4), 4 * NumNames);
    uint64_t Ordinals =
        FileOffset(Sections, File.Get(At + kExportAddressOfNameOrdinals, 4), 2 * NumNames);
    if (Addresses == 0 || Names == 0 || Ordinals == 0) return false;
    for (uint64_t i = 0; i < NumNames; i++) {
        uint64_t Ordinal = File.Get(Ordinals + 2 * i, 2);
        if (Ordinal >= NumFunctions) continue;
        uint64_t Rva = File.Get(Addresses + 4 * Ordinal, 4);
        const Section* s = SectionAt(Sections, Rva);
        if ((Rva >= Directory && Rva - Directory < DirectorySize) || s == nullptr || !s->Code)
            continue;
        uint64_t Name = FileOffset(Sections, File.Get(Names + 4 * i, 4), 1);
        if (Name == 0) continue;
        Out->Functions.push_back(Function{ImageBase + Rva, File.Text(Name, UINT64_MAX)});
    }
    return true;
}

} // namespace

// The functions are the symbols typed as functions, and the external
// symbols of code sections (import thunks, assembler routines); local labels
// are neither. Each lies at the preferred image base + its section's
// address + its value.
bool ReadPe(const char* Path, Bytes& File, Image* Out) {
    Out->FarAdvice = "link with a preferred image base below 4 GiB, for example "
                     "-Wl,--image-base=0x400000 (dynamic base may stay on)";
    uint64_t Coff = File.Has(0, kDosHeaderSize) ? File.Get(kDosNewHeader, 4) + 4 : 0;
    if (Coff == 0 || !File.Has(Coff - 4, 4 + kCoffHeaderSize) ||
        File.Data.compare(Coff - 4, 4, std::string("PE\0\0", 4)) != 0) {
        Complain("%s is neither an ELF nor a PE file", Path);
        return false;
    }
    uint64_t NumSections = File.Get(Coff + kCoffNumberOfSections, 2);
    uint64_t SymTab = File.Get(Coff + kCoffPointerToSymbolTable, 4);
    uint64_t NumSyms = File.Get(Coff + kCoffNumberOfSymbols, 4);
    uint64_t Opt = Coff + kCoffHeaderSize;
    uint64_t SecTab = Opt + File.Get(Coff + kCoffSizeOfOptionalHeader, 2);
    if (!File.Has(Opt, kOptLeast) || !File.Has(SecTab, NumSections * kSectionHeaderSize)) {
        Complain("%s is a damaged PE file: its headers are cut short", Path);
        return false;
    }
    bool Plus = File.Get(Opt + kOptMagic, 2) == kOptMagicPe32Plus;
    uint64_t ImageBase =
        Plus ? File.Get(Opt + kOptImageBase64, 8) : File.Get(Opt + kOptImageBase32, 4);
    Out->LinkBase = ImageBase;
    Out->IdentityKind = korval::kIdentityPe;
    Out->Identity =
        File.Data.substr(Coff + kCoffTimeDateStamp, 4) + File.Data.substr(Opt + kOptSizeOfImage, 4);

    // On x86 (32-bit) the compiler puts a "_" before every C and C++ name.
    bool Underscored = File.Get(Coff + kCoffMachine, 2) == kMachineI386;
    uint64_t Strings = SymTab + NumSyms * kSymbolSize;
    // A name of at most 8 bytes at At, or the one at Offset in the strings.
    auto Name = [&](uint64_t At, uint64_t Offset) {
        return Offset == 0 ? File.Text(At, kShortNameSize)
                           : File.Text(Strings + Offset, UINT64_MAX);
    };
    bool HasSymbols = SymTab != 0 && NumSyms != 0;
    if (HasSymbols && !File.Has(Strings, 4)) {
        Complain("%s is a damaged PE file: its symbol table lies outside it", Path);
        return false;
    }

    std::vector<Section> Sections;
    for (uint64_t i = 0; i < NumSections; i++) {
        uint64_t At = SecTab + kSectionHeaderSize * i;
        bool Code =
            (File.Get(At + kSectionCharacteristics, 4) & (kScnMemExecute | kScnCntCode)) != 0;
        std::string Short = Name(At + kSectionName, 0);
        std::string Full = Short[0] == '/' && HasSymbols
                               ? Name(0, strtoull(Short.c_str() + 1, nullptr, 10))
                               : Short;
        if (Code) Out->CodeSections.insert(Full);
        uint64_t Address = File.Get(At + kSectionVirtualAddress, 4);
        if (Code)
            Out->CodeEnd =
                std::max(Out->CodeEnd, ImageBase + Address + File.Get(At + kSectionVirtualSize, 4));
        Sections.push_back(Section{Address, File.Get(At + kSectionVirtualSize, 4),
                                   File.Get(At + kSectionPointerToRawData, 4),
                                   File.Get(At + kSectionSizeOfRawData, 4), Code});
    }

    if (!HasSymbols) {
        // Stripped: the exported functions, if any.
        uint64_t Entries =
            File.Get(Opt + (Plus ? kOptNumberOfRvaAndSizes64 : kOptNumberOfRvaAndSizes32), 4);
        uint64_t Directory = Opt + (Plus ? kOptDataDirectory64 : kOptDataDirectory32) +
                             kDirectoryExport * kDataDirectorySize;
        Out->ExportsOnly = true;
        if (Entries > kDirectoryExport && File.Has(Directory, kDataDirectorySize) &&
            ReadExports(File, Sections, File.Get(Directory, 4), File.Get(Directory + 4, 4),
                        ImageBase, Out))
            return true;
        Complain("%s has neither a symbol table nor an export table", Path);
        return false;
    }
    for (uint64_t i = 0; i < NumSyms && File.Has(SymTab + kSymbolSize * i, kSymbolSize);
         i += 1 + File.Get(SymTab + kSymbolSize * i + kSymbolNumberOfAux, 1)) {
        uint64_t At = SymTab + kSymbolSize * i;
        int64_t Number = (int16_t)File.Get(At + kSymbolSectionNumber, 2);
        uint64_t Type = File.Get(At + kSymbolType, 2);
        uint64_t Class = File.Get(At + kSymbolStorageClass, 1);
        bool Typed = (Type & kComplexTypeMask) == kTypeFunction && Class == kClassStatic;
        if ((!Typed && Class != kClassExternal) || Number < 1 ||
            Number > (int64_t)Sections.size() || !Sections[Number - 1].Code)
            continue;
        std::string Symbol = File.Get(At + kSymbolName, 4) == 0
                                 ? Name(0, File.Get(At + kSymbolNameOffset, 4))
                                 : Name(At + kSymbolName, 0);
        if (Underscored && Symbol[0] == '_') Symbol.erase(0, 1);
        Out->Functions.push_back(
            Function{ImageBase + Sections[Number - 1].Address + File.Get(At + kSymbolValue, 4),
                     Symbol, !Typed});
    }
    return true;
}
