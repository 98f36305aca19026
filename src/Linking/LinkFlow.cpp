#include "Linking/LinkFlow.h"

#include "Database/DefaultIdentity.h"
#include "Plugin/PluginLog.h"

namespace {

// The link is made: the group, the announcement and his reply, as the settings say.
void FinishLink(CodeAttemptLimiter& limiter, LinkCounters& counters, const Settings& settings,
                const LinkingPlayer& player, LinkingPlayerSeam& seam) {
  const bool debug = settings.debug;
  limiter.Clear(player.eos_id);
  ++counters.links_made;
  if (settings.use_permissions) seam.AddToGroup(settings.permission_group_to_add, debug);
  if (settings.discord.enable_discord) {
    if (debug) PluginLog::Get()->info("Discord enable, trying to send a webhook.");
    seam.Announce(player, settings);
  }
  seam.Reply("AccountLinked", true);
  if (debug) {
    PluginLog::Get()->info("The user with ID {} linked his account with discord.", player.eos_id);
  }
}

}  // namespace

WriteFollowUp LinkFlow::FinishIfLanded(const Settings& settings, const LinkingPlayer& player,
                                       LinkingPlayerSeam& seam) {
  return [&limiter = limiter_, &counters = counters_, settings, player, later = seam.Later()](
             const std::string& /*eos_id*/, bool landed) {
    if (landed) FinishLink(limiter, counters, settings, player, *later);
  };
}

StoreTask<void> LinkFlow::Run(const Settings& settings, const std::optional<std::string>& code,
                              LinkingPlayerSeam& seam) {
  const bool debug = settings.debug;
  const auto reply = [&](const char* message_key, bool success) {
    seam.Reply(message_key, success);
  };

  if (!code) {
    reply("CmdUsage", false);
    co_return;
  }
  const LinkingPlayer player = seam.Identity();
  const std::string& eos_text = player.eos_id;

  // Waiting rows hold the default EOS id: a player reported with it, or with none, owns nothing.
  if (veltrane::IsDefaultIdentity(eos_text)) {
    reply("InvalidCode", false);
    PluginLog::Get()->warn("Refused to link a player whose EOS id is empty or reads as \"0\".");
    co_return;
  }
  // Player id 0 is what a row holds until it is linked: no identity either.
  if (player.player_id == 0) {
    reply("InvalidCode", false);
    PluginLog::Get()->warn("Refused to link a player whose player id is 0.");
    co_return;
  }

  // A database that could not be asked is no answer: the player must not read it as a wrong
  // code or as linked.
  const auto database_unavailable = [&](StoreAnswer answer) {
    if (answer == StoreAnswer::Known) return false;
    reply("DatabaseUnavailable", false);
    return true;
  };

  // His update whose answer was lost is settled before anything else: until then he may link no
  // other code. It is finished (by its follow-up) only when that very row holds him.
  switch (co_await store_.DecideLinkInDoubt(eos_text)) {
    case LinkInDoubt::Undecided:
      reply("DatabaseUnavailable", false);
      co_return;
    case LinkInDoubt::Landed:
      co_return;
    case LinkInDoubt::None:
    case LinkInDoubt::DidNotLand:  // he was told elsewhere what became of that row
      break;
  }

  const CodeAttemptLimiter::Limits limits = LimitsOf(settings);
  if (limiter_.IsLockedOut(eos_text, limits, now_())) {
    reply("TooManyAttempts", false);
    co_return;
  }

  const auto already_linked = [&] {
    reply("AccountAlredyLinked", false);
    if (debug)
      PluginLog::Get()->info("The user with ID {} tried to link his account again.", eos_text);
  };
  const Answered<bool> has_row = co_await store_.IsPlayerExist(eos_text);
  if (database_unavailable(has_row.answer)) co_return;
  if (has_row.value) {
    const Answered<bool> linked = co_await store_.IsPlayerIDExist(eos_text);
    if (database_unavailable(linked.answer)) co_return;
    if (linked.value) {
      already_linked();
      co_return;
    }
  }

  const auto refuse_code = [&] {
    ++counters_.refused_codes;
    reply("InvalidCode", false);
    if (debug)
      PluginLog::Get()->info("The user with ID {} tried to link use a invalid code.", eos_text);
  };
  // The store refuses the words it writes into the code column itself ("Linked", "Updated").
  int row_id = 0;
  const Answered<bool> found = co_await store_.IsCodeExist(*code, row_id);
  if (database_unavailable(found.answer)) co_return;
  if (!found.value) {
    CountWrongCode(eos_text, limits);
    refuse_code();
    co_return;
  }

  // False also when another link took the row since IsCodeExist: the code is gone either way.
  const Answered<bool> updated = co_await store_.UpdateAccount(
      row_id, eos_text, *code, player.player_id, player.character_name, player.tribe_id,
      player.tribe_name, FinishIfLanded(settings, player, seam));
  if (!updated.value) {
    // Its answer lost: the store ends what may still run of it, then the row tells. Landed, its
    // follow-up has finished the link.
    if (updated.answer == StoreAnswer::InDoubt) {
      if (co_await store_.DecideLinkInDoubt(eos_text) != LinkInDoubt::Landed) {
        reply("DatabaseUnavailable", false);
      }
      co_return;
    }
    if (database_unavailable(updated.answer)) co_return;
    // The update changes nothing either when another row links him since his first question (a
    // second game server linked another code of his): his code is fine and still waits.
    const Answered<bool> linked_meanwhile = co_await store_.IsPlayerIDExist(eos_text);
    if (database_unavailable(linked_meanwhile.answer)) co_return;
    if (linked_meanwhile.value) {
      already_linked();
    } else {
      refuse_code();
    }
    co_return;
  }
  FinishLink(limiter_, counters_, settings, player, seam);
}

// A lockout that a wrong code begins is logged as a warning, whatever debug says, so that
// administrators see a guessing player; so is a lockout given up early because every player
// remembered is locked out.
void LinkFlow::CountWrongCode(const std::string& eos_id, const CodeAttemptLimiter::Limits& limits) {
  const CodeAttemptLimiter::Counted counted = limiter_.CountWrongCode(eos_id, limits, now_());
  if (counted.given_up) {
    PluginLog::Get()->warn(
        "Every player remembered for wrong codes ({}) is locked out; the lockout of the user with "
        "ID {} ends {} seconds early.",
        CodeAttemptLimiter::kCapacity, counted.given_up->eos_id,
        counted.given_up->remaining.count());
  }
  if (counted.lockout) {
    PluginLog::Get()->warn(
        "The user with ID {} entered {} invalid codes and may not link for {} seconds.", eos_id,
        counted.lockout->wrong_codes, counted.lockout->duration.count());
  }
}
