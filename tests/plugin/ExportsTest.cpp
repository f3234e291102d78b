// The built module exports exactly the two OpenFX entry points, and so does the same module built against
// headers whose OfxExport carries no visibility, as the standard's ofxCore.h defines it on Linux: reads the
// ELF dynamic symbol tables directly.

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string kModulePath = std::string(TREVANE_BUNDLE_DIR) + "/Contents/Linux-x86-64/OrvalisTrevane.ofx";

std::vector<char> readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename T>
T at(const std::vector<char> &bytes, size_t offset) {
  T value{};
  if (offset + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

// Names of the symbols the module defines and makes visible to the dynamic linker.
std::set<std::string> definedDynamicSymbols(const std::vector<char> &elf) {
  std::set<std::string> names;
  const auto header = at<Elf64_Ehdr>(elf, 0);
  for (int i = 0; i < header.e_shnum; ++i) {
    const auto section = at<Elf64_Shdr>(elf, header.e_shoff + static_cast<size_t>(i) * header.e_shentsize);
    if (section.sh_type != SHT_DYNSYM) continue;
    const auto strings =
        at<Elf64_Shdr>(elf, header.e_shoff + static_cast<size_t>(section.sh_link) * header.e_shentsize);
    for (size_t off = 0; off + sizeof(Elf64_Sym) <= section.sh_size; off += sizeof(Elf64_Sym)) {
      const auto sym = at<Elf64_Sym>(elf, section.sh_offset + off);
      const int binding = ELF64_ST_BIND(sym.st_info);
      const int visibility = ELF64_ST_VISIBILITY(sym.st_other);
      if (sym.st_shndx == SHN_UNDEF || sym.st_name == 0) continue;
      if (binding != STB_GLOBAL && binding != STB_WEAK) continue;
      if (visibility != STV_DEFAULT && visibility != STV_PROTECTED) continue;
      names.insert(std::string(elf.data() + strings.sh_offset + sym.st_name));
    }
  }
  return names;
}

TEST(ModuleExports, OnlyTheTwoOpenFxEntryPointsWhicheverHeaderDefinesOfxExport) {
  for (const std::string &path : {kModulePath, std::string(EXTERN_EXPORT_MODULE)}) {
    SCOPED_TRACE(path);
    const std::vector<char> elf = readFile(path);
    ASSERT_GT(elf.size(), sizeof(Elf64_Ehdr));
    ASSERT_EQ(0, std::memcmp(elf.data(), ELFMAG, SELFMAG));
    ASSERT_EQ(ELFCLASS64, elf[EI_CLASS]);
    EXPECT_EQ((std::set<std::string>{"OfxGetNumberOfPlugins", "OfxGetPlugin"}), definedDynamicSymbols(elf));
  }
}

TEST(ModuleExports, BundleHoldsTheIcon) {
  const std::vector<char> png = readFile(std::string(TREVANE_BUNDLE_DIR) +
                                         "/Contents/Resources/com.orvalis.trevane.ofx.png");
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(0, std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8));
}

}  // namespace
