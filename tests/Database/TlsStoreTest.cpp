// The store on the sandbox's TLS-only server (scripts/sandbox-db tls), blocking and non-blocking:
// each TLS mode, the certificate checks, a plain connection the server refuses, and a user who
// needs the ed25519 client plugin, and faults of the network (FaultProxy). A connection that cannot
// meet its mode is an outage, logged with the library's reason. What the load refuses with the
// client library in use is not run; the table runs with the system's library and with Connector/C
// 3.4 (with-connector-c-3.4).

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "CapturingLogSink.h"
#include "Database/ClientLibrary.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"
#include "RefusingPort.h"
#include "support/FaultProxy.h"
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
// the plain server; the TLS server behind a proxy that takes TLS out of its greeting; a server that
// is down, then the TLS server.
enum class Server { Named, Unnamed, UnnamedThenNamed, Plain, Downgraded, DownThenNamed };
enum class User { Native, Ed25519 };
enum class Plugins { Default, Holding, Lacking };  // ClientPluginDir: none, or a folder of its own

struct TlsCase {
  std::string name;
  tls_mode mode;
  Ca ca;
  Server server;
  User user;
  Plugins plugins;
  // Empty: the store connects over TLS. Otherwise a piece of the library's reason in the log (or
  // of either library's: "3.3's|3.4's").
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
     Native, Default, "Validation of SSL server certificate failed|Hostname verification failed"},
    // The library went on in clear with a server that offered no TLS, in these two modes.
    {"RequiredNeverFallsBackToAServerWithoutTls", required, Ca::None, Plain, Native, Default,
     "the server did not start TLS"},
    {"VerifyCaNeverFallsBackToAServerWithoutTls", verify_ca, Ca::Right, Plain, Native, Default,
     "the server did not start TLS"},
    // The library answered a greeting without TLS with the login, in clear: nothing may cross.
    {"RequiredSendsNothingToAGreetingWithoutTls", required, Ca::None, Downgraded, Native, Default,
     "the server did not start TLS"},
    {"VerifyCaSendsNothingToAGreetingWithoutTls", verify_ca, Ca::Right, Downgraded, Native, Default,
     "the server did not start TLS"},
    {"VerifyIdentityOverAHostListTakesTheServerItsCertificateNames", verify_identity, Ca::Right,
     UnnamedThenNamed, Native, Default, ""},
    // Only the first server's reason ("Can't connect") was logged.
    {"EveryServerOfAHostListSaysWhyItWasRefused", verify_identity, Ca::Wrong, DownThenNamed, Native,
     Default, "self-signed certificate in certificate chain"},
    {"DisabledIsRefusedByTheServer", disabled, Ca::None, Named, Native, Default, "Access denied"},
    {"Ed25519PluginInTheLibrarysFolder", verify_identity, Ca::Right, Named, Ed25519, Default, ""},
    {"Ed25519PluginInClientPluginDir", verify_identity, Ca::Right, Named, Ed25519, Holding, ""},
};

// Whether an error line holds one of the alternatives ("a|b") of piece.
bool Logged(const std::string& piece) {
  const std::vector<std::string> errors = CapturingLogSink::Instance()->Texts(spdlog::level::err);
  for (std::size_t begin = 0, end = 0; end != std::string::npos; begin = end + 1) {
    end = piece.find('|', begin);
    for (const std::string& error : errors)
      if (error.find(piece.substr(begin, end - begin)) != std::string::npos) return true;
  }
  return false;
}

// The load's refusal of the mode with the client library in use; empty when it is allowed.
std::string RefusedAtLoad(tls_mode mode, bool non_blocking) {
  return TlsModeProblem(DescribeClientLibrary(), mode, non_blocking);
}

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
      fs::copy_file(fs::path(std::getenv("MARIADB_PLUGIN_DIR") ? std::getenv("MARIADB_PLUGIN_DIR")
                                                               : VELTRANE_CLIENT_PLUGIN_DIR) /
                        "client_ed25519.so",
                    folder_ / "client_ed25519.so");
    return folder_.string();
  }

  std::unique_ptr<MySql> OpenStore(const TlsCase& row, bool non_blocking) {
    daotk::mysql::connection_security security;
    security.tls = row.mode;
    if (row.ca != Ca::None) security.tls_ca = TlsServer(row.ca == Ca::Right ? "CA" : "WRONG_CA");
    security.client_plugin_dir = PluginFolderOf(row.plugins);
    const auto server = row.server == Plain ? &PlainServer : &TlsServer;
    std::string hosts = row.server == UnnamedThenNamed
                            ? server("UNNAMED_HOST") + "," + server("HOST")
                            : server(row.server == Unnamed ? "UNNAMED_HOST" : "HOST");
    if (row.server == Downgraded) {
      proxy_.SetGreetingFault(GreetingFault::NoTls);
      hosts = "127.0.0.1:" + std::to_string(proxy_.Port());
    }
    if (row.server == DownThenNamed)
      hosts = "127.0.0.1:" + std::to_string(down_.port()) + "," + hosts;
    auto store =
        std::make_unique<MySql>(hosts, server(row.user == Ed25519 ? "ED25519_USER" : "USER"),
                                server("PASS"), server("NAME"), std::stoi(server("PORT")), 10,
                                CoolDownPolicy{}, &MySql::Clock::now, non_blocking, security);
    RunToEnd(*store, store->Connect());
    return store;
  }

  fs::path folder_;
  FaultProxy proxy_{TlsServer("HOST"), std::stoi(TlsServer("PORT"))};
  RefusingPort down_;
};

TEST_P(TlsStore, ConnectsOnlyAsTheModeAllows) {
  const auto& [row, non_blocking] = GetParam();
  if (const std::string refused = RefusedAtLoad(row.mode, non_blocking); !refused.empty())
    GTEST_SKIP() << "the load refuses it: " << refused;
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
  EXPECT_TRUE(Logged(row.refusal)) << row.refusal;
  EXPECT_EQ(proxy_.ReceivedFromClients(), 0u) << "bytes crossed without TLS";
}

INSTANTIATE_TEST_SUITE_P(Modes, TlsStore,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto& info) {
                           return std::get<0>(info.param).name +
                                  (std::get<1>(info.param) ? "NonBlocking" : "Blocking");
                         });

class TlsStoreFault : public ::testing::TestWithParam<std::tuple<GreetingFault, bool>> {};

// After a connection through the proxy (whose address the certificate names), the server comes
// back without TLS, or with a handshake that stalls. The library's own reconnection failed its
// TLS check (2026), which read as "no such code": a player with a valid code was told InvalidCode
// and locked out, and no outage started.
TEST_P(TlsStoreFault, AFailedReconnectionIsAnOutageNeverANo) {
  const auto [fault, non_blocking] = GetParam();
  PluginLog::Init("Veltrane");
  if (!RefusedAtLoad(verify_identity, non_blocking).empty()) GTEST_SKIP() << "the load refuses it";
  FaultProxy proxy(TlsServer("HOST"), std::stoi(TlsServer("PORT")));
  MySql::Clock::time_point now = MySql::Clock::now();  // the cool-downs' clock
  MySql store("127.0.0.1:" + std::to_string(proxy.Port()), TlsServer("USER"), TlsServer("PASS"),
              TlsServer("NAME"), 0, 10, CoolDownPolicy{}, [&now] { return now; }, non_blocking,
              {verify_identity, TlsServer("CA"), {}});
  RunToEnd(store, store.Connect());
  const auto asked = [&store] {
    int row_id = 0;
    return RunToEnd(store, store.IsCodeExist("CODE-TLS", row_id)).answer;
  };
  ASSERT_EQ(asked(), StoreAnswer::Known);
  proxy.SetGreetingFault(fault);
  proxy.DropConnections();
  EXPECT_NE(asked(), StoreAnswer::Known);
  now += std::chrono::minutes(1);
  EXPECT_EQ(asked(), StoreAnswer::CouldNotAsk);  // a connection of its own
  EXPECT_EQ(store.State().connection, StoreState::Connection::Unavailable);
  EXPECT_TRUE(fault != GreetingFault::NoTls ||
              Logged("the server does not support it|the server did not start TLS"));
  proxy.SetGreetingFault(GreetingFault::None);
  now += std::chrono::minutes(1);
  EXPECT_EQ(asked(), StoreAnswer::Known);
}

INSTANTIATE_TEST_SUITE_P(Faults, TlsStoreFault,
                         ::testing::Combine(::testing::Values(GreetingFault::NoTls,
                                                              GreetingFault::StallAfterIt),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == GreetingFault::NoTls
                                                  ? "WithoutTls"
                                                  : "Stalled") +
                                  (std::get<1>(info.param) ? "NonBlocking" : "Blocking");
                         });

}  // namespace
}  // namespace veltrane::test
