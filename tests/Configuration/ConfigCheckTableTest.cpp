// Every row of the table of refused files (RefusedFiles.h) against the check itself: the exact
// refusal, or none for a file that is taken, and never a secret of the file in it. The rows about
// the file itself are read by ReadConfig from a folder of their own, as load and reload read it,
// with the devhost's core as the host in this process.

#include <gtest/gtest.h>

#include <stdexcept>

#include "Configuration/ConfigFile.h"
#include "Configuration/SettingsTable.h"
#include "DevHost.h"
#include "RefusedFiles.h"
#include "support/DevhostRunner.h"

namespace veltrane::test {
namespace {

// The running file the mistakes are applied to: the smallest that loads.
const nlohmann::json kRunning =
    nlohmann::json::parse(R"({"Settings": {"Discord": {}}, "Messages": {}, "Database": {}})");

// The TLS library that the row's client library names.
ClientLibraryInfo reported_library;

// The refusal's text, or "" when the file is taken. A refused read leaves the live document as
// it was.
std::string RefusalOf(const RefusedFile& row) {
  try {
    if (row.place == Place::Check) {
      CheckPlace place;
      reported_library = {row.client_version, row.tls_library};
      if (!row.tls_library.empty()) place.client_library = [] { return reported_library; };
      CheckConfig(ParseConfig(row.text(kRunning)), place);
      return "";
    }
    const DevhostRunner folder;  // a fresh server folder, for the host in this process
    devhost::DevHost::Get().root = folder.Root();
    if (!PlaceAt(folder.ConfigPath(), row, kRunning))
      throw std::logic_error("cannot place " + row.name);
    config = "before";
    try {
      static_cast<void>(ReadConfig());
    } catch (const std::runtime_error&) {
      EXPECT_EQ(config, "before");
      throw;
    }
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

class ConfigCheckTable : public ::testing::TestWithParam<RefusedFile> {};

TEST_P(ConfigCheckTable, RefusesWithTheExactReasonAndNoSecret) {
  const std::string refusal = RefusalOf(GetParam());
  EXPECT_EQ(refusal, GetParam().reason);
  for (const std::string& secret : kSecretFragments)
    EXPECT_EQ(refusal.find(secret), std::string::npos) << secret;
}

INSTANTIATE_TEST_SUITE_P(RefusedFiles, ConfigCheckTable, ::testing::ValuesIn(RefusedFiles()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace veltrane::test
