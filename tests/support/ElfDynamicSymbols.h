#pragma once
// Reads the symbols a 64-bit ELF module defines in its dynamic symbol table: the names the loader
// lets other modules and the host bind to. Throws std::runtime_error for a file that is not such
// a module.
//
//   for (const auto& symbol : DefinedDynamicSymbols(DevhostRunner::BinDir() / "Veltrane.so")) ...

#include <filesystem>
#include <string>
#include <vector>

namespace veltrane::test {

struct DynamicSymbol {
  std::string name;
  unsigned char binding = 0;  // STB_GLOBAL, STB_WEAK, STB_GNU_UNIQUE
  unsigned char type = 0;     // STT_FUNC, STT_OBJECT, ...
};

// Every symbol of .dynsym that the module defines (not an undefined reference) with a binding
// another module can see, in table order.
std::vector<DynamicSymbol> DefinedDynamicSymbols(const std::filesystem::path& module);

}  // namespace veltrane::test
