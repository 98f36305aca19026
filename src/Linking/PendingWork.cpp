#include "Linking/PendingWork.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "Plugin/PluginLog.h"

namespace {

const char* NameOf(PendingWork::Kind kind) {
  switch (kind) {
    case PendingWork::Kind::Connection:
      return "the connection";
    case PendingWork::Kind::LinkCommand:
      return "a link command";
    case PendingWork::Kind::LogoutRefresh:
      return "a logout refresh";
    case PendingWork::Kind::LoginCheck:
      return "a login question";
    case PendingWork::Kind::Settling:
      return "the settling of writes in doubt";
  }
  return "";
}

}  // namespace

bool PendingWork::Add(IDatabase& store, Kind kind, StoreTask<void> task) {
  if (!store.NonBlocking()) {
    store.RunInPlace(task);
    return true;
  }
  if (kind == Kind::LinkCommand && Waiting(kind) >= kMostLinkCommands) {
    if (refused_commands_.Refused()) {
      PluginLog::Get()->warn(
          "{} link commands wait for the database; new ones are refused until fewer wait.",
          kMostLinkCommands);
    }
    return false;
  }
  if (kind == Kind::LogoutRefresh) {
    GiveUpOldest(kind, kMostLogoutRefreshes, dropped_refreshes_, "logout refreshes");
  }
  if (kind == Kind::LoginCheck) {
    GiveUpOldest(kind, kMostLoginChecks, dropped_login_checks_, "login questions");
  }
  queued_.push_back({kind, std::move(task)});
  if (kind != Kind::Connection) StartNext();
  return true;
}

void PendingWork::GiveUpOldest(Kind kind, std::size_t most, FloodEpisode& dropped,
                               const char* what) {
  if (Waiting(kind) < most) return;
  const auto oldest = std::find_if(queued_.begin(), queued_.end(),
                                   [kind](const Job& job) { return job.kind == kind; });
  if (oldest == queued_.end()) return;
  queued_.erase(oldest);
  if (dropped.Refused()) {
    PluginLog::Get()->warn("{} {} wait for the database; the oldest are given up until fewer wait.",
                           most, what);
  }
}

std::size_t PendingWork::Waiting(Kind kind) const {
  const std::size_t queued = static_cast<std::size_t>(std::count_if(
      queued_.begin(), queued_.end(), [kind](const Job& job) { return job.kind == kind; }));
  return queued + (running_ && running_->kind == kind ? 1 : 0);
}

void PendingWork::Ended(Job& job) {
  try {
    job.task.Result();
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected error in {}: {}", __FILE__, "PendingWork",
                            NameOf(job.kind), error.what());
  }
}

// Starts the queued jobs in order until one waits for the database, within the callback's budget.
void PendingWork::StartNext() {
  for (int started = 0; started < kStartsPerCallback && !running_ && !queued_.empty(); ++started) {
    running_.emplace(std::move(queued_.front()));
    queued_.pop_front();
    running_->task.Start();
    if (!running_->task.Done()) return;
    Ended(*running_);
    running_.reset();
  }
}

void PendingWork::Advance(IDatabase& store) {
  store.Advance();
  if (running_ && running_->task.Done()) {
    Ended(*running_);
    running_.reset();
  }
  StartNext();
  EndFloods();
}

void PendingWork::EndFloods() {
  if (const std::optional<std::uint64_t> refused =
          refused_commands_.EndedAt(Waiting(Kind::LinkCommand))) {
    PluginLog::Get()->warn("{} link commands were refused while {} waited for the database.",
                           *refused, kMostLinkCommands);
  }
  if (const std::optional<std::uint64_t> dropped =
          dropped_refreshes_.EndedAt(Waiting(Kind::LogoutRefresh))) {
    PluginLog::Get()->warn("{} logout refreshes were given up while {} waited for the database.",
                           *dropped, kMostLogoutRefreshes);
  }
  if (const std::optional<std::uint64_t> dropped =
          dropped_login_checks_.EndedAt(Waiting(Kind::LoginCheck))) {
    PluginLog::Get()->warn("{} login questions were given up while {} waited for the database.",
                           *dropped, kMostLoginChecks);
  }
}

void PendingWork::FinishForUnload(IDatabase& store,
                                  std::chrono::steady_clock::time_point deadline) {
  // A link command that has not started has sent nothing: given up, as its reply would be. Nobody
  // waits for the connection made at load, started or not.
  // A login question is of no use once the plugin goes.
  std::size_t given_up = std::erase_if(queued_, [](const Job& job) {
    return job.kind == Kind::LinkCommand || job.kind == Kind::LoginCheck;
  });
  // Settling is tried again below, for every write in doubt.
  std::erase_if(queued_, [](const Job& job) { return job.kind == Kind::Settling; });
  const bool connection_waits =
      std::erase_if(queued_, [](const Job& job) { return job.kind == Kind::Connection; }) > 0;
  if (connection_waits || (running_ && running_->kind == Kind::Connection)) {
    store.Abandon();
    if (running_ && running_->kind == Kind::Connection) running_.reset();
  }
  while (true) {
    if (running_) {
      store.FinishInPlace(deadline);
      if (!running_->task.Done()) break;
      Ended(*running_);
      running_.reset();
    }
    if (queued_.empty() || std::chrono::steady_clock::now() >= deadline) break;
    running_.emplace(std::move(queued_.front()));
    queued_.pop_front();
    running_->task.Start();
  }
  given_up += queued_.size() + (running_ ? 1 : 0);
  if (given_up > 0) {
    PluginLog::Get()->warn(
        "The plugin was unloaded with {} store operations unfinished (link commands not yet "
        "started, or work the database did not finish in time).",
        given_up);
  }
  // The store lets go of the task that still waits before its frame goes.
  if (running_) store.Abandon();
  queued_.clear();
  running_.reset();
  EndFloods();
  if (store.WritesInDoubt() > 0) {
    StoreTask<void> last_try = store.SettleWritesInDoubt(true);
    store.RunInPlace(last_try);
  }
}
