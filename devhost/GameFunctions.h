#pragma once
// The game's functions reached by name, with the calling convention of host/GameAddress.h.

#include <string_view>

namespace devhost {

// The game's own entry of the named function, whatever hooks are installed; null when the game
// has no function of that name. Any thread.
void* FindGameFunction(std::string_view name);

}  // namespace devhost
