// The plugin's tick: the writes in doubt whose server may be asked again are settled; a
// non-blocking store's answers that arrived since the last tick are taken and its pending work
// goes on with them; the reminders to link that are due are given; the graces of linked-only play
// go on; the Discord announcements waiting go out as the webhook's pace allows.

#include "Discord/AnnouncementPosts.h"
#include "Linking/LoginCheck.h"
#include "Linking/RequireLink.h"
#include "Plugin/CommandTable.h"
#include "Plugin/PluginState.h"

void AdvancePendingWork(PluginState& state, float /*delta_seconds*/) {
  IDatabase& store = *state.account_store;
  // As soon as the store can, not at the player's next command: a write that may still land must
  // not wait for him. A blocking store settles in place, each try bounded by the short connect
  // timeout, again only after its cool-down.
  if (store.SettlingDue() && state.work.Waiting(PendingWork::Kind::Settling) == 0) {
    state.work.Add(store, PendingWork::Kind::Settling, store.SettleWritesInDoubt(false));
  }
  // A blocking store has finished its work within the callback that gave it.
  if (store.NonBlocking()) state.work.Advance(store);
  GiveDueReminders(state);
  AdvanceGraces(state);
  PostWaitingAnnouncements(state.announcements, state.settings.discord, WebhookPace::Clock::now());
}
