#include "ElfDynamicSymbols.h"

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

namespace veltrane::test {

namespace {

// A copy of a T at offset, after checking that the file holds it.
template <typename T>
T At(const std::string& image, std::uint64_t offset, const std::string& what) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) {
    throw std::runtime_error(what + " lies outside the file");
  }
  T value;
  std::memcpy(&value, image.data() + offset, sizeof(T));
  return value;
}

}  // namespace

std::vector<DynamicSymbol> DefinedDynamicSymbols(const std::filesystem::path& module) {
  std::ifstream file(module, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + module.string());
  const std::string image{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};

  const auto header = At<Elf64_Ehdr>(image, 0, "the ELF header");
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_ident[EI_DATA] != ELFDATA2LSB) {
    throw std::runtime_error(module.string() + " is not a 64-bit little-endian ELF file");
  }
  if (header.e_shentsize != sizeof(Elf64_Shdr)) {
    throw std::runtime_error(module.string() + " has section headers of an unknown size");
  }
  auto section = [&](std::uint64_t index) {
    if (index >= header.e_shnum) throw std::runtime_error("a section index is out of range");
    return At<Elf64_Shdr>(image, header.e_shoff + index * sizeof(Elf64_Shdr), "a section header");
  };

  for (std::uint64_t index = 0; index < header.e_shnum; ++index) {
    const Elf64_Shdr table = section(index);
    if (table.sh_type != SHT_DYNSYM) continue;
    const Elf64_Shdr names = section(table.sh_link);
    if (names.sh_offset > image.size() || image.size() - names.sh_offset < names.sh_size) {
      throw std::runtime_error("the dynamic string table lies outside the file");
    }
    const std::string_view strings(image.data() + names.sh_offset, names.sh_size);

    std::vector<DynamicSymbol> defined;
    for (std::uint64_t offset = 0; offset + sizeof(Elf64_Sym) <= table.sh_size;
         offset += sizeof(Elf64_Sym)) {
      const auto symbol = At<Elf64_Sym>(image, table.sh_offset + offset, "a dynamic symbol");
      const unsigned char binding = ELF64_ST_BIND(symbol.st_info);
      if (symbol.st_shndx == SHN_UNDEF || binding == STB_LOCAL) continue;
      if (symbol.st_name >= strings.size())
        throw std::runtime_error("a symbol name is out of range");
      const std::string_view rest = strings.substr(symbol.st_name);
      defined.push_back({std::string(rest.substr(0, rest.find('\0'))), binding,
                         static_cast<unsigned char>(ELF64_ST_TYPE(symbol.st_info))});
    }
    return defined;
  }
  throw std::runtime_error(module.string() + " has no dynamic symbol table");
}

}  // namespace veltrane::test
