// The plugin's tick: a non-blocking store's answers that arrived since the last tick are taken and
// its pending work goes on with them; the reminders to link that are due are given; the graces
// of linked-only play go on; the Discord announcements waiting go out as the webhook's pace allows.

#include "Discord/AnnouncementPosts.h"
#include "Linking/LoginCheck.h"
#include "Linking/RequireLink.h"
#include "Plugin/CommandTable.h"
#include "Plugin/PluginState.h"

void AdvancePendingWork(PluginState& state, float /*delta_seconds*/) {
  // A blocking store has finished its work within the callback that gave it.
  if (state.account_store->NonBlocking()) state.work.Advance(*state.account_store);
  GiveDueReminders(state);
  AdvanceGraces(state);
  PostWaitingAnnouncements(state.announcements, state.settings.discord, WebhookPace::Clock::now());
}
