// What the built plugin module offers the process that loads it: its entry point and nothing else,
// so that neither the host nor another module can call into it or interpose its code.

#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/DevhostRunner.h"
#include "support/ElfDynamicSymbols.h"

namespace veltrane::test {
namespace {

std::vector<std::string> Names(const std::vector<DynamicSymbol>& symbols) {
  std::vector<std::string> names;
  names.reserve(symbols.size());
  for (const auto& symbol : symbols) names.push_back(symbol.name);
  return names;
}

bool HasBinding(const std::vector<DynamicSymbol>& symbols, unsigned char binding) {
  return std::any_of(symbols.begin(), symbols.end(),
                     [&](const DynamicSymbol& symbol) { return symbol.binding == binding; });
}

TEST(ModuleExports, ThePluginModuleDefinesDllMainAndNothingElse) {
  const auto symbols = DefinedDynamicSymbols(DevhostRunner::BinDir() / "Veltrane.so");
  ASSERT_EQ(Names(symbols), std::vector<std::string>{"DllMain"});
  EXPECT_EQ(symbols[0].binding, STB_GLOBAL);
  EXPECT_EQ(symbols[0].type, STT_FUNC);
}

// The reader finds what modules built without those precautions leak: a plain C function, and the
// weak template code and unique objects that library headers instantiate with default visibility.
TEST(ModuleExports, TheReaderSeesEveryKindOfExport) {
  EXPECT_EQ(Names(DefinedDynamicSymbols(DevhostRunner::BinDir() / "NoEntryModule.so")),
            std::vector<std::string>{"NoEntryModuleMarker"});

  const auto probe = DefinedDynamicSymbols(DevhostRunner::BinDir() / "ProbePlugin.so");
  const auto probe_names = Names(probe);
  EXPECT_NE(std::find(probe_names.begin(), probe_names.end(), "DllMain"), probe_names.end());
  EXPECT_TRUE(HasBinding(probe, STB_WEAK));
  EXPECT_TRUE(HasBinding(probe, STB_GNU_UNIQUE));

  EXPECT_THROW(DefinedDynamicSymbols(DevhostRunner::BinDir() / "no-such-module.so"),
               std::runtime_error);
  EXPECT_THROW(DefinedDynamicSymbols(VELTRANE_SOURCE_DIR "/config/config.json"),
               std::runtime_error);
}

}  // namespace
}  // namespace veltrane::test
