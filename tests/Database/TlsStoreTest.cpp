// The store on the sandbox's TLS-only server (scripts/sandbox-db tls), blocking and non-blocking:
// each TLS mode, the certificate checks, a plain connection the server refuses, a user who needs
// the ed25519 client plugin, and the network's faults through the fault proxy: a greeting that
// offers no TLS, a handshake that stalls, a server that comes back without TLS. A connection that
// cannot meet its mode is an outage, logged with the library's reason. A combination that the
// load refuses with the client library in use is not run. Run once with the system's library and
// once with Connector/C 3.4 (with-connector-c-3.4).

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
// the plain server; the TLS server behind a proxy that clears the TLS offer from its greeting; a
// list of a server that is down and the TLS server.
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
  // None: the store connects over TLS. Otherwise a piece of each reason the log must give, with
  // the words of each library tried ("3.3's|3.4's").
  std::vector<std::string> refusals;
};

void PrintTo(const TlsCase& row, std::ostream* out) { *out << row.name; }

using enum tls_mode;
using enum Server;
using enum User;
using enum Plugins;
// The rows with a folder lacking the plugin come first: the library keeps a plugin it has loaded
// for the rest of the process (ctest runs each case in a process of its own).
const std::vector<TlsCase> kCases = {
    {"Ed25519PluginFolderLacksIt",
     required,
     Ca::None,
     Named,
     Ed25519,
     Lacking,
     {"Plugin client_ed25519 could not be loaded"}},
    {"Required", required, Ca::None, Named, Native, Default, {}},
    {"VerifyCa", verify_ca, Ca::Right, Named, Native, Default, {}},
    {"VerifyIdentity", verify_identity, Ca::Right, Named, Native, Default, {}},
    {"VerifyCaWithAWrongCa",
     verify_ca,
     Ca::Wrong,
     Named,
     Native,
     Default,
     {"self-signed certificate in certificate chain"}},
    {"VerifyIdentityWithAWrongCa",
     verify_identity,
     Ca::Wrong,
     Named,
     Native,
     Default,
     {"self-signed certificate in certificate chain"}},
    {"VerifyCaTakesACertificateNamingAnotherHost",
     verify_ca,
     Ca::Right,
     Unnamed,
     Native,
     Default,
     {}},
    {"VerifyIdentityRefusesACertificateNamingAnotherHost",
     verify_identity,
     Ca::Right,
     Unnamed,
     Native,
     Default,
     {"Validation of SSL server certificate failed|Hostname verification failed"}},
    // The library went on in clear with a server that offered no TLS, in these two modes.
    {"RequiredNeverFallsBackToAServerWithoutTls",
     required,
     Ca::None,
     Plain,
     Native,
     Default,
     {"the server did not start TLS"}},
    {"VerifyCaNeverFallsBackToAServerWithoutTls",
     verify_ca,
     Ca::Right,
     Plain,
     Native,
     Default,
     {"the server did not start TLS"}},
    // The library answered a greeting without TLS with the login in clear: nothing may cross.
    {"RequiredSendsNothingToAGreetingWithoutTls",
     required,
     Ca::None,
     Downgraded,
     Native,
     Default,
     {"the server did not start TLS"}},
    {"VerifyCaSendsNothingToAGreetingWithoutTls",
     verify_ca,
     Ca::Right,
     Downgraded,
     Native,
     Default,
     {"the server did not start TLS"}},
    {"VerifyIdentitySendsNothingToAGreetingWithoutTls",
     verify_identity,
     Ca::Right,
     Downgraded,
     Native,
     Default,
     {"the server did not start TLS"}},
    {"VerifyIdentityOverAHostListTakesTheServerItsCertificateNames",
     verify_identity,
     Ca::Right,
     UnnamedThenNamed,
     Native,
     Default,
     {}},
    // Only the first server's reason was logged.
    {"EveryServerOfAHostListSaysWhyItWasRefused",
     verify_identity,
     Ca::Wrong,
     DownThenNamed,
     Native,
     Default,
     {"Can't connect", "self-signed certificate in certificate chain"}},
    {"DisabledIsRefusedByTheServer", disabled, Ca::None, Named, Native, Default, {"Access denied"}},
    {"Ed25519PluginInTheLibrarysFolder", verify_identity, Ca::Right, Named, Ed25519, Default, {}},
    {"Ed25519PluginInClientPluginDir", verify_identity, Ca::Right, Named, Ed25519, Holding, {}},
};

// Whether one of the error lines holds one of piece's alternatives ("a|b").
bool Logged(const std::vector<std::string>& errors, const std::string& piece) {
  for (std::size_t begin = 0; begin <= piece.size();) {
    const std::size_t end = std::min(piece.find('|', begin), piece.size());
    const std::string alternative = piece.substr(begin, end - begin);
    for (const std::string& error : errors)
      if (error.find(alternative) != std::string::npos) return true;
    begin = end + 1;
  }
  return false;
}

// The library this process runs with: the one with-connector-c-3.4 names, when it does.
void ExpectTheLibraryAsked() {
  const char* expected = std::getenv("VELTRANE_EXPECTED_CLIENT_VERSION");
  if (expected != nullptr) {
    ASSERT_TRUE(DescribeClientLibrary().version.starts_with(expected));
  }
}

// What the load refuses with this library is never run.
std::string RefusedAtLoad(tls_mode mode, bool non_blocking) {
  return TlsModeProblem(DescribeClientLibrary(), mode, non_blocking);
}

// Where the ed25519 client plugin is copied from: the library's own folder.
std::string LibraryPluginFolder() {
  const char* chosen = std::getenv("MARIADB_PLUGIN_DIR");
  return chosen != nullptr ? chosen : VELTRANE_CLIENT_PLUGIN_DIR;
}

class TlsStore : public ::testing::TestWithParam<std::tuple<TlsCase, bool>> {
 protected:
  void SetUp() override {
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
    ExpectTheLibraryAsked();
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
      fs::copy_file(fs::path(LibraryPluginFolder()) / "client_ed25519.so",
                    folder_ / "client_ed25519.so");
    return folder_.string();
  }

  std::unique_ptr<MySql> OpenStore(const TlsCase& row, bool non_blocking) {
    daotk::mysql::connection_security security;
    security.tls = row.mode;
    if (row.ca != Ca::None) security.tls_ca = TlsServer(row.ca == Ca::Right ? "CA" : "WRONG_CA");
    security.client_plugin_dir = PluginFolderOf(row.plugins);
    const auto server = row.server == Plain ? &PlainServer : &TlsServer;
    std::string hosts = server(row.server == Unnamed ? "UNNAMED_HOST" : "HOST");
    if (row.server == UnnamedThenNamed) hosts = server("UNNAMED_HOST") + "," + server("HOST");
    if (row.server == Downgraded) {
      proxy_ = std::make_unique<FaultProxy>(server("HOST"), std::stoi(server("PORT")));
      proxy_->SetGreetingFault(GreetingFault::NoTls);
      hosts = "127.0.0.1:" + std::to_string(proxy_->Port());
    }
    if (row.server == DownThenNamed)
      hosts = "127.0.0.1:" + std::to_string(down_.port()) + "," + server("HOST");
    auto store =
        std::make_unique<MySql>(hosts, server(row.user == Ed25519 ? "ED25519_USER" : "USER"),
                                server("PASS"), server("NAME"), std::stoi(server("PORT")), 10,
                                CoolDownPolicy{}, &MySql::Clock::now, non_blocking, security);
    RunToEnd(*store, store->Connect());
    return store;
  }

  fs::path folder_;
  std::unique_ptr<FaultProxy> proxy_;
  RefusingPort down_;
};

TEST_P(TlsStore, ConnectsOnlyAsTheModeAllows) {
  const auto& [row, non_blocking] = GetParam();
  if (const std::string refused = RefusedAtLoad(row.mode, non_blocking); !refused.empty())
    GTEST_SKIP() << "the load refuses it: " << refused;
  const std::unique_ptr<MySql> store = OpenStore(row, non_blocking);
  static_cast<void>(RunToEnd(*store, store->IsPlayerExist("EOS-TLS")));
  const StoreState state = store->State();
  if (row.refusals.empty()) {
    EXPECT_EQ(store->LastAnswer(), StoreAnswer::Known);
    EXPECT_EQ(state.connection, StoreState::Connection::Connected);
    EXPECT_TRUE(state.tls_version.starts_with("TLSv1.")) << state.tls_version;
    return;
  }
  // Never a weaker connection: the store could not ask, and the reason is the library's.
  EXPECT_EQ(store->LastAnswer(), StoreAnswer::CouldNotAsk);
  EXPECT_EQ(state.connection, StoreState::Connection::Unavailable);
  const std::vector<std::string> errors = CapturingLogSink::Instance()->Texts(spdlog::level::err);
  for (const std::string& piece : row.refusals)
    EXPECT_TRUE(Logged(errors, piece)) << piece << " in " << ::testing::PrintToString(errors);
  if (proxy_) {
    EXPECT_EQ(proxy_->ReceivedFromClients(), 0u) << "bytes crossed without TLS";
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, TlsStore,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto& info) {
                           return std::get<0>(info.param).name +
                                  (std::get<1>(info.param) ? "NonBlocking" : "Blocking");
                         });

// The network's faults after the store has connected with VERIFY_IDENTITY through the proxy,
// whose address the certificate names. The cool-downs run on a clock the test moves.
class TlsStoreFaults : public ::testing::TestWithParam<bool> {
 protected:
  static constexpr CoolDownPolicy kCoolDown{std::chrono::seconds(1), std::chrono::seconds(2)};

  void SetUp() override {
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
    ExpectTheLibraryAsked();
    if (const std::string refused = RefusedAtLoad(tls_mode::verify_identity, GetParam());
        !refused.empty())
      GTEST_SKIP() << "the load refuses it: " << refused;
  }

  std::unique_ptr<MySql> OpenStore() {
    daotk::mysql::connection_security security;
    security.tls = tls_mode::verify_identity;
    security.tls_ca = TlsServer("CA");
    auto store = std::make_unique<MySql>(
        "127.0.0.1:" + std::to_string(proxy_.Port()), TlsServer("USER"), TlsServer("PASS"),
        TlsServer("NAME"), 0, 10, kCoolDown, [this] { return now_; }, GetParam(), security);
    RunToEnd(*store, store->Connect());
    return store;
  }

  // Whether a code is there, and what the store knew of it.
  static StoreAnswer AskForACode(MySql& store) {
    int row_id = 0;
    static_cast<void>(RunToEnd(store, store.IsCodeExist("CODE-TLS", row_id)));
    return store.LastAnswer();
  }

  void WaitOutCoolDown() { now_ += kCoolDown.longest + std::chrono::milliseconds(100); }

  FaultProxy proxy_{TlsServer("HOST"), std::stoi(TlsServer("PORT"))};
  MySql::Clock::time_point now_ = MySql::Clock::now();
};

TEST_P(TlsStoreFaults, AHandshakeThatStallsIsAnOutageAndTheStoreComesBack) {
  const std::unique_ptr<MySql> store = OpenStore();
  ASSERT_EQ(AskForACode(*store), StoreAnswer::Known);
  proxy_.SetGreetingFault(GreetingFault::StallAfterIt);
  proxy_.DropConnections();
  EXPECT_NE(AskForACode(*store), StoreAnswer::Known);
  WaitOutCoolDown();
  EXPECT_EQ(AskForACode(*store), StoreAnswer::CouldNotAsk);  // the connection's handshake stalls
  EXPECT_EQ(store->State().connection, StoreState::Connection::Unavailable);
  EXPECT_FALSE(CapturingLogSink::Instance()->Texts(spdlog::level::err).empty());

  proxy_.SetGreetingFault(GreetingFault::None);
  WaitOutCoolDown();
  EXPECT_EQ(AskForACode(*store), StoreAnswer::Known);
  EXPECT_TRUE(store->State().tls_version.starts_with("TLSv1.")) << store->State().tls_version;
}

// The library's own reconnection failed its TLS check (2026), which read as "no such code": a
// player with a valid one was told InvalidCode and locked out, and no outage started.
TEST_P(TlsStoreFaults, AServerBackWithoutTlsIsAnOutageNeverANo) {
  const std::unique_ptr<MySql> store = OpenStore();
  ASSERT_EQ(AskForACode(*store), StoreAnswer::Known);
  proxy_.SetTarget(PlainServer("HOST"), std::stoi(PlainServer("PORT")));
  proxy_.DropConnections();
  EXPECT_NE(AskForACode(*store), StoreAnswer::Known);
  EXPECT_EQ(store->State().connection, StoreState::Connection::Unavailable);
  const std::vector<std::string> errors = CapturingLogSink::Instance()->Texts(spdlog::level::err);
  EXPECT_TRUE(Logged(errors,
                     "the server does not support it|the server did not start TLS|"
                     "Lost connection"))
      << ::testing::PrintToString(errors);

  proxy_.SetTarget(TlsServer("HOST"), std::stoi(TlsServer("PORT")));
  WaitOutCoolDown();
  EXPECT_EQ(AskForACode(*store), StoreAnswer::Known);
}

INSTANTIATE_TEST_SUITE_P(StoreModes, TlsStoreFaults, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "NonBlocking" : "Blocking"; });

}  // namespace
}  // namespace veltrane::test
