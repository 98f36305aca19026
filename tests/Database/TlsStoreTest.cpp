// The store on the sandbox's TLS-only server (scripts/sandbox-db tls), blocking and non-blocking:
// each TLS mode, the certificate checks, a plain connection the server refuses, and a user who
// needs the ed25519 client plugin. A connection that cannot meet its mode is an outage, logged
// with the library's reason.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "CapturingLogSink.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"
#include "support/SandboxDatabase.h"
#include "support/StoreModes.h"

namespace veltrane::test {
namespace {

namespace fs = std::filesystem;
using daotk::mysql::tls_mode;

std::string TlsServer(const char* what) {
  return RequireEnvironment((std::string("VELTRANE_TLS_DB_") + what).c_str(), "sandbox-db tls");
}

// The sandbox's plain server (scripts/sandbox-db), which has no TLS.
std::string PlainServer(const char* what) {
  return RequireEnvironment((std::string("VELTRANE_DB_") + what).c_str(), "sandbox-db");
}

enum class Ca { None, Right, Wrong };
enum class PluginFolder { Default, Holding, Lacking };

struct TlsCase {
  std::string name;
  tls_mode mode;
  Ca ca = Ca::Right;
  bool unnamed_host = false;  // an address of the server that its certificate does not name
  bool ed25519_user = false;
  bool plain_server = false;  // the sandbox's server without TLS
  PluginFolder plugins = PluginFolder::Default;
  // Empty: the store connects over TLS. Otherwise a piece of the library's reason in the log.
  std::string refusal = {};
};

void PrintTo(const TlsCase& row, std::ostream* out) { *out << row.name; }

// The rows with a folder lacking the plugin come first: the library keeps a plugin it has loaded
// for the rest of the process (ctest runs each case in a process of its own).
const std::vector<TlsCase> kCases = {
    {.name = "Ed25519PluginFolderLacksIt",
     .mode = tls_mode::required,
     .ca = Ca::None,
     .ed25519_user = true,
     .plugins = PluginFolder::Lacking,
     .refusal = "Plugin client_ed25519 could not be loaded"},
    {.name = "Required", .mode = tls_mode::required, .ca = Ca::None},
    {.name = "VerifyCa", .mode = tls_mode::verify_ca},
    {.name = "VerifyIdentity", .mode = tls_mode::verify_identity},
    {.name = "VerifyCaWithAWrongCa",
     .mode = tls_mode::verify_ca,
     .ca = Ca::Wrong,
     .refusal = "self-signed certificate in certificate chain"},
    {.name = "VerifyIdentityWithAWrongCa",
     .mode = tls_mode::verify_identity,
     .ca = Ca::Wrong,
     .refusal = "self-signed certificate in certificate chain"},
    {.name = "VerifyCaTakesACertificateNamingAnotherHost",
     .mode = tls_mode::verify_ca,
     .unnamed_host = true},
    {.name = "VerifyIdentityRefusesACertificateNamingAnotherHost",
     .mode = tls_mode::verify_identity,
     .unnamed_host = true,
     .refusal = "Validation of SSL server certificate failed"},
    // The library went on in clear with a server that offered no TLS, in these two modes.
    {.name = "RequiredNeverFallsBackToAServerWithoutTls",
     .mode = tls_mode::required,
     .ca = Ca::None,
     .plain_server = true,
     .refusal = "the server did not start TLS"},
    {.name = "VerifyCaNeverFallsBackToAServerWithoutTls",
     .mode = tls_mode::verify_ca,
     .plain_server = true,
     .refusal = "the server did not start TLS"},
    {.name = "DisabledIsRefusedByTheServer",
     .mode = tls_mode::disabled,
     .ca = Ca::None,
     .refusal = "Access denied"},
    {.name = "Ed25519PluginInTheLibrarysFolder",
     .mode = tls_mode::verify_identity,
     .ed25519_user = true},
    {.name = "Ed25519PluginInClientPluginDir",
     .mode = tls_mode::verify_identity,
     .ed25519_user = true,
     .plugins = PluginFolder::Holding},
};

class TlsStore : public ::testing::TestWithParam<std::tuple<TlsCase, bool>> {
 protected:
  void SetUp() override {
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // A folder of this case's own, with the ed25519 client plugin copied from the library's folder
  // or without it.
  std::string PluginFolderOf(PluginFolder plugins) {
    if (plugins == PluginFolder::Default) return {};
    folder_ = fs::temp_directory_path() / ("veltrane-plugins-" + std::to_string(::getpid()));
    fs::create_directories(folder_);
    if (plugins == PluginFolder::Holding)
      fs::copy_file(fs::path(VELTRANE_CLIENT_PLUGIN_DIR) / "client_ed25519.so",
                    folder_ / "client_ed25519.so");
    return folder_.string();
  }

  std::unique_ptr<MySql> OpenStore(const TlsCase& row, bool non_blocking) {
    daotk::mysql::connection_security security;
    security.tls = row.mode;
    if (row.ca != Ca::None) security.tls_ca = TlsServer(row.ca == Ca::Right ? "CA" : "WRONG_CA");
    security.client_plugin_dir = PluginFolderOf(row.plugins);
    const auto server = row.plain_server ? &PlainServer : &TlsServer;
    auto store =
        std::make_unique<MySql>(row.unnamed_host ? server("UNNAMED_HOST") : server("HOST"),
                                row.ed25519_user ? server("ED25519_USER") : server("USER"),
                                server("PASS"), server("NAME"), std::stoi(server("PORT")), 10,
                                CoolDownPolicy{}, &MySql::Clock::now, non_blocking, security);
    RunToEnd(*store, store->Connect());
    return store;
  }

  fs::path folder_;
};

TEST_P(TlsStore, ConnectsOnlyAsTheModeAllows) {
  const auto& [row, non_blocking] = GetParam();
  const std::unique_ptr<MySql> store = OpenStore(row, non_blocking);
  static_cast<void>(RunToEnd(*store, store->IsPlayerExist("EOS-TLS")));
  const StoreState state = store->State();
  if (row.refusal.empty()) {
    EXPECT_EQ(store->LastAnswer(), StoreAnswer::Known);
    EXPECT_EQ(state.connection, StoreState::Connection::Connected);
    EXPECT_TRUE(state.tls_version.starts_with("TLSv1.")) << state.tls_version;
    return;
  }
  // Never a weaker connection: the store could not ask, and the reason is the library's.
  EXPECT_EQ(store->LastAnswer(), StoreAnswer::CouldNotAsk);
  EXPECT_EQ(state.connection, StoreState::Connection::Unavailable);
  const std::vector<std::string> errors = CapturingLogSink::Instance()->Texts(spdlog::level::err);
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors.front().find(row.refusal), std::string::npos) << errors.front();
}

INSTANTIATE_TEST_SUITE_P(Modes, TlsStore,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto& info) {
                           return std::get<0>(info.param).name +
                                  (std::get<1>(info.param) ? "NonBlocking" : "Blocking");
                         });

}  // namespace
}  // namespace veltrane::test
