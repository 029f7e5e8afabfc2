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
    uint64_t address, size, raw, rawSize;
    bool code;
};

// The file offset of the image offset rva, or 0 when no section's bytes
// in the file hold size bytes there.
uint64_t FileOffset(const std::vector<Section>& sections, uint64_t rva, uint64_t size) {
    for (const Section& s : sections)
        if (rva >= s.address && rva - s.address < s.rawSize &&
            size <= s.rawSize - (rva - s.address))
            return s.raw + (rva - s.address);
    return 0;
}

// The section holding the image offset rva, or nullptr.
const Section* SectionAt(const std::vector<Section>& sections, uint64_t rva) {
    for (const Section& s : sections)
        if (rva >= s.address && rva - s.address < std::max(s.size, s.rawSize)) return &s;
    return nullptr;
}

// The exported functions of the export directory: those whose address lies
// in code (an address inside the directory itself forwards to another DLL).
bool ReadExports(const Bytes& file, const std::vector<Section>& sections, uint64_t directory,
                 uint64_t directorySize, uint64_t imageBase, Image* out) {
    uint64_t at = FileOffset(sections, directory, kExportDirectorySize);
    if (directory == 0 || at == 0) return false;
    uint64_t numNames = file.Get(at + kExportNumberOfNames, 4);
    uint64_t numFunctions = file.Get(at + kExportNumberOfFunctions, 4);
    uint64_t addresses =
        FileOffset(sections, file.Get(at + kExportAddressOfFunctions, 4), 4 * numFunctions);
    uint64_t names = FileOffset(sections, file.Get(at + kExportAddressOfNames, 4), 4 * numNames);
    uint64_t ordinals =
        FileOffset(sections, file.Get(at + kExportAddressOfNameOrdinals, 4), 2 * numNames);
    if (addresses == 0 || names == 0 || ordinals == 0) return false;
    for (uint64_t i = 0; i < numNames; i++) {
        uint64_t ordinal = file.Get(ordinals + 2 * i, 2);
        if (ordinal >= numFunctions) continue;
        uint64_t rva = file.Get(addresses + 4 * ordinal, 4);
        const Section* s = SectionAt(sections, rva);
        if ((rva >= directory && rva - directory < directorySize) || s == nullptr || !s->code)
            continue;
        uint64_t name = FileOffset(sections, file.Get(names + 4 * i, 4), 1);
        if (name == 0) continue;
        out->functions.push_back(Function{imageBase + rva, file.Text(name, UINT64_MAX)});
    }
    return true;
}

} // namespace

// The functions are the symbols typed as functions, and the external
// symbols of code sections (import thunks, assembler routines); local labels
// are neither. Each lies at the preferred image base + its section's
// address + its value.
bool ReadPe(const char* path, Bytes& file, Image* out) {
    out->farAdvice = "link with a preferred image base below 4 GiB, for example "
                     "-Wl,--image-base=0x400000 (dynamic base may stay on)";
    uint64_t coff = file.Has(0, kDosHeaderSize) ? file.Get(kDosNewHeader, 4) + 4 : 0;
    if (coff == 0 || !file.Has(coff - 4, 4 + kCoffHeaderSize) ||
        file.data.compare(coff - 4, 4, std::string("PE\0\0", 4)) != 0) {
        Complain("%s is neither an ELF nor a PE file", path);
        return false;
    }
    uint64_t numSections = file.Get(coff + kCoffNumberOfSections, 2);
    uint64_t symTab = file.Get(coff + kCoffPointerToSymbolTable, 4);
    uint64_t numSyms = file.Get(coff + kCoffNumberOfSymbols, 4);
    uint64_t opt = coff + kCoffHeaderSize;
    uint64_t secTab = opt + file.Get(coff + kCoffSizeOfOptionalHeader, 2);
    if (!file.Has(opt, kOptLeast) || !file.Has(secTab, numSections * kSectionHeaderSize)) {
        Complain("%s is a damaged PE file: its headers are cut short", path);
        return false;
    }
    bool plus = file.Get(opt + kOptMagic, 2) == kOptMagicPe32Plus;
    uint64_t imageBase =
        plus ? file.Get(opt + kOptImageBase64, 8) : file.Get(opt + kOptImageBase32, 4);
    out->linkBase = imageBase;
    out->identityKind = korval::kIdentityPe;
    out->identity =
        file.data.substr(coff + kCoffTimeDateStamp, 4) + file.data.substr(opt + kOptSizeOfImage, 4);

    // On x86 (32-bit) the compiler puts a "_" before every C and C++ name.
    bool underscored = file.Get(coff + kCoffMachine, 2) == kMachineI386;
    uint64_t Strings = symTab + numSyms * kSymbolSize;
    // A name of at most 8 bytes at `at`, or the one at offset in the strings.
    auto name = [&](uint64_t at, uint64_t offset) {
        return offset == 0 ? file.Text(at, kShortNameSize)
                           : file.Text(Strings + offset, UINT64_MAX);
    };
    bool hasSymbols = symTab != 0 && numSyms != 0;
    if (hasSymbols && !file.Has(Strings, 4)) {
        Complain("%s is a damaged PE file: its symbol table lies outside it", path);
        return false;
    }

    std::vector<Section> sections;
    for (uint64_t i = 0; i < numSections; i++) {
        uint64_t at = secTab + kSectionHeaderSize * i;
        bool code =
            (file.Get(at + kSectionCharacteristics, 4) & (kScnMemExecute | kScnCntCode)) != 0;
        std::string Short = name(at + kSectionName, 0);
        std::string full = Short[0] == '/' && hasSymbols
                               ? name(0, strtoull(Short.c_str() + 1, nullptr, 10))
                               : Short;
        if (code) out->codeSections.insert(full);
        uint64_t address = file.Get(at + kSectionVirtualAddress, 4);
        if (code)
            out->codeEnd =
                std::max(out->codeEnd, imageBase + address + file.Get(at + kSectionVirtualSize, 4));
        sections.push_back(Section{address, file.Get(at + kSectionVirtualSize, 4),
                                   file.Get(at + kSectionPointerToRawData, 4),
                                   file.Get(at + kSectionSizeOfRawData, 4), code});
    }

    if (!hasSymbols) {
        // Stripped: the exported functions, if any.
        uint64_t entries =
            file.Get(opt + (plus ? kOptNumberOfRvaAndSizes64 : kOptNumberOfRvaAndSizes32), 4);
        uint64_t directory = opt + (plus ? kOptDataDirectory64 : kOptDataDirectory32) +
                             kDirectoryExport * kDataDirectorySize;
        out->exportsOnly = true;
        if (entries > kDirectoryExport && file.Has(directory, kDataDirectorySize) &&
            ReadExports(file, sections, file.Get(directory, 4), file.Get(directory + 4, 4),
                        imageBase, out))
            return true;
        Complain("%s has neither a symbol table nor an export table", path);
        return false;
    }
    for (uint64_t i = 0; i < numSyms && file.Has(symTab + kSymbolSize * i, kSymbolSize);
         i += 1 + file.Get(symTab + kSymbolSize * i + kSymbolNumberOfAux, 1)) {
        uint64_t at = symTab + kSymbolSize * i;
        int64_t number = (int16_t)file.Get(at + kSymbolSectionNumber, 2);
        uint64_t type = file.Get(at + kSymbolType, 2);
        uint64_t Class = file.Get(at + kSymbolStorageClass, 1);
        bool typed = (type & kComplexTypeMask) == kTypeFunction && Class == kClassStatic;
        if ((!typed && Class != kClassExternal) || number < 1 ||
            number > (int64_t)sections.size() || !sections[number - 1].code)
            continue;
        std::string symbol = file.Get(at + kSymbolName, 4) == 0
                                 ? name(0, file.Get(at + kSymbolNameOffset, 4))
                                 : name(at + kSymbolName, 0);
        if (underscored && symbol[0] == '_') symbol.erase(0, 1);
        out->functions.push_back(
            Function{imageBase + sections[number - 1].address + file.Get(at + kSymbolValue, 4),
                     symbol, !typed});
    }
    return true;
}
