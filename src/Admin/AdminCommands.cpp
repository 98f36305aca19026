#include "Admin/AdminCommands.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <sstream>
#include <utility>

#include "Admin/AdminCommandText.h"
#include "Admin/StatusText.h"
#include "Linking/PermissionGroup.h"
#include "Linking/PlayerNotification.h"
#include "Plugin/CommandTable.h"
#include "Plugin/PluginLog.h"
#include "Plugin/PluginState.h"
#include "host/Tools.h"

namespace {

using veltrane::AccountId;
using veltrane::DescribeAccountId;
using veltrane::DescribeLink;
using veltrane::DescribeRow;
using veltrane::Quoted;

constexpr FLinearColor kDoneColour{0.0f, 1.0f, 0.0f, 1.0f};
constexpr FLinearColor kFailedColour{1.0f, 0.0f, 0.0f, 1.0f};

// ER_TABLEACCESS_DENIED_ERROR: the user lacks the right for this statement on the table.
constexpr unsigned int kTableAccessDenied = 1142;

AdminReply Done(std::vector<std::string> lines) { return {false, std::move(lines)}; }
AdminReply Failed(std::vector<std::string> lines) { return {true, std::move(lines)}; }

AdminReply Usage(std::string_view command) {
  return Failed({fmt::format("Usage: {} <EOS id: 32 hex characters | Discord id: 17 to 20 digits>",
                             command)});
}

// What taking a player whom no row links out of the group did, as the end of a reply or log line.
struct GroupStep {
  GroupRemoval::Outcome outcome = GroupRemoval::Outcome::Removed;
  std::string text;
};
GroupStep TakeOutOfGroup(const std::string& eos_id, const std::string& group) {
  const std::string group_name = Quoted(group);
  try {
    const GroupRemoval removal = RemoveFromPermissionGroup(FString(eos_id.c_str()), group);
    switch (removal.outcome) {
      case GroupRemoval::Outcome::Removed:
        return {removal.outcome, fmt::format("removed from group {}", group_name)};
      case GroupRemoval::Outcome::NotAMember:
        return {removal.outcome, fmt::format("not in group {}", group_name)};
      case GroupRemoval::Outcome::PermissionsNotLoaded:
        return {removal.outcome, fmt::format("group {} unchanged: the Permissions plugin is not "
                                             "loaded",
                                             group_name)};
      case GroupRemoval::Outcome::Refused:
        return {removal.outcome, fmt::format("could not be removed from group {}: {}", group_name,
                                             Quoted(removal.reason))};
    }
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected error {}", __FILE__, "Veltrane.Unlink",
                            error.what());
    return {GroupRemoval::Outcome::Refused, fmt::format("could not be removed from group {}: {}",
                                                        group_name, Quoted(error.what()))};
  }
  return {};
}

// What the group step of an unlink did for each of the EOS ids of its deleted rows, in order, as
// the ends of their reply lines.
std::vector<std::string> GroupStepsAfterUnlink(IDatabase& store,
                                               const std::vector<std::string>& eos_ids,
                                               const std::string& group,
                                               IDatabase::AdminDeadline deadline) {
  const std::string group_name = Quoted(group);
  if (!AsaApi::Tools::IsPluginLoaded("Permissions")) {
    return std::vector<std::string>(
        eos_ids.size(),
        fmt::format("group {} unchanged: the Permissions plugin is not loaded", group_name));
  }
  // Another linked row of his (under another Discord id) still earns him the group.
  const std::optional<std::vector<bool>> still_linked = store.StillLinked(eos_ids, deadline);
  std::vector<std::string> steps;
  for (std::size_t i = 0; i < eos_ids.size(); ++i) {
    if (!still_linked) {
      // The next unlink of his EOS id puts the group right once no row links him.
      steps.push_back(fmt::format(
          "kept in group {}: the database could not say whether he is still linked; unlink his "
          "EOS id again to put it right",
          group_name));
    } else if ((*still_linked)[i]) {
      steps.push_back(fmt::format("still linked by another row, kept in group {}", group_name));
    } else {
      steps.push_back(TakeOutOfGroup(eos_ids[i], group).text);
    }
  }
  return steps;
}

// What follows a deletion in doubt once the store has settled it for one of its players: his group
// follows the table, as after a deletion that was answered, and the log says what became of it.
WriteFollowUp GroupAfterSettledDeletion(PluginState& state, std::string named) {
  return [&state, named = std::move(named)](const std::string& eos_id, bool unlinked) {
    const Settings& settings = state.settings;
    std::string line = fmt::format(
        "Veltrane.Unlink {}: the deletion that was in doubt is settled; EOS id {} is {}", named,
        eos_id, unlinked ? "linked by no row" : "still linked");
    if (settings.use_permissions) {
      const std::string group = Quoted(settings.permission_group_to_add);
      line += unlinked ? "; " + TakeOutOfGroup(eos_id, settings.permission_group_to_add).text
                       : fmt::format(", kept in group {}", group);
    }
    PluginLog::Get()->info(line);
  };
}

// An unlink of an EOS id that no row links: the group that an earlier unlink could not take (its
// deletion in doubt, or no answer whether he was still linked) is taken now.
AdminReply NothingToUnlink(const PluginState& state, const AccountId& id) {
  const std::string line = "No link for " + DescribeAccountId(id) + "; nothing was unlinked";
  const Settings& settings = state.settings;
  if (id.kind != AccountIdKind::EOSId || !settings.use_permissions ||
      !AsaApi::Tools::IsPluginLoaded("Permissions")) {
    return Done({line});
  }
  const GroupStep step = TakeOutOfGroup(id.value, settings.permission_group_to_add);
  switch (step.outcome) {
    case GroupRemoval::Outcome::Removed:
      PluginLog::Get()->info("Veltrane.Unlink " + DescribeAccountId(id) + ": linked by no row; " +
                             step.text);
      return Done({line + "; " + step.text});
    case GroupRemoval::Outcome::Refused:
      return Failed({line + "; " + step.text});
    case GroupRemoval::Outcome::NotAMember:
    case GroupRemoval::Outcome::PermissionsNotLoaded:
      break;
  }
  return Done({line});
}

std::string LinkCount(std::size_t count) {
  return fmt::format("{} link{}", count, count == 1 ? "" : "s");
}

// The command line's text, as UTF-8.
std::string CommandLineOf(const FString& line) { return AsaApi::Tools::Utf8Encode(line.View()); }

// The reply cut to one RCON packet; an error inside the command is logged and answered in one line.
AdminReply RunGuarded(const std::string& name, const AdminCommand& command,
                      const FString& command_line) {
  try {
    AdminReply reply = command(CommandLineOf(command_line));
    reply.lines = veltrane::FitReply(reply.lines);
    return reply;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected error {}", __FILE__, name, error.what());
    return Failed({name + " failed with an unexpected error; see the plugin log"});
  }
}

}  // namespace

AdminReply AnswerStatus(PluginState& state, std::string_view command_line) {
  // The command word alone.
  std::istringstream words{std::string(command_line)};
  std::string word;
  int count = 0;
  while (words >> word) ++count;
  if (count > 1) return Failed({"Usage: Veltrane.Status"});
  PluginStatus status;
  status.store = state.account_store->State();
  status.links_made = state.link_counters.links_made;
  status.refused_codes = state.link_counters.refused_codes;
  status.logout_refreshes = state.logout_refreshes;
  if (state.account_store->NonBlocking()) {
    status.turned_away = {state.work.RefusedLinkCommands(), state.work.DroppedLogoutRefreshes()};
  }
  if (state.login_hook_installed) status.at_login = state.login_counts;
  if (state.login_hook_installed && state.settings.require_link_seconds > 0) {
    status.linked_only = {state.graces.InGrace(), state.graces.SentAway(),
                          state.graces.NotSentAwayUnanswered()};
  }
  status.locked_out = state.limiter.LockedOutCount(CodeAttemptLimiter::Clock::now());
  status.in_doubt = state.account_store->WritesInDoubt();
  status.announcements_waiting = state.announcements.queue.Waiting();
  status.announcements_posted = state.announcements.posted;
  status.announcements_dropped = state.announcements.Dropped();
  status.config = state.config_reads;
  const bool store_down = status.store.connection == StoreState::Connection::Unavailable ||
                          status.store.connection == StoreState::Connection::SwitchedOff;
  return {store_down, StatusLines(status)};
}

AdminReply AnswerLinked(PluginState& state, std::string_view command_line) {
  IDatabase& store = *state.account_store;
  const std::optional<AccountId> id = veltrane::ParseAccountIdArgument(command_line);
  if (!id) return Usage("Veltrane.Linked");
  const IDatabase::AdminDeadline deadline = std::chrono::steady_clock::now() + store.AdminWait();
  const std::optional<std::vector<LinkedAccount>> links =
      store.FindLinks(id->kind, id->value, deadline);
  if (!links) return Failed({"Database unavailable; try again later"});
  if (links->empty()) return Done({"No link for " + DescribeAccountId(*id)});
  std::vector<std::string> lines{
      fmt::format("{} for {}:", LinkCount(links->size()), DescribeAccountId(*id))};
  for (const LinkedAccount& link : *links) lines.push_back(DescribeLink(link));
  return Done(std::move(lines));
}

AdminReply AnswerUnlink(PluginState& state, std::string_view command_line) {
  IDatabase& store = *state.account_store;
  const Settings& settings = state.settings;
  const std::optional<AccountId> id = veltrane::ParseAccountIdArgument(command_line);
  if (!id) return Usage("Veltrane.Unlink");
  const std::string named = DescribeAccountId(*id);
  // One deadline for the whole command, however many statements it sends.
  const IDatabase::AdminDeadline deadline = std::chrono::steady_clock::now() + store.AdminWait();
  const std::optional<std::vector<LinkedAccount>> links =
      store.FindLinks(id->kind, id->value, deadline);
  if (!links) return Failed({"Database unavailable; nothing was unlinked"});
  if (links->empty()) return NothingToUnlink(state, *id);

  const DeletedLinks deleted = store.DeleteLinks(id->kind, id->value, *links, deadline,
                                                 GroupAfterSettledDeletion(state, named));
  if (deleted.answer == StoreAnswer::CouldNotAsk) {
    if (deleted.refused_error == kTableAccessDenied)
      return Failed(
          {"Veltrane.Unlink needs the DELETE right on player_discord; nothing was unlinked"});
    if (deleted.refused_error != 0)
      return Failed(
          {fmt::format("The database refused the deletion (error {}); nothing was "
                       "unlinked",
                       deleted.refused_error)});
    return Failed({"Database unavailable; nothing was unlinked"});
  }
  if (deleted.answer == StoreAnswer::InDoubt) {
    std::vector<std::string> lines{fmt::format(
        "The database connection was lost during the deletion; check with Veltrane.Linked "
        "whether {} is still linked",
        named)};
    // The group waits for the store to settle the deletion (GroupAfterSettledDeletion).
    const std::string group_step =
        settings.use_permissions ? fmt::format("; group {} follows once the deletion is settled",
                                               Quoted(settings.permission_group_to_add))
                                 : std::string();
    for (const LinkedAccount& link : *links) {
      PluginLog::Get()->warn("Veltrane.Unlink {} may have deleted row {}", named,
                             DescribeRow(link));
      lines.push_back(DescribeLink(link) + group_step);
    }
    return Failed(std::move(lines));
  }

  if (deleted.rows == 0)
    return Failed(
        {fmt::format("Nothing was unlinked: the links of {} changed meanwhile; check "
                     "with Veltrane.Linked",
                     named)});

  // The row as it was, so that nothing is lost without a trace.
  for (const LinkedAccount& link : *links)
    PluginLog::Get()->info("Veltrane.Unlink {} deleted row {}", named, DescribeRow(link));
  std::vector<std::string> lines;
  if (deleted.rows == links->size()) {
    lines.push_back(fmt::format("Unlinked {}: {} deleted", named, LinkCount(links->size())));
  } else {
    PluginLog::Get()->warn(
        "Veltrane.Unlink {}: {} of the rows above changed meanwhile and may still be there", named,
        links->size() - deleted.rows);
    lines.push_back(fmt::format(
        "Unlinked {}: {} of {} deleted; the others changed meanwhile, check with Veltrane.Linked",
        named, deleted.rows, LinkCount(links->size())));
  }

  std::map<std::string, std::string> group_steps;
  if (settings.use_permissions) {
    std::vector<std::string> players;
    for (const LinkedAccount& link : *links) {
      if (std::find(players.begin(), players.end(), link.eos_id) == players.end())
        players.push_back(link.eos_id);
    }
    const std::vector<std::string> steps =
        GroupStepsAfterUnlink(store, players, settings.permission_group_to_add, deadline);
    for (std::size_t i = 0; i < players.size(); ++i) group_steps[players[i]] = steps[i];
  }
  for (const LinkedAccount& link : *links) {
    const auto step = group_steps.find(link.eos_id);
    lines.push_back(DescribeLink(link) + (step != group_steps.end() ? "; " + step->second : ""));
  }
  return Done(std::move(lines));
}

AsaApi::ConsoleCommandCallback AdminConsoleCommand(std::string name, AdminCommand command) {
  return [name = std::move(name), command = std::move(command)](
             APlayerController* player, FString* command_line, bool /*from_cheat_input*/) {
    const AdminReply reply = RunGuarded(name, command, command_line ? *command_line : FString());
    if (player == nullptr) return;
    try {
      const std::shared_ptr<AsaApi::IMessagingManager> messaging = GetPluginMessaging();
      for (const std::string& line : reply.lines) {
        const std::u16string text = ServerMessageText(line);
        messaging->SendServerMessage(static_cast<AShooterPlayerController*>(player),
                                     reply.failed ? kFailedColour : kDoneColour, text.c_str());
      }
    } catch (const std::exception& error) {
      PluginLog::Get()->error(error.what());
    }
  };
}

AsaApi::RconCommandCallback AdminRconCommand(std::string name, AdminCommand command) {
  return [name = std::move(name), command = std::move(command)](
             RCONClientConnection* connection, RCONPacket* packet, UWorld* /*world*/) {
    const AdminReply reply = RunGuarded(name, command, packet->Body);
    try {
      FString text(veltrane::JoinReply(reply.lines));
      connection->SendMessage(packet->Id, 0, text);
    } catch (const std::exception& error) {
      PluginLog::Get()->error(error.what());
    }
  };
}
