// The tick of a non-blocking store: the database's answers that arrived since the last tick are
// taken, and the pending work goes on with them.

#include "Plugin/CommandTable.h"
#include "Plugin/PluginState.h"

void AdvancePendingWork(PluginState& state, float /*delta_seconds*/) {
  state.work.Advance(*state.account_store);
}
