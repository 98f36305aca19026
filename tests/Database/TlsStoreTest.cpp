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
// The TLS server at the address its certificate names, at another one, or a host list of both;
// or the plain server.
enum class Server { Named, Unnamed, UnnamedThenNamed, Plain };
enum class User { Native, Ed25519 };
enum class Plugins { Default, Holding, Lacking };  // ClientPluginDir: none, or a folder of its own

struct TlsCase {
  std::string name;
  tls_mode mode;
  Ca ca;
  Server server;
  User user;
  Plugins plugins;
  // Empty: the store connects over TLS. Otherwise a piece of the library's reason in the log.
  std::string refusal;
};

void PrintTo(const TlsCase& row, std::ostream* out) { *out << row.name; }

using enum tls_mode;
using enum Server;
using enum User;
using enum Plugins;
// The rows with a folder lacking the plugin come first: the library keeps a plugin it has loaded
// for the rest of the process (ctest runs each case in a process of its own).
const std::vector<TlsCase> kCases = {
    {"Ed25519PluginFolderLacksIt", required, Ca::None, Named, Ed25519, Lacking,
     "Plugin client_ed25519 could not be loaded"},
    {"Required", required, Ca::None, Named, Native, Default, ""},
    {"VerifyCa", verify_ca, Ca::Right, Named, Native, Default, ""},
    {"VerifyIdentity", verify_identity, Ca::Right, Named, Native, Default, ""},
    {"VerifyCaWithAWrongCa", verify_ca, Ca::Wrong, Named, Native, Default,
     "self-signed certificate in certificate chain"},
    {"VerifyIdentityWithAWrongCa", verify_identity, Ca::Wrong, Named, Native, Default,
     "self-signed certificate in certificate chain"},
    {"VerifyCaTakesACertificateNamingAnotherHost", verify_ca, Ca::Right, Unnamed, Native, Default,
     ""},
    {"VerifyIdentityRefusesACertificateNamingAnotherHost", verify_identity, Ca::Right, Unnamed,
     Native, Default, "Validation of SSL server certificate failed"},
    // The library went on in clear with a server that offered no TLS, in these two modes.
    {"RequiredNeverFallsBackToAServerWithoutTls", required, Ca::None, Plain, Native, Default,
     "the server did not start TLS"},
    {"VerifyCaNeverFallsBackToAServerWithoutTls", verify_ca, Ca::Right, Plain, Native, Default,
     "the server did not start TLS"},
    {"VerifyIdentityOverAHostListTakesTheServerItsCertificateNames", verify_identity, Ca::Right,
     UnnamedThenNamed, Native, Default, ""},
    {"DisabledIsRefusedByTheServer", disabled, Ca::None, Named, Native, Default, "Access denied"},
    {"Ed25519PluginInTheLibrarysFolder", verify_identity, Ca::Right, Named, Ed25519, Default, ""},
    {"Ed25519PluginInClientPluginDir", verify_identity, Ca::Right, Named, Ed25519, Holding, ""},
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
  std::string PluginFolderOf(Plugins plugins) {
    if (plugins == Default) return {};
    folder_ = fs::temp_directory_path() / ("veltrane-plugins-" + std::to_string(::getpid()));
    fs::create_directories(folder_);
    if (plugins == Holding)
      fs::copy_file(fs::path(VELTRANE_CLIENT_PLUGIN_DIR) / "client_ed25519.so",
                    folder_ / "client_ed25519.so");
    return folder_.string();
  }

  std::unique_ptr<MySql> OpenStore(const TlsCase& row, bool non_blocking) {
    daotk::mysql::connection_security security;
    security.tls = row.mode;
    if (row.ca != Ca::None) security.tls_ca = TlsServer(row.ca == Ca::Right ? "CA" : "WRONG_CA");
    security.client_plugin_dir = PluginFolderOf(row.plugins);
    const auto server = row.server == Plain ? &PlainServer : &TlsServer;
    auto store = std::make_unique<MySql>(
        row.server == UnnamedThenNamed ? server("UNNAMED_HOST") + "," + server("HOST")
                                       : server(row.server == Unnamed ? "UNNAMED_HOST" : "HOST"),
        server(row.user == Ed25519 ? "ED25519_USER" : "USER"), server("PASS"), server("NAME"),
        std::stoi(server("PORT")), 10, CoolDownPolicy{}, &MySql::Clock::now, non_blocking,
        security);
    RunToEnd(*store, store->Connect());
    return store;
  }

  fs::path folder_;
};

TEST_P(TlsStore, ConnectsOnlyAsTheModeAllows) {
  const auto& [row, non_blocking] = GetParam();
  const std::unique_ptr<MySql> store = OpenStore(row, non_blocking);
  const Answered<bool> asked = RunToEnd(*store, store->IsPlayerExist("EOS-TLS"));
  const StoreState state = store->State();
  if (row.refusal.empty()) {
    EXPECT_EQ(asked.answer, StoreAnswer::Known);
    EXPECT_EQ(state.connection, StoreState::Connection::Connected);
    EXPECT_TRUE(state.tls_version.starts_with("TLSv1.")) << state.tls_version;
    return;
  }
  // Never a weaker connection: the store could not ask, and the reason is the library's.
  EXPECT_EQ(asked.answer, StoreAnswer::CouldNotAsk);
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
