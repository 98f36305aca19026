#pragma once
// The account store: three questions and two updates on the player_discord table. Every
// operation answers a bool and lets no exception out.

#include <string>

// How the store's last answer came about. A false answer alone cannot tell "no" from "could not
// ask", and a player must not be told that his code is wrong because the database is away.
enum class StoreAnswer {
  Known,        // the database answered (or the store needed no question to answer)
  CouldNotAsk,  // the database could not be reached, did not answer or refused the statement;
                // nothing was changed
  InDoubt,      // an update was sent, but the connection failed before its outcome came back
};

class IDatabase {
 public:
  virtual ~IDatabase() = default;

  // True when a row has this EOS id (the default "0" and the empty id own no row).
  virtual bool IsPlayerExist(std::string eos_id) = 0;
  // True when a row has this EOS id and a player id above 0.
  virtual bool IsPlayerIDExist(std::string eos_id) = 0;
  // True when a row holds this one-time code (a state word in the code column is no code).
  virtual bool IsCodeExist(std::string code) = 0;
  // Writes the player into the row(s) of code and marks them "Linked"; true when a row was linked.
  virtual bool UpdateAccount(std::string eos_id, std::string code, int player_id,
                             std::string character_name, int tribe_id, std::string tribe_name) = 0;
  // Refreshes every row of the EOS id; true when the statement ran.
  virtual bool UpdateAccountLogout(std::string character_name, int tribe_id,
                                   std::string tribe_name, std::string code,
                                   std::string eos_id) = 0;

  // How the answer of the last operation came about.
  virtual StoreAnswer LastAnswer() const { return StoreAnswer::Known; }
};
