// The PE32+ images of the EFI build, as the firmware's loader sees them:
// format, machine, subsystem, no imports, base relocations, entry point in
// code, and nothing that firmware would never run (initializer or TLS data).
// The hosted build builds the images first (orvale_efi_image), so a missing
// image is a failure, never a skip.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef ORVALE_EFI_IMAGE
#error "ORVALE_EFI_IMAGE must name the driver image built by orvale_efi_image"
#endif
#ifndef ORVALE_EFI_APP_IMAGE
#error "ORVALE_EFI_APP_IMAGE must name the test application image built by orvale_efi_image"
#endif

namespace {

// Field offsets of the Microsoft PE/COFF format.
constexpr size_t kDosLfanew = 0x3C;
constexpr size_t kCoffMachine = 0;
constexpr size_t kCoffSectionCount = 2;
constexpr size_t kCoffOptionalSize = 16;
constexpr size_t kCoffCharacteristics = 18;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kOptMagic = 0;
constexpr size_t kOptEntryPoint = 16;
constexpr size_t kOptSubsystem = 68;
constexpr size_t kOptDirectoryCount = 108;
constexpr size_t kOptDirectories = 112;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kSectionVirtualSize = 8;
constexpr size_t kSectionVirtualAddress = 12;
constexpr size_t kSectionRawSize = 16;
constexpr size_t kSectionRawPointer = 20;
constexpr size_t kSectionCharacteristics = 36;

constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kSubsystemEfiApplication = 10;
constexpr uint16_t kSubsystemEfiBootServiceDriver = 11;
constexpr uint16_t kRelocsStripped = 0x0001;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr uint32_t kDirImport = 1;
constexpr uint32_t kDirBaseReloc = 5;
constexpr uint32_t kDirTls = 9;
constexpr uint16_t kRelBasedAbsolute = 0;
constexpr uint16_t kRelBasedDir64 = 10;

struct Section {
  std::string name;
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawPointer = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;
  bool Contains(uint32_t rva, uint32_t size = 1) const {
    return rva >= virtualAddress && size <= virtualSize && rva - virtualAddress <= virtualSize - size;
  }
};

struct Directory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

// A parsed image; every read is bounded by the file, so a truncated or
// damaged image leaves `error` set instead of reading past the bytes.
struct PeImage {
  std::vector<uint8_t> bytes;
  std::string error;
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint16_t magic = 0;
  uint16_t subsystem = 0;
  uint32_t entryPoint = 0;
  std::vector<Directory> directories;
  std::vector<Section> sections;

  bool Has(size_t offset, size_t length) const { return offset <= bytes.size() && length <= bytes.size() - offset; }
  uint16_t U16(size_t offset) const { return Has(offset, 2) ? uint16_t(bytes[offset] | bytes[offset + 1] << 8) : 0; }
  uint32_t U32(size_t offset) const {
    return Has(offset, 4) ? uint32_t(U16(offset)) | uint32_t(U16(offset + 2)) << 16 : 0;
  }

  const Section *SectionAt(uint32_t rva, uint32_t size = 1) const {
    for (const Section &s : sections) {
      if (s.Contains(rva, size)) return &s;
    }
    return nullptr;
  }
  const Section *Named(const std::string &name) const {
    for (const Section &s : sections) {
      if (s.name == name) return &s;
    }
    return nullptr;
  }
  // File offset of an RVA whose size bytes lie in a section's raw data, or 0.
  size_t FileOffset(uint32_t rva, uint32_t size) const {
    const Section *s = SectionAt(rva, size);
    if (s == nullptr || rva - s->virtualAddress + size > s->rawSize) return 0;
    size_t offset = size_t(s->rawPointer) + (rva - s->virtualAddress);
    return Has(offset, size) ? offset : 0;
  }
  Directory Dir(uint32_t index) const { return index < directories.size() ? directories[index] : Directory{}; }
};

PeImage LoadImage(const char *path) {
  PeImage image;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    image.error = std::string("cannot open ") + path;
    return image;
  }
  image.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (!image.Has(0, 0x40) || image.bytes[0] != 'M' || image.bytes[1] != 'Z') {
    image.error = "no MZ header";
    return image;
  }
  const size_t pe = image.U32(kDosLfanew);
  if (!image.Has(pe, 4 + kCoffHeaderSize) || std::memcmp(&image.bytes[pe], "PE\0\0", 4) != 0) {
    image.error = "no PE signature";
    return image;
  }
  const size_t coff = pe + 4;
  image.machine = image.U16(coff + kCoffMachine);
  image.characteristics = image.U16(coff + kCoffCharacteristics);
  const size_t optSize = image.U16(coff + kCoffOptionalSize);
  const size_t opt = coff + kCoffHeaderSize;
  if (optSize < kOptDirectories || !image.Has(opt, optSize)) {
    image.error = "optional header truncated";
    return image;
  }
  image.magic = image.U16(opt + kOptMagic);
  image.entryPoint = image.U32(opt + kOptEntryPoint);
  image.subsystem = image.U16(opt + kOptSubsystem);
  const uint32_t dirCount = image.U32(opt + kOptDirectoryCount);
  for (uint32_t i = 0; i < dirCount && kOptDirectories + (i + 1) * 8 <= optSize; ++i) {
    image.directories.push_back({image.U32(opt + kOptDirectories + i * 8), image.U32(opt + kOptDirectories + i * 8 + 4)});
  }
  const size_t table = opt + optSize;
  const uint16_t sectionCount = image.U16(coff + kCoffSectionCount);
  if (!image.Has(table, size_t(sectionCount) * kSectionHeaderSize)) {
    image.error = "section table truncated";
    return image;
  }
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const size_t h = table + size_t(i) * kSectionHeaderSize;
    Section s;
    const char *name = reinterpret_cast<const char *>(&image.bytes[h]);
    s.name.assign(name, strnlen(name, 8));
    s.virtualSize = image.U32(h + kSectionVirtualSize);
    s.virtualAddress = image.U32(h + kSectionVirtualAddress);
    s.rawSize = image.U32(h + kSectionRawSize);
    s.rawPointer = image.U32(h + kSectionRawPointer);
    s.characteristics = image.U32(h + kSectionCharacteristics);
    image.sections.push_back(s);
  }
  return image;
}

// Checks shared by both images: what any UEFI x64 loader needs.
void ExpectLoadableEfiImage(const PeImage &image, uint16_t subsystem) {
  ASSERT_EQ(image.error, "");
  EXPECT_EQ(image.magic, kPe32PlusMagic);
  EXPECT_EQ(image.machine, kMachineX64);
  EXPECT_EQ(image.subsystem, subsystem);
  // The firmware places images anywhere: relocations must not have been stripped.
  EXPECT_EQ(image.characteristics & kRelocsStripped, 0);

  // Nothing is imported: firmware has no DLLs to bind.
  const Directory imports = image.Dir(kDirImport);
  EXPECT_TRUE(imports.rva == 0 || imports.size == 0) << "import directory at " << imports.rva;
  EXPECT_EQ(image.Dir(kDirTls).size, 0u) << "thread-local data is never set up by firmware";

  const Section *text = image.Named(".text");
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(text->Contains(image.entryPoint)) << "entry point " << image.entryPoint;
  EXPECT_NE(text->characteristics & kScnExecute, 0u);

  for (const Section &s : image.sections) {
    EXPECT_FALSE((s.characteristics & kScnExecute) && (s.characteristics & kScnWrite)) << s.name << " is W+X";
    EXPECT_NE(s.name.rfind(".CRT", 0), 0u) << "initializer section " << s.name;
    EXPECT_NE(s.name, ".tls");
    EXPECT_NE(s.name, ".idata");
  }
}

TEST(PeImage, DriverIsBootServiceDriverWithoutImports) {
  const PeImage image = LoadImage(ORVALE_EFI_IMAGE);
  ExpectLoadableEfiImage(image, kSubsystemEfiBootServiceDriver);
}

// The driver's static tables hold absolute pointers (the driver binding's
// functions, the name table), so a relocated load depends on DIR64 fix-ups.
TEST(PeImage, DriverRelocationsAreWellFormed) {
  const PeImage image = LoadImage(ORVALE_EFI_IMAGE);
  ASSERT_EQ(image.error, "");
  const Directory relocs = image.Dir(kDirBaseReloc);
  ASSERT_GT(relocs.size, 0u) << "no base relocations";
  const size_t start = image.FileOffset(relocs.rva, relocs.size);
  ASSERT_NE(start, 0u) << "relocation directory outside the section data";

  size_t dir64 = 0;
  uint32_t offset = 0;
  while (offset + 8 <= relocs.size) {
    const uint32_t pageRva = image.U32(start + offset);
    const uint32_t blockSize = image.U32(start + offset + 4);
    ASSERT_GE(blockSize, 8u);
    ASSERT_EQ(blockSize % 2, 0u);
    ASSERT_LE(blockSize, relocs.size - offset);
    for (uint32_t e = 8; e < blockSize; e += 2) {
      const uint16_t entry = image.U16(start + offset + e);
      const uint16_t type = entry >> 12;
      if (type == kRelBasedAbsolute) continue;  // padding
      ASSERT_EQ(type, kRelBasedDir64) << "only 64-bit fix-ups belong in an x64 image";
      const uint32_t target = pageRva + (entry & 0x0FFF);
      EXPECT_NE(image.SectionAt(target, 8), nullptr) << "fix-up outside every section at " << target;
      ++dir64;
    }
    offset += blockSize;
  }
  EXPECT_EQ(offset, relocs.size);
  EXPECT_GT(dir64, 0u);
}

TEST(PeImage, TestApplicationIsEfiApplication) {
  const PeImage image = LoadImage(ORVALE_EFI_APP_IMAGE);
  ExpectLoadableEfiImage(image, kSubsystemEfiApplication);
}

}  // namespace
