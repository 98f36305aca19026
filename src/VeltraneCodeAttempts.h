#pragma once
// The link command's guard against guessed codes: wrong codes counted per EOS id, and a player
// with too many of them refused for a while before the store is asked anything. The settings
// MaxCodeAttempts (default 5, 0 turns the guard off) and CodeLockoutSeconds (default 300) are
// read at each use; the records live as long as the module, across logouts and reloads.

#include <string>

// True while the player of eos_id is locked out of linking.
bool IsLockedOutOfLinking(const std::string& eos_id);

// Counts a code that the table does not hold. A lockout that it begins is logged as a warning,
// whatever debug says, so that administrators see a guessing player; so is a lockout given up
// early because every player remembered is locked out.
void CountWrongCode(const std::string& eos_id);

// After a successful link the player's wrong codes are forgotten.
void ForgetWrongCodes(const std::string& eos_id);
