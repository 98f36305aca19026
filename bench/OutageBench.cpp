// veltrane_outage_bench: how long the plugin holds the game thread while its database is far away
// or gone, with the database put behind a fault proxy (tests/support/FaultProxy). Runs the
// scenarios one after the other, first with a blocking store (Database.NonBlocking false: each
// statement waits inside the callback that needs it), then with a non-blocking one (the statements
// go on at the host's ticks, which the benchmark calls every 16 ms while it waits, as the game's
// loop does), and prints Markdown tables (scripts/bench-outage). The joins and an admin's unlink
// against a slow server come last in each mode, with the plugin loaded anew with the login's
// steps.
//
//   veltrane_outage_bench [--stall-seconds=60] [--delay-calls=30] [--root=DIR]
//   veltrane_outage_bench --tls [--delay-calls=30] [--root=DIR]
//
// With --tls it runs the TLS scenarios instead, against the sandbox's TLS server
// (VELTRANE_TLS_DB_*) with TlsMode VERIFY_IDENTITY and MysqlTimeout 3: the connection at load and
// link commands at +50 ms each way, a handshake that stalls after the server's greeting, and the
// network freezing during a statement, in both store modes.
//
// Needs VELTRANE_DB_HOST/PORT/USER/PASS of a sandbox server; works in a database of its own,
// veltrane_outage_bench, made afresh. Exits 1 when a scenario did not do what it must (a link
// lost, a row written twice or not refreshed, a reply lost or given twice), 2 when the run could
// not start.

#include <fmt/format.h>
#include <mysql.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <numeric>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "DevHost.h"
#include "GameThread.h"
#include "HostOutput.h"
#include "InProcessPlugin.h"
#include "Output.h"
#include "RawConnection.h"
#include "host/AsaApi.h"
#include "support/FaultProxy.h"

namespace veltrane::bench {
namespace {

using Clock = std::chrono::steady_clock;
using Callback = GameThread::Callback;
using StoreMode = InProcessPlugin::StoreMode;
using namespace std::chrono_literals;

constexpr char kDatabase[] = "veltrane_outage_bench";
constexpr int kMysqlTimeoutSeconds = 10;  // the default of the example configuration
constexpr int kLogoutsAtOnce = 70;        // a full server restarting
constexpr std::chrono::milliseconds kLogoutsAtOnceDelay{10};
constexpr std::chrono::milliseconds kJoinsDelay{50};
// How long the benchmark waits for a reply or a refresh before it calls it lost.
constexpr std::chrono::seconds kLongestWait{90};
constexpr double kLongestCallbackMs = 1.0;  // the non-blocking store's aim for any callback
constexpr double kLeastGameThreadRatio = 300;
constexpr int kLinkStatements = 3;          // a new player's link: two questions and the update
constexpr int kMostWaitingCommands = 1024;  // the plugin's bound on link commands waiting
// Veltrane.Unlink of one Discord id linked to this many EOS ids, every statement 3 s away.
constexpr int kUnlinkedEOSIds = 5;
constexpr std::chrono::milliseconds kSlowEachWay{1500};
// An admin command waits at most MysqlTimeout and one connection attempt, in all; its callback
// takes a few milliseconds of its own beside that wait (the command line read, the reply made).
constexpr double kAdminBoundMs = (kMysqlTimeoutSeconds + 3) * 1000.0;
constexpr double kAdminOwnWorkMs = 50;

struct Options {
  int stall_seconds = 60;
  int delay_calls = 30;
  bool tls = false;
  std::filesystem::path root = std::filesystem::temp_directory_path() / "veltrane-outage-bench";
};

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Longest(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

double Sum(const std::vector<double>& values) {
  return std::accumulate(values.begin(), values.end(), 0.0);
}

// Milliseconds with the digits that mean something at their size.
std::string Ms(double ms) {
  if (ms < 1) return fmt::format("{:.3f} ms", ms);
  if (ms < 10) return fmt::format("{:.2f} ms", ms);
  if (ms < 100) return fmt::format("{:.1f} ms", ms);
  return fmt::format("{:.0f} ms", ms);
}

// The longest callback's wall time, and the longest CPU time of any callback.
std::string LongestCall(const GameThread::Summary& summary) {
  return fmt::format("{} ({} CPU)", Ms(summary.longest.wall_ms), Ms(summary.longest_cpu_ms));
}

const char* YesNo(bool yes) { return yes ? "yes" : "no"; }

// One delay's figures in one mode.
struct DelayRun {
  std::vector<double> link_held;    // game thread: the command, and the ticks until his reply
  std::vector<double> link_reply;   // from the command to his reply
  std::vector<double> logout_held;  // game thread: the hook, and the ticks until the refresh
  std::vector<double> logout_done;  // from the hook to the refresh's end
  std::vector<double> raw_link, raw_logout;  // the same statements raw (blocking run only)
  GameThread::Summary command, hook, tick;
};

struct AtOnceRun {
  GameThread::Summary hook, tick;
  double all_refreshed_ms = 0;  // from the first logout to the last refresh's end
  std::uint64_t rows_refreshed = 0;
};

struct StallRun {
  std::vector<double> held;  // each action's callback
  GameThread::Summary command, hook, tick;
  std::vector<double> link_reply;
  std::size_t links = 0;
  std::size_t unavailable = 0;  // replies DatabaseUnavailable
};

struct QueuedRun {
  GameThread::Summary command, tick;
  std::size_t replies = 0;
  std::size_t unavailable = 0;
  double answered_ms = 0;  // from the first command to the last reply
};

// Players joining one after another, linked ones without the group and unlinked ones in turn.
struct JoinRun {
  std::vector<double> login;     // each hooked login's wall time
  std::vector<double> held;      // game thread: the login, and the ticks until it is answered
  std::vector<double> answered;  // from the login to the group given back or the reminder shown
  std::vector<double> ticks;     // ticks in between
  GameThread::Summary hook, tick;
};

// One player's action over TLS when the network fails him, and what the game thread gave it.
struct TlsFaultRun {
  double held_ms = 0;   // the command, and the ticks until his reply
  double reply_ms = 0;  // from the command to his reply
  GameThread::Summary callbacks;
  bool told_unavailable = false;
};

// An admin's Veltrane.Unlink against a slow server.
struct UnlinkRun {
  double held_ms = 0;  // the console command's callback
  bool deleted = false;
  int group_steps = 0;    // players whose group step was taken (in or not in the group)
  int could_not_say = 0;  // players whose group step the deadline cut
  bool outage = false;    // the store said unavailable afterwards
};

struct ModeRun {
  GameThread::Summary connection;  // non-blocking: the ticks of the load's connection
  // TLS: the load's connection at +50 ms each way; blocking, the load's wall time.
  GameThread::Summary far_connection;
  double far_load_ms = 0;
  TlsFaultRun stalled_handshake, frozen_statement;
  std::map<int, DelayRun> delays;  // by milliseconds each way
  AtOnceRun at_once;
  StallRun stall;
  QueuedRun queued;  // non-blocking only
  JoinRun joins;
  UnlinkRun unlink;
  UnlinkRun unlink_behind_login;  // non-blocking only: a login question under way first
};

class Scenarios {
 public:
  // mysql_timeout_seconds: the configuration's MysqlTimeout.
  Scenarios(const Options& options, const ServerAddress& server,
            int mysql_timeout_seconds = kMysqlTimeoutSeconds)
      : options_(options), server_(server), proxy_(server.host, server.port) {
    RawConnection admin(server_, "");
    admin.Run(fmt::format("DROP DATABASE IF EXISTS {}", kDatabase));
    admin.Run(fmt::format("CREATE DATABASE {} CHARACTER SET utf8mb4", kDatabase));
    admin_ = std::make_unique<RawConnection>(server_, kDatabase);

    ServerAddress through_proxy = server_;
    through_proxy.host = "127.0.0.1";
    through_proxy.port = proxy_.Port();
    std::filesystem::create_directories(options_.root);
    output_ = std::make_unique<HostOutput>();
    plugin_ = std::make_unique<InProcessPlugin>(
        options_.root, std::filesystem::path(VELTRANE_SOURCE_DIR) / "config" / "config.json",
        through_proxy, VELTRANE_PLUGIN_MODULE);
    plugin_->SetMysqlTimeout(mysql_timeout_seconds);
    through_proxy.unix_socket.clear();
    // TLS rows send no raw statements: a raw TLS session would not survive the plugin's unload.
    if (server.tls_ca.empty()) raw_ = std::make_unique<RawConnection>(through_proxy, kDatabase);
    devhost::PlayerProfile admin_profile;
    admin_profile.script_name = "admin";
    admin_profile.eos_id = u"eos-outage-admin";
    admin_player_ = &plugin_->Join(std::move(admin_profile));
  }

  std::ostream& Report() { return output_->Report(); }
  bool Failed() const { return failed_; }

  // The plugin loaded anew with a store of mode; a non-blocking one connects at the first ticks
  // (which also check the table, and create it in a fresh database), then refreshes one row: those
  // ticks are measured.
  void Load(StoreMode mode, bool login_steps = false) {
    std::cerr << (mode == StoreMode::Blocking ? "blocking store" : "non-blocking store")
              << (login_steps ? " with the login's steps\n" : "\n");
    plugin_->Use(kDatabase, mode, true, login_steps);
    AfterPluginLoad();
    mode_ = mode;
    game_.Forget();
    if (mode == StoreMode::NonBlocking) {
      // The first refresh needs its row, and a fresh database gets the table at the connection.
      const bool connected = game_.TickUntil(
          [&] {
            return Status().find("Database: connected") != std::string::npos &&
                   admin_->Run(fmt::format("SELECT COUNT(*) FROM information_schema.TABLES WHERE "
                                           "TABLE_SCHEMA = '{}' AND TABLE_NAME = 'player_discord'",
                                           kDatabase)) == 1;
          },
          Clock::now() + kLongestWait);
      if (!connected) throw std::runtime_error("the non-blocking store did not connect");
      Warm();
      if (!login_steps) Run().connection = game_.Of(Callback::Tick);
    }
  }

  // Players joining one after another with a delay added to every packet, the login hooked as
  // the development host's join calls it; the plugin loaded anew with the login's steps. A linked
  // player without the group is given it back; one not linked is reminded at the first tick
  // after the answer, which asks the store again.
  void Joins() {
    std::cerr << "joins at +" << kJoinsDelay.count() << " ms each way\n";
    Load(mode_, true);
    proxy_.SetDelay(kJoinsDelay, kJoinsDelay);
    JoinRun& run = Run().joins;
    game_.Forget();
    for (int i = 0; i < options_.delay_calls; ++i) {
      std::string eos_id;
      const bool linked = i % 2 == 0;
      if (!linked) eos_id = fmt::format("eos-outage-{:06}", ++players_made_);
      devhost::Player& player = linked ? NewLinkedPlayer(&eos_id) : Join(players_made_, eos_id);
      const std::string answer =
          linked ? "group-add eos=" + devhost::JsonText(eos_id) : ReplyMark(player);
      Jitter();
      output_->Clear();
      const std::size_t ticks_before = game_.Of(Callback::Tick).calls;
      const double held_before = game_.HeldEver();
      const Clock::time_point start = Clock::now();
      run.login.push_back(Login(player));
      const bool answered =
          game_.TickUntil([&] { return output_->CountLines(answer) > 0; }, start + kLongestWait);
      run.answered.push_back(Milliseconds(Clock::now() - start));
      run.held.push_back(game_.HeldEver() - held_before);
      run.ticks.push_back(double(game_.Of(Callback::Tick).calls - ticks_before));
      if (!answered || output_->CountLines(answer) != 1) {
        Fail(fmt::format("{} joining: {} {} times", player.profile.script_name,
                         linked ? "group given back" : "reminded", output_->CountLines(answer)));
      }
    }
    run.hook = game_.Of(Callback::Hook);
    run.tick = game_.Of(Callback::Tick);
    proxy_.SetDelay(0us, 0us);
  }

  // Veltrane.Unlink of one Discord id linked to kUnlinkedEOSIds EOS ids, with every statement 3 s
  // away; with a non-blocking store also while a linked player's login question (two statements)
  // is under way, which the command finishes first. The plugin loaded with the login's steps,
  // whose group step the unlink takes too.
  void SlowUnlink() {
    std::cerr << "Veltrane.Unlink against a slow server\n";
    Load(mode_, true);
    Run().unlink = UnlinkSlowly(false);
    if (mode_ == StoreMode::NonBlocking) Run().unlink_behind_login = UnlinkSlowly(true);
  }

  // The link command and the logout refresh with a delay added to every packet; with the blocking
  // store beside the same statements sent raw through the same proxy.
  void Delayed(const std::vector<std::chrono::milliseconds>& delays = {1ms, 10ms, 50ms}) {
    for (const std::chrono::milliseconds delay : delays) {
      std::cerr << "delay " << delay.count() << " ms each way\n";
      proxy_.SetDelay(delay, delay);
      DelayRun& run = Run().delays[int(delay.count())];
      game_.Forget();
      for (int i = 0; i < options_.delay_calls; ++i) {
        std::string code;
        std::string eos_id;
        devhost::Player& linking = NewLinkingPlayer(&code);
        devhost::Player& leaving = NewLinkedPlayer(&eos_id);
        const int n = players_made_;
        Jitter();
        LinkAndReply(linking, code, run.link_held, run.link_reply);
        Jitter();
        LogoutAndRefresh(leaving, eos_id, run.logout_held, run.logout_done);
        if (mode_ == StoreMode::Blocking && raw_) RawStatements(n, run);
      }
      run.command = game_.Of(Callback::Command);
      run.hook = game_.Of(Callback::Hook);
      run.tick = game_.Of(Callback::Tick);
      if (mode_ != StoreMode::Blocking) continue;
      blocking_rows_.push_back(fmt::format(
          "| +{} ms each way: link command (3 statements) | plugin {:.1f} ms, raw {:.1f} ms "
          "(median of {}) | about one round trip per statement |",
          delay.count(), Median(run.link_held), Median(run.raw_link), options_.delay_calls));
      blocking_rows_.push_back(fmt::format(
          "| +{} ms each way: logout refresh (3 statements) | plugin {:.1f} ms, raw {:.1f} ms "
          "(median of {}) | about one round trip per statement |",
          delay.count(), Median(run.logout_held), Median(run.raw_logout), options_.delay_calls));
    }
    proxy_.SetDelay(0us, 0us);
  }

  // A full server's players logging out at once, with a delay added to every packet.
  void LogoutsAtOnce() {
    std::cerr << kLogoutsAtOnce << " logouts at once\n";
    proxy_.SetDelay(kLogoutsAtOnceDelay, kLogoutsAtOnceDelay);
    std::vector<devhost::Player*> leaving;
    std::vector<std::string> eos_ids(kLogoutsAtOnce);
    for (std::string& eos_id : eos_ids) leaving.push_back(&NewLinkedPlayer(&eos_id));
    Warm();
    const std::uint64_t refreshes_before = RefreshesSinceLoad();
    game_.Forget();
    const Clock::time_point start = Clock::now();
    for (devhost::Player* player : leaving) Logout(*player);
    const bool all =
        game_.TickUntil([&] { return RefreshesSinceLoad() >= refreshes_before + kLogoutsAtOnce; },
                        start + kLongestWait);
    AtOnceRun& run = Run().at_once;
    run.all_refreshed_ms = Milliseconds(Clock::now() - start);
    run.hook = game_.Of(Callback::Hook);
    run.tick = game_.Of(Callback::Tick);
    std::string listed;
    for (const std::string& eos_id : eos_ids)
      listed += (listed.empty() ? "'" : ", '") + eos_id + "'";
    run.rows_refreshed = admin_->Run(fmt::format(
        "SELECT COUNT(*) FROM player_discord WHERE code = 'Updated' AND eos_id IN ({})", listed));
    if (!all || run.rows_refreshed != std::uint64_t(kLogoutsAtOnce)) {
      Fail(
          fmt::format("{} logouts at once: {} rows refreshed", kLogoutsAtOnce, run.rows_refreshed));
    }
    proxy_.SetDelay(0us, 0us);
  }

  // A full server's players sending link commands while the statement in front of them waits on a
  // stalled server, until the pending work holds as many as it takes; the statement's timeout
  // starts the outage, which answers every one of them. Non-blocking store; ends once the first
  // cool-down has passed.
  void QueuedAtTimeout() {
    std::cerr << kMostWaitingCommands << " link commands waiting in a stall\n";
    std::vector<devhost::Player*> linking;
    std::vector<std::string> codes(kLogoutsAtOnce);
    for (std::string& code : codes) linking.push_back(&NewLinkingPlayer(&code));
    devhost::Player& in_front = NewLinkedPlayer();
    Warm();
    output_->Clear();
    proxy_.SetStalled(true);
    game_.Forget();
    const Clock::time_point start = Clock::now();
    Logout(in_front);
    for (int i = 0; i < kMostWaitingCommands; ++i) {
      const std::size_t who = std::size_t(i % kLogoutsAtOnce);
      Link(*linking[who], codes[who]);
    }
    const auto replies = [&] { return output_->CountLines("notify "); };
    const bool answered = game_.TickUntil(
        [&] { return replies() >= std::size_t(kMostWaitingCommands); }, start + kLongestWait);
    QueuedRun& run = Run().queued;
    run.answered_ms = Milliseconds(Clock::now() - start);
    proxy_.SetStalled(false);
    run.command = game_.Of(Callback::Command);
    run.tick = game_.Of(Callback::Tick);
    run.replies = replies();
    run.unavailable = output_->CountLines(plugin_->PrintedMessageText("DatabaseUnavailable"));
    if (!answered || run.replies != std::size_t(kMostWaitingCommands)) {
      Fail(fmt::format("{} link commands waiting: {} replies", kMostWaitingCommands, run.replies));
    }
    game_.TickUntil(Clock::now() + 5500ms);  // the first cool-down
  }

  // The database refused (down), then back; blocking store.
  void RefusedThenBack() {
    std::cerr << "refused, then back\n";
    std::vector<devhost::Player*> linking;
    std::vector<std::string> codes(40);
    std::vector<devhost::Player*> leaving;
    for (std::string& code : codes) {
      linking.push_back(&NewLinkingPlayer(&code));
      leaving.push_back(&NewLinkedPlayer());
    }
    Warm();
    proxy_.SetRefusing(true);
    proxy_.DropConnections();
    std::vector<double> held;
    for (std::size_t i = 0; i < codes.size(); ++i) {
      held.push_back(Link(*linking[i], codes[i]));
      held.push_back(Logout(*leaving[i]));
    }
    // The first action meets the dropped connection; all after it the cool-down.
    const double first = held.front();
    const std::vector<double> during(held.begin() + 1, held.end());
    blocking_rows_.push_back(fmt::format(
        "| refused (server down), {} actions | first {:.2f} ms, then median {:.3f} ms, longest "
        "{:.3f} ms | every action under 5 ms |",
        held.size(), first, Median(during), Longest(during)));
    if (Longest(held) >= 5) failed_ = true;

    proxy_.SetRefusing(false);
    std::this_thread::sleep_for(5500ms);  // the first cool-down
    output_->Clear();
    const double back = Link(*linking[0], codes[0]);
    const bool told = output_->CountLines(plugin_->PrintedMessageText("AccountLinked")) == 1;
    const std::uint64_t linked_twice = admin_->Run(
        "SELECT COUNT(*) FROM (SELECT eos_id FROM player_discord WHERE player_id <> 0 GROUP BY "
        "eos_id HAVING COUNT(*) > 1) AS twice");
    blocking_rows_.push_back(fmt::format(
        "| the server back, first link after the cool-down | {:.2f} ms, player told AccountLinked: "
        "{}, EOS ids on more than one linked row: {} | links normally, nothing twice |",
        back, YesNo(told), linked_twice));
    if (!told || linked_twice != 0) failed_ = true;
  }

  // The database stalled for stall_seconds, one player action a second, links and logouts
  // alternating. With a non-blocking store the game ticks all the while, and the stall lasts its
  // whole length; the replies still owed are waited for after it.
  void Stalled() {
    std::cerr << "stalled: " << options_.stall_seconds << " s\n";
    std::vector<devhost::Player*> linking;
    std::vector<std::string> codes(std::size_t(options_.stall_seconds));
    std::vector<devhost::Player*> leaving;
    for (int i = 0; i < options_.stall_seconds; ++i) {
      linking.push_back(&NewLinkingPlayer(&codes[std::size_t(i)]));
      leaving.push_back(&NewLinkedPlayer());
    }
    Warm();
    StallRun& run = Run().stall;
    struct Asked {
      devhost::Player* player;
      Clock::time_point at;
      bool replied = false;
    };
    std::vector<Asked> asked;
    // Notes the replies that have come; true when every player asked has his.
    const auto replies_come = [&] {
      const std::string text = output_->Text();
      const Clock::time_point now = Clock::now();
      bool all = true;
      for (Asked& one : asked) {
        if (!one.replied && text.find(ReplyMark(*one.player)) != std::string::npos) {
          one.replied = true;
          run.link_reply.push_back(Milliseconds(now - one.at));
        }
        all = all && one.replied;
      }
      return all;
    };
    const auto note_replies = [&] {
      replies_come();
      return false;
    };

    output_->Clear();
    proxy_.SetStalled(true);
    game_.Forget();
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < options_.stall_seconds; ++i) {
      const Clock::time_point due = start + std::chrono::seconds(i);
      if (mode_ == StoreMode::NonBlocking) {
        game_.TickUntil(note_replies, due);
      } else {
        std::this_thread::sleep_until(due);
      }
      const std::size_t who = std::size_t(i);
      if (i % 2 == 0) {
        asked.push_back({linking[who], Clock::now()});
        run.held.push_back(Link(*linking[who], codes[who]));
      } else {
        run.held.push_back(Logout(*leaving[who]));
      }
      replies_come();
    }
    if (mode_ == StoreMode::NonBlocking) {
      game_.TickUntil(note_replies, start + std::chrono::seconds(options_.stall_seconds));
    }
    proxy_.SetStalled(false);
    const bool all_replied = game_.TickUntil(replies_come, Clock::now() + kLongestWait);
    run.command = game_.Of(Callback::Command);
    run.hook = game_.Of(Callback::Hook);
    run.tick = game_.Of(Callback::Tick);
    run.links = asked.size();
    run.unavailable = output_->CountLines(plugin_->PrintedMessageText("DatabaseUnavailable"));
    std::size_t answered_twice = 0;
    for (const Asked& one : asked) {
      if (RepliesTo(*one.player) > 1) ++answered_twice;
    }
    if (!all_replied || answered_twice > 0) {
      Fail(fmt::format("stall: {} of {} link commands answered, {} of them more than once",
                       run.link_reply.size(), run.links, answered_twice));
    }
    if (mode_ == StoreMode::Blocking) {
      const std::size_t long_calls = std::size_t(
          std::count_if(run.held.begin(), run.held.end(), [](double ms) { return ms >= 5; }));
      blocking_rows_.push_back(fmt::format(
          "| stalled {} s, one action a second ({} actions) | {:.0f} ms in total, longest {:.0f} "
          "ms; {} actions above 5 ms | at most 2 x {} s + one 3 s reconnection per cool-down |",
          options_.stall_seconds, run.held.size(), Sum(run.held), Longest(run.held), long_calls,
          kMysqlTimeoutSeconds));
    }
  }

  // TLS: the plugin loaded anew while every packet takes 50 ms each way, so that its connection
  // (the TLS handshake among it) crosses the network: inside the load with a blocking store, at
  // the first ticks after it with a non-blocking one.
  void TlsConnectionFarAway() {
    std::cerr << "TLS: connecting at +50 ms each way\n";
    proxy_.SetDelay(50ms, 50ms);
    game_.Forget();
    const Clock::time_point start = Clock::now();
    plugin_->LoadAnew();
    Run().far_load_ms = Milliseconds(Clock::now() - start);
    AfterPluginLoad();
    if (mode_ == StoreMode::NonBlocking &&
        !game_.TickUntil([&] { return Status().find("Database: connected") != std::string::npos; },
                         Clock::now() + kLongestWait)) {
      Fail("TLS: the non-blocking store did not connect at +50 ms");
    }
    Run().far_connection = game_.Of(Callback::Tick);
    proxy_.SetDelay(0us, 0us);
    Warm();
  }

  // TLS: the handshake stalls after the server's greeting. The first command meets the dropped
  // connection and starts the outage; the one measured comes after the cool-down and connects
  // anew, into the stall: it must be answered DatabaseUnavailable at the connection's timeout.
  void TlsStalledHandshake() {
    std::cerr << "TLS: handshake stalled after the greeting\n";
    std::string first_code, code;
    devhost::Player& first = NewLinkingPlayer(&first_code);
    devhost::Player& player = NewLinkingPlayer(&code);
    Warm();
    proxy_.SetGreetingFault(test::GreetingFault::StallAfterIt);
    proxy_.DropConnections();
    Link(first, first_code);
    game_.TickUntil([&] { return RepliesTo(first) > 0; }, Clock::now() + kLongestWait);
    game_.TickUntil(Clock::now() + 5500ms);  // the first cool-down
    Run().stalled_handshake = TlsFault(player, code);
    proxy_.SetGreetingFault(test::GreetingFault::None);
    proxy_.ReleaseHeld();
    proxy_.DropConnections();
    Recover();
  }

  // TLS: the network freezes while the link's first statement is on its way (the proxy forwards
  // nothing, in either direction, and accepts nothing), until the statement's timeout ends the
  // wait and the connection is closed.
  void TlsFrozenStatement() {
    std::cerr << "TLS: the network freezes during a statement\n";
    std::string code;
    devhost::Player& player = NewLinkingPlayer(&code);
    Warm();
    proxy_.SetStalled(true);
    Run().frozen_statement = TlsFault(player, code);
    proxy_.SetStalled(false);
    proxy_.DropConnections();
    Recover();
  }

  void PrintTlsTable() {
    const ModeRun& off = Run(StoreMode::Blocking);
    const ModeRun& on = Run(StoreMode::NonBlocking);
    const auto met = [](const GameThread::Summary& summary) {
      if (summary.longest.wall_ms <= kLongestCallbackMs) return std::string("yes");
      if (summary.longest_cpu_ms <= kLongestCallbackMs)
        return std::string("no in wall time, yes in CPU time (the core was taken away)");
      return std::string("no");
    };
    const auto above = [](const GameThread::Summary& summary) {
      return fmt::format("{} of {} callbacks above 1 ms ({} in CPU time)", summary.above_one_ms,
                         summary.calls, summary.above_one_ms_cpu);
    };
    Report() << "| Scenario | `NonBlocking` off: game thread held | `NonBlocking` on: longest "
                "callback (CPU time), game thread in all | Target with it on | Met |\n"
             << "|---|---|---|---|---|\n";
    Report() << fmt::format(
        "| the process's first TLS connection, at the load (no delay), and the table's check | "
        "(not measured) | longest tick {}, {} over {} ticks; {} | no callback above 1 ms | {} "
        "|\n",
        LongestCall(on.connection), Ms(on.connection.total_ms), on.connection.calls,
        above(on.connection), met(on.connection));
    Report() << fmt::format(
        "| the load's connection at +50 ms each way (TCP, greeting, TLS handshake, login, the "
        "session's settings and question, the table's check) | the load {} | longest tick {}, "
        "{} over {} ticks; {} | no callback above 1 ms | {} |\n",
        Ms(off.far_load_ms), LongestCall(on.far_connection), Ms(on.far_connection.total_ms),
        on.far_connection.calls, above(on.far_connection), met(on.far_connection));
    const auto far_off = off.delays.find(50);
    const auto far_on = on.delays.find(50);
    if (far_off != off.delays.end() && far_on != on.delays.end()) {
      GameThread::Summary link_callbacks = far_on->second.command;
      link_callbacks.Add(far_on->second.tick);
      Report() << fmt::format(
          "| +50 ms each way: link command (3 statements), {} players one after another | {} "
          "a command (longest {}) | longest callback {}, {} a command; reply after {}; {} | no "
          "callback above 1 ms | {} |\n",
          far_on->second.link_held.size(), Ms(Median(far_off->second.link_held)),
          Ms(Longest(far_off->second.link_held)), LongestCall(link_callbacks),
          Ms(Median(far_on->second.link_held)), Ms(Median(far_on->second.link_reply)),
          above(link_callbacks), met(link_callbacks));
    }
    const auto fault_row = [&](const char* scenario, const TlsFaultRun& blocking,
                               const TlsFaultRun& non_blocking) {
      Report() << fmt::format(
          "| {} | {}, reply DatabaseUnavailable: {} | longest callback {}, {} in all; reply "
          "DatabaseUnavailable: {} after {}; {} | no callback above 1 ms | {} |\n",
          scenario, Ms(blocking.held_ms), YesNo(blocking.told_unavailable),
          LongestCall(non_blocking.callbacks), Ms(non_blocking.held_ms),
          YesNo(non_blocking.told_unavailable), Ms(non_blocking.reply_ms),
          above(non_blocking.callbacks), met(non_blocking.callbacks));
    };
    fault_row("the handshake stalls after the server's greeting: a link command that connects",
              off.stalled_handshake, on.stalled_handshake);
    fault_row("the network freezes during a link command's statement, until its timeout (3 s)",
              off.frozen_statement, on.frozen_statement);
    Report().flush();
  }

  void PrintTables() {
    Report() << "With `NonBlocking` off (every statement waits inside the callback):\n\n"
             << "| Scenario | Game thread held | Target |\n|---|---|---|\n";
    for (const std::string& row : blocking_rows_) Report() << row << "\n";
    Report() << "\nBoth modes: the game thread's longest single callback (a command, a hook or, "
                "with `NonBlocking` on, a tick), the game thread's time per action, and the time "
                "from a player's command to his reply:\n\n"
             << "| Scenario | `NonBlocking` off | `NonBlocking` on | Target with it on | Met |\n"
             << "|---|---|---|---|---|\n";
    for (const std::string& row : BothModesRows()) Report() << row << "\n";
    Report().flush();
  }

 private:
  ModeRun& Run() { return runs_[std::size_t(mode_)]; }
  const ModeRun& Run(StoreMode mode) const { return runs_[std::size_t(mode)]; }

  void Fail(const std::string& what) {
    std::cerr << "veltrane_outage_bench: " << what << "\n";
    failed_ = true;
  }

  // Connector/C 3.4's connections of the process do not survive the end of the client library
  // (mysql_library_end), which the plugin's unload calls: the harness's own connection is made
  // anew after each load, and the old one is left unclosed, as closing it crashes.
  void AfterPluginLoad() {
    if (server_.tls_ca.empty()) return;
    static_cast<void>(admin_.release());
    admin_ = std::make_unique<RawConnection>(server_, kDatabase);
  }

  // One link command while the network fails: the command and every tick until his reply.
  TlsFaultRun TlsFault(devhost::Player& player, const std::string& code) {
    TlsFaultRun run;
    output_->Clear();
    game_.Forget();
    const double held_before = game_.HeldEver();
    const Clock::time_point start = Clock::now();
    Link(player, code);
    const bool replied =
        game_.TickUntil([&] { return RepliesTo(player) > 0; }, start + kLongestWait);
    run.reply_ms = Milliseconds(Clock::now() - start);
    run.held_ms = game_.HeldEver() - held_before;
    run.callbacks = game_.All();
    run.told_unavailable =
        output_->CountLines(plugin_->PrintedMessageText("DatabaseUnavailable")) == 1;
    if (!replied || !run.told_unavailable) {
      Fail(fmt::format("TLS: {} replied {}, DatabaseUnavailable {}: {}", player.profile.script_name,
                       YesNo(replied), YesNo(run.told_unavailable), output_->Text()));
    }
    return run;
  }

  // The outage over: every second, a linked player logs out, until his row is refreshed (the
  // cool-down has grown with each failed attempt).
  void Recover() {
    const Clock::time_point deadline = Clock::now() + kLongestWait;
    while (Clock::now() < deadline) {
      game_.TickUntil(Clock::now() + 1s);
      std::string eos_id;
      devhost::Player& player = NewLinkedPlayer(&eos_id);
      Logout(player);
      const std::string refreshed = fmt::format(
          "SELECT COUNT(*) FROM player_discord WHERE eos_id = '{}' AND code = 'Updated'", eos_id);
      if (game_.TickUntil([&] { return admin_->Run(refreshed) == 1; }, Clock::now() + 5s)) return;
    }
    Fail("TLS: the store did not come back after the fault");
  }

  // A player with a fresh code row of his own, joined.
  devhost::Player& NewLinkingPlayer(std::string* code_out) {
    const int n = ++players_made_;
    const std::string code = fmt::format("OUTAGE{:06}", n);
    admin_->Run(fmt::format(
        "INSERT INTO player_discord (eos_id, discord_id, code) VALUES ('0', 'd{}', '{}')", n,
        code));
    *code_out = code;
    return Join(n, fmt::format("eos-outage-{:06}", n));
  }
  // A player whose row is linked already, joined: his logout refreshes it.
  devhost::Player& NewLinkedPlayer(std::string* eos_id_out = nullptr) {
    const int n = ++players_made_;
    const std::string eos_id = fmt::format("eos-outage-{:06}", n);
    admin_->Run(
        fmt::format("INSERT INTO player_discord (eos_id, discord_id, player_id, code) "
                    "VALUES ('{}', 'd{}', {}, 'Linked')",
                    eos_id, n, n));
    if (eos_id_out != nullptr) *eos_id_out = eos_id;
    return Join(n, eos_id);
  }

  devhost::Player& Join(int n, const std::string& eos_id) {
    devhost::PlayerProfile profile;
    profile.script_name = fmt::format("p{}", n);
    profile.eos_id = std::u16string(eos_id.begin(), eos_id.end());
    profile.player_id = n;
    profile.character_name = AsaApi::Tools::Utf8Decode(fmt::format("Player {}", n));
    profile.tribe_name = u"Tribe";
    return plugin_->Join(std::move(profile));
  }

  // The callbacks, on the game thread; each gives its wall time.
  double Link(devhost::Player& player, const std::string& code) {
    FString line(AsaApi::Tools::Utf8Decode(plugin_->MessageText("LinkDiscordCmd") + " " + code));
    return game_.Call(Callback::Command, [&] { InProcessPlugin::Chat(player, line); }).wall_ms;
  }
  double Login(devhost::Player& player) {
    const InProcessPlugin::LoginFunction login = InProcessPlugin::LoginEntry();
    return game_
        .Call(Callback::Hook,
              [&] { login(InProcessPlugin::GameMode(), player.As<APlayerController>()); })
        .wall_ms;
  }
  double Logout(devhost::Player& player) {
    const InProcessPlugin::LogoutFunction logout = InProcessPlugin::LogoutEntry();
    return game_
        .Call(Callback::Hook,
              [&] { logout(InProcessPlugin::GameMode(), player.As<AController>()); })
        .wall_ms;
  }

  // How the host begins a notification to player: the link command's reply.
  static std::string ReplyMark(const devhost::Player& player) {
    return "notify " + player.profile.script_name + " ";
  }
  std::size_t RepliesTo(const devhost::Player& player) const {
    return output_->CountLines(ReplyMark(player));
  }

  // What Veltrane.Status tells an admin. Clears the host's output.
  std::string Status() {
    output_->Clear();
    FString status(u"Veltrane.Status");
    devhost::DevHost::Get().commands.DispatchConsole(admin_player_->As<AShooterPlayerController>(),
                                                     status);
    return output_->Text();
  }

  // The logout refreshes the plugin has finished since its load. Clears the host's output.
  std::uint64_t RefreshesSinceLoad() {
    const std::string text = Status();
    static const std::regex kCount(R"((\d+) logout refresh)");
    std::smatch found;
    if (!std::regex_search(text, found, kCount))
      throw std::runtime_error("Veltrane.Status told no logout refreshes: " + text);
    return std::stoull(found[1].str());
  }

  // A player's link command and his reply: inside the command with a blocking store, at a later
  // tick with a non-blocking one.
  void LinkAndReply(devhost::Player& player, const std::string& code, std::vector<double>& held,
                    std::vector<double>& reply) {
    output_->Clear();
    const double held_before = game_.HeldEver();
    const Clock::time_point start = Clock::now();
    Link(player, code);
    const bool replied =
        game_.TickUntil([&] { return RepliesTo(player) > 0; }, start + kLongestWait);
    reply.push_back(Milliseconds(Clock::now() - start));
    held.push_back(game_.HeldEver() - held_before);
    const bool linked = output_->CountLines(plugin_->PrintedMessageText("AccountLinked")) == 1;
    if (!replied || RepliesTo(player) != 1 || !linked) {
      Fail(fmt::format("{}: replied {}, replies {}, AccountLinked {}", player.profile.script_name,
                       YesNo(replied), RepliesTo(player), YesNo(linked)));
    }
  }

  // A linked player's logout and the refresh of his row: inside the hook with a blocking store,
  // over the ticks after it with a non-blocking one.
  void LogoutAndRefresh(devhost::Player& player, const std::string& eos_id,
                        std::vector<double>& held, std::vector<double>& done) {
    const std::uint64_t refreshes_before = RefreshesSinceLoad();
    const double held_before = game_.HeldEver();
    const Clock::time_point start = Clock::now();
    Logout(player);
    const bool refreshed = game_.TickUntil([&] { return RefreshesSinceLoad() > refreshes_before; },
                                           start + kLongestWait);
    done.push_back(Milliseconds(Clock::now() - start));
    held.push_back(game_.HeldEver() - held_before);
    const std::string code =
        admin_->Text(fmt::format("SELECT code FROM player_discord WHERE eos_id = '{}'", eos_id));
    if (!refreshed || code != "Updated") {
      Fail(fmt::format("{}: refreshed {}, code {}", eos_id, YesNo(refreshed), code));
    }
  }

  // The store's statements for a new player (three questions asked of an EOS id without a row are
  // two) and for a refresh, raw through the proxy.
  void RawStatements(int n, DelayRun& run) {
    const std::string raw_code = fmt::format("RAW{:06}", n);
    admin_->Run(fmt::format(
        "INSERT INTO player_discord (eos_id, discord_id, code) VALUES ('0', 'r{}', '{}')", n,
        raw_code));
    Clock::time_point start = Clock::now();
    raw_->Run(
        fmt::format("SELECT EXISTS (SELECT * FROM player_discord WHERE eos_id = 'raw-{}');", n));
    raw_->Run(
        fmt::format("SELECT EXISTS (SELECT * FROM player_discord WHERE code = '{}');", raw_code));
    raw_->Run(
        fmt::format("UPDATE player_discord SET eos_id = 'raw-{}', player_id = {}, "
                    "character_name = 'Raw', tribe_id = 0, tribe_name = '', code = "
                    "'Linked' WHERE code = '{}';",
                    n, n, raw_code));
    run.raw_link.push_back(Milliseconds(Clock::now() - start));
    start = Clock::now();
    raw_->Run(
        fmt::format("SELECT EXISTS (SELECT * FROM player_discord WHERE eos_id = 'raw-{}');", n));
    raw_->Run(fmt::format(
        "SELECT COUNT(*) FROM player_discord WHERE player_id <> 0 AND eos_id = 'raw-{}';", n));
    raw_->Run(
        fmt::format("UPDATE player_discord SET character_name = 'Raw', tribe_id = 0, "
                    "tribe_name = '', code = 'Updated' WHERE eos_id = 'raw-{}';",
                    n));
    run.raw_logout.push_back(Milliseconds(Clock::now() - start));
  }

  // One answered statement, so that a scenario starts connected and outside any outage.
  void Warm() {
    std::string eos_id;
    devhost::Player& player = NewLinkedPlayer(&eos_id);
    if (mode_ == StoreMode::Blocking) {
      for (int i = 0; i < 3; ++i) Logout(player);
      return;
    }
    std::vector<double> held, done;
    LogoutAndRefresh(player, eos_id, held, done);
  }

  UnlinkRun UnlinkSlowly(bool behind_login) {
    const std::string discord_id = fmt::format("9{:017}", ++players_made_);
    for (int i = 0; i < kUnlinkedEOSIds; ++i) {
      const int n = ++players_made_;
      admin_->Run(
          fmt::format("INSERT INTO player_discord (eos_id, discord_id, player_id, code) VALUES "
                      "('eos-outage-{:06}', '{}', {}, 'Linked')",
                      n, discord_id, n));
    }
    devhost::Player* joining = behind_login ? &NewLinkedPlayer() : nullptr;
    Warm();
    proxy_.SetDelay(kSlowEachWay, kSlowEachWay);
    if (joining != nullptr) Login(*joining);
    output_->Clear();
    FString line(AsaApi::Tools::Utf8Decode("Veltrane.Unlink " + discord_id));
    UnlinkRun run;
    run.held_ms = game_
                      .Call(Callback::Command,
                            [&] {
                              devhost::DevHost::Get().commands.DispatchConsole(
                                  admin_player_->As<AShooterPlayerController>(), line);
                            })
                      .wall_ms;
    const std::string reply = output_->Text();
    proxy_.SetDelay(0us, 0us);
    run.deleted = reply.find(fmt::format("{} links deleted", kUnlinkedEOSIds)) != std::string::npos;
    for (const char* taken : {"; not in group", "; removed from group"}) {
      for (std::size_t at = reply.find(taken); at != std::string::npos;
           at = reply.find(taken, at + 1))
        ++run.group_steps;
    }
    for (std::size_t at = reply.find("could not say"); at != std::string::npos;
         at = reply.find("could not say", at + 1))
      ++run.could_not_say;
    // What waits still goes on; then the store must answer as before, with no outage begun.
    game_.TickUntil(Clock::now() + 2s);
    run.outage = Status().find("unavailable") != std::string::npos;
    if (!run.deleted || run.outage || run.held_ms > kAdminBoundMs + kAdminOwnWorkMs) {
      Fail(fmt::format("Veltrane.Unlink against a slow server: held {}, deleted {}, outage {}",
                       Ms(run.held_ms), YesNo(run.deleted), YesNo(run.outage)));
    }
    return run;
  }

  // With a non-blocking store, a player's action comes at any moment between two ticks: the game
  // ticks on for a while first.
  void Jitter() {
    if (mode_ != StoreMode::NonBlocking) return;
    std::uniform_int_distribution<int> microseconds(0, 2 * 16000);
    game_.TickUntil(Clock::now() + std::chrono::microseconds(microseconds(random_)));
  }

  std::vector<std::string> BothModesRows() const {
    const ModeRun& off = Run(StoreMode::Blocking);
    const ModeRun& on = Run(StoreMode::NonBlocking);
    const double one_tick = Milliseconds(GameThread::kTickInterval);
    std::vector<std::string> rows;
    // Judged on wall time, which is what the game waits; a callback that took longer only because
    // the machine gave the core to another process is told apart.
    const auto met = [](const GameThread::Summary& summary) {
      if (summary.longest.wall_ms <= kLongestCallbackMs) return std::string("yes");
      if (summary.longest_cpu_ms <= kLongestCallbackMs)
        return std::string("no in wall time, yes in CPU time (the core was taken away)");
      return std::string("no");
    };
    const auto above = [](const GameThread::Summary& summary) {
      if (summary.above_one_ms == 0) return std::string();
      return fmt::format(", {} above 1 ms ({} in CPU time)", summary.above_one_ms,
                         summary.above_one_ms_cpu);
    };

    rows.push_back(fmt::format(
        "| the load: connecting and checking the table at the first ticks, then one refresh (no "
        "delay) | connects inside the load | longest tick {} over {} ticks | no callback above 1 "
        "ms | {} |",
        LongestCall(on.connection), on.connection.calls, met(on.connection)));

    for (const auto& [delay, blocking] : off.delays) {
      const auto found = on.delays.find(delay);
      if (found == on.delays.end()) continue;
      const DelayRun& non_blocking = found->second;
      GameThread::Summary link_callbacks = non_blocking.command;
      link_callbacks.Add(non_blocking.tick);
      const double round_trips = Median(blocking.raw_link);
      const auto replies_within = [&non_blocking](double ms) {
        return std::size_t(std::count_if(non_blocking.link_reply.begin(),
                                         non_blocking.link_reply.end(),
                                         [ms](double reply) { return reply <= ms; }));
      };
      const double allowed = round_trips + one_tick;
      const std::size_t in_time = replies_within(allowed);
      const bool replies_met = in_time == non_blocking.link_reply.size();
      // Each statement's answer is taken at the first tick after it came, and only then is the
      // next statement sent.
      const double tick_a_statement = round_trips + kLinkStatements * one_tick;
      rows.push_back(fmt::format(
          "| +{} ms each way: link command (3 statements), {} players one after another | held "
          "{} (longest {}); reply with it | longest callback {} (command {}, tick {}{}); game "
          "thread {} a command; reply after {} (longest {}); {} of {} within {}, {} within the "
          "round trips plus one tick a statement ({}) | no callback above 1 ms; reply within the "
          "round trips (raw {}) plus one tick: {} | callbacks {}; replies {} |",
          delay, blocking.link_held.size(), Ms(Median(blocking.link_held)),
          Ms(Longest(blocking.link_held)), LongestCall(link_callbacks),
          Ms(non_blocking.command.longest.wall_ms), Ms(non_blocking.tick.longest.wall_ms),
          above(link_callbacks), Ms(Median(non_blocking.link_held)),
          Ms(Median(non_blocking.link_reply)), Ms(Longest(non_blocking.link_reply)), in_time,
          non_blocking.link_reply.size(), Ms(allowed), replies_within(tick_a_statement),
          Ms(tick_a_statement), Ms(round_trips), Ms(allowed), met(link_callbacks),
          YesNo(replies_met)));

      GameThread::Summary logout_callbacks = non_blocking.hook;
      logout_callbacks.Add(non_blocking.tick);
      rows.push_back(fmt::format(
          "| +{} ms each way: logout refresh (3 statements), {} players one after another | held "
          "{} (longest {}) | longest callback {} (hook {}, tick {}{}); game thread {} a refresh; "
          "row refreshed after {} (longest {}) | no callback above 1 ms | {} |",
          delay, blocking.logout_held.size(), Ms(Median(blocking.logout_held)),
          Ms(Longest(blocking.logout_held)), LongestCall(logout_callbacks),
          Ms(non_blocking.hook.longest.wall_ms), Ms(non_blocking.tick.longest.wall_ms),
          above(logout_callbacks), Ms(Median(non_blocking.logout_held)),
          Ms(Median(non_blocking.logout_done)), Ms(Longest(non_blocking.logout_done)),
          met(logout_callbacks)));
    }

    const auto off_far = off.delays.find(50);
    const auto on_far = on.delays.find(50);
    if (off_far != off.delays.end() && on_far != on.delays.end()) {
      const double off_total = Sum(off_far->second.link_held) + Sum(off_far->second.logout_held);
      const double on_total = Sum(on_far->second.link_held) + Sum(on_far->second.logout_held);
      const double ratio = on_total > 0 ? off_total / on_total : 0;
      rows.push_back(fmt::format(
          "| +50 ms each way: game thread over all those link commands and refreshes ({} + {}) | "
          "{} | {} (commands, hooks and every tick while they waited) | at least {:.0f} times "
          "less | {:.0f} times less: {} |",
          on_far->second.link_held.size(), on_far->second.logout_held.size(), Ms(off_total),
          Ms(on_total), kLeastGameThreadRatio, ratio, YesNo(ratio >= kLeastGameThreadRatio)));
    }

    const JoinRun& off_joins = off.joins;
    const JoinRun& on_joins = on.joins;
    GameThread::Summary join_callbacks = on_joins.hook;
    join_callbacks.Add(on_joins.tick);
    rows.push_back(fmt::format(
        "| +{} ms each way: {} players join one after another, linked ones without the group and "
        "unlinked ones in turn (`RestoreGroupAtLogin`, a `LinkReminder` with no delay) | held {} "
        "a join (longest {}): the login, and the tick that reminds | login held {} (longest "
        "{}); longest callback {} (tick {}{}); game thread {} a join; group given back or "
        "reminder shown after {} (longest {}), {:.0f} ticks (longest {:.0f}) | every login well "
        "under 1 ms, no callback above 1 ms | {} |",
        kJoinsDelay.count(), on_joins.login.size(), Ms(Median(off_joins.held)),
        Ms(Longest(off_joins.held)), Ms(Median(on_joins.login)), Ms(Longest(on_joins.login)),
        LongestCall(join_callbacks), Ms(on_joins.tick.longest.wall_ms), above(join_callbacks),
        Ms(Median(on_joins.held)), Ms(Median(on_joins.answered)), Ms(Longest(on_joins.answered)),
        Median(on_joins.ticks), Longest(on_joins.ticks), met(join_callbacks)));

    const AtOnceRun& off_once = off.at_once;
    const AtOnceRun& on_once = on.at_once;
    rows.push_back(fmt::format(
        "| {} linked players logging out at once, +{} ms each way | hooks held {} in total "
        "(longest {}); {} of {} rows refreshed | game thread {}: hooks {} (longest {}), {} ticks "
        "{} (longest {}{}); all refreshed {} after the first logout; {} of {} rows refreshed | "
        "all rows refreshed, no tick above 1 ms | {} |",
        kLogoutsAtOnce, kLogoutsAtOnceDelay.count(), Ms(off_once.hook.total_ms),
        Ms(off_once.hook.longest.wall_ms), off_once.rows_refreshed, kLogoutsAtOnce,
        Ms(on_once.hook.total_ms + on_once.tick.total_ms), Ms(on_once.hook.total_ms),
        Ms(on_once.hook.longest.wall_ms), on_once.tick.calls, Ms(on_once.tick.total_ms),
        LongestCall(on_once.tick), above(on_once.tick), Ms(on_once.all_refreshed_ms),
        on_once.rows_refreshed, kLogoutsAtOnce,
        on_once.rows_refreshed == std::uint64_t(kLogoutsAtOnce) ? met(on_once.tick)
                                                                : std::string("no")));

    const StallRun& off_stall = off.stall;
    const StallRun& on_stall = on.stall;
    GameThread::Summary stall_callbacks = on_stall.command;
    stall_callbacks.Add(on_stall.hook);
    stall_callbacks.Add(on_stall.tick);
    rows.push_back(fmt::format(
        "| stalled {} s, one action a second, link commands and logouts alternating | held {} in "
        "total, longest {}; {} link replies (DatabaseUnavailable {}) after median {}, longest {} "
        "| longest callback {} (command {}, hook {}, tick {} over {} ticks{}); game thread {}; "
        "{} link replies (DatabaseUnavailable {}) after median {}, longest {} | no callback "
        "above 1 ms | {} |",
        options_.stall_seconds, Ms(Sum(off_stall.held)), Ms(Longest(off_stall.held)),
        off_stall.link_reply.size(), off_stall.unavailable, Ms(Median(off_stall.link_reply)),
        Ms(Longest(off_stall.link_reply)), LongestCall(stall_callbacks),
        Ms(on_stall.command.longest.wall_ms), Ms(on_stall.hook.longest.wall_ms),
        Ms(on_stall.tick.longest.wall_ms), on_stall.tick.calls, above(stall_callbacks),
        Ms(stall_callbacks.total_ms), on_stall.link_reply.size(), on_stall.unavailable,
        Ms(Median(on_stall.link_reply)), Ms(Longest(on_stall.link_reply)), met(stall_callbacks)));

    const auto unlinked = [](const UnlinkRun& run) {
      return fmt::format(
          "held {:.3f} s; {} links deleted: {}; group step taken for {}{}; outage begun: {}",
          run.held_ms / 1000, kUnlinkedEOSIds, YesNo(run.deleted), run.group_steps,
          run.could_not_say > 0
              ? fmt::format(", {} cut at the deadline (\"could not say\")", run.could_not_say)
              : std::string(),
          YesNo(run.outage));
    };
    rows.push_back(fmt::format(
        "| `Veltrane.Unlink` of a Discord id linked to {} EOS ids, every statement {} s away "
        "(+{} ms each way), `MysqlTimeout` {} | {} | {}; behind a linked player's login question: "
        "{} | held at most `MysqlTimeout` + 3 s ({:.0f} s, and the command's own {:.0f} ms), no "
        "outage | {} |",
        kUnlinkedEOSIds, 2 * kSlowEachWay.count() / 1000.0, kSlowEachWay.count(),
        kMysqlTimeoutSeconds, unlinked(off.unlink), unlinked(on.unlink),
        unlinked(on.unlink_behind_login), kAdminBoundMs / 1000, kAdminOwnWorkMs,
        YesNo(std::max({off.unlink.held_ms, on.unlink.held_ms, on.unlink_behind_login.held_ms}) <=
                  kAdminBoundMs + kAdminOwnWorkMs &&
              !off.unlink.outage && !on.unlink.outage && !on.unlink_behind_login.outage)));

    const QueuedRun& queued = on.queued;
    GameThread::Summary queued_callbacks = queued.command;
    queued_callbacks.Add(queued.tick);
    rows.push_back(fmt::format(
        "| stalled: {} players send {} link commands (as many as may wait) behind a refresh "
        "whose statement then times out | none wait: the first command holds the game thread for "
        "the timeout, the rest are answered at once (the stall above) | longest callback {} "
        "(command {}, tick {}{}); {} replies (DatabaseUnavailable {}), the last {} after the "
        "first command | no callback above 1 ms | {} |",
        kLogoutsAtOnce, kMostWaitingCommands, LongestCall(queued_callbacks),
        Ms(queued.command.longest.wall_ms), Ms(queued.tick.longest.wall_ms),
        above(queued_callbacks), queued.replies, queued.unavailable, Ms(queued.answered_ms),
        met(queued_callbacks)));
    return rows;
  }

  Options options_;
  ServerAddress server_;
  test::FaultProxy proxy_;
  std::unique_ptr<RawConnection> admin_;
  std::unique_ptr<RawConnection> raw_;
  std::unique_ptr<HostOutput> output_;
  std::unique_ptr<InProcessPlugin> plugin_;
  devhost::Player* admin_player_ = nullptr;  // asks Veltrane.Status
  GameThread game_;
  StoreMode mode_ = StoreMode::Blocking;
  std::array<ModeRun, 2> runs_;
  std::vector<std::string> blocking_rows_;
  std::minstd_rand random_{27};
  int players_made_ = 0;
  bool failed_ = false;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.starts_with("--stall-seconds=")) {
      options.stall_seconds = std::stoi(argument.substr(16));
    } else if (argument.starts_with("--delay-calls=")) {
      options.delay_calls = std::stoi(argument.substr(14));
    } else if (argument == "--tls") {
      options.tls = true;
    } else if (argument.starts_with("--root=")) {
      options.root = argument.substr(7);
    } else {
      throw std::invalid_argument("unknown argument " + argument);
    }
  }
  return options;
}

}  // namespace
}  // namespace veltrane::bench

int main(int argc, char** argv) {
  using namespace veltrane::bench;
  // The client library this process runs with, as the doc names it.
  if (argc == 2 && std::string(argv[1]) == "--client-library") {
    const char* tls = nullptr;
    mysql_library_init(0, nullptr, nullptr);
    mariadb_get_infov(nullptr, MARIADB_TLS_LIBRARY, &tls);
    std::cout << "Connector/C " << mysql_get_client_info() << " with "
              << (tls != nullptr ? tls : "no TLS") << "\n";
    return 0;
  }
  try {
    const Options options = ParseOptions(argc, argv);
    if (options.tls) {
      Scenarios scenarios(options, ServerAddress::TlsFromEnvironment(), 3);
      // Non-blocking first: its load makes the process's first TLS connection.
      for (const auto mode : {StoreMode::NonBlocking, StoreMode::Blocking}) {
        scenarios.Load(mode);
        scenarios.TlsConnectionFarAway();
        scenarios.Delayed({50ms});
        scenarios.TlsStalledHandshake();
        scenarios.TlsFrozenStatement();
      }
      scenarios.PrintTlsTable();
      return scenarios.Failed() ? 1 : 0;
    }
    Scenarios scenarios(options, ServerAddress::FromEnvironment());
    scenarios.Load(StoreMode::Blocking);
    scenarios.Delayed();
    scenarios.LogoutsAtOnce();
    scenarios.RefusedThenBack();
    scenarios.Stalled();
    scenarios.Joins();
    scenarios.SlowUnlink();
    scenarios.Load(StoreMode::NonBlocking);
    scenarios.Delayed();
    scenarios.LogoutsAtOnce();
    scenarios.QueuedAtTimeout();
    scenarios.Stalled();
    scenarios.Joins();
    scenarios.SlowUnlink();
    scenarios.PrintTables();
    return scenarios.Failed() ? 1 : 0;
  } catch (const std::exception& error) {
    std::cerr << "veltrane_outage_bench: " << error.what() << "\n";
    return 2;
  }
}
