#pragma once
// Runs the script language, one line at a time, on the game thread. The language is described
// in devhost/README.md.

#include <string>
#include <string_view>

#include "DevHost.h"
#include "ScriptLine.h"

namespace devhost {

class ScriptRunner {
 public:
  explicit ScriptRunner(DevHost& host) : host_(host) {}

  // A line that cannot run prints "error JSON"; the host goes on either way. With timing on, a
  // command's lines are followed by "timing us=N command=JSON".
  void Run(std::string_view line);

  static const char* HelpText();

 private:
  void Load(ScriptLine& line);
  void Unload(ScriptLine& line);
  void ThreadAttach(ScriptLine& line) { NotifyThread(line, DLL_THREAD_ATTACH); }
  void ThreadDetach(ScriptLine& line) { NotifyThread(line, DLL_THREAD_DETACH); }
  void NotifyThread(ScriptLine& line, DWORD reason);
  void Join(ScriptLine& line);
  void Die(ScriptLine& line) { SetDead(line, true); }
  void Revive(ScriptLine& line) { SetDead(line, false); }
  void SetDead(ScriptLine& line, bool dead);
  void Leave(ScriptLine& line);
  void Chat(ScriptLine& line);
  void Console(ScriptLine& line);
  void Rcon(ScriptLine& line);
  void Logout(ScriptLine& line);
  void Perms(ScriptLine& line);
  void Echo(ScriptLine& line);
  void Sleep(ScriptLine& line);
  void HttpWait(ScriptLine& line);
  void WaitFor(ScriptLine& line);
  void Timing(ScriptLine& line);
  void Help(ScriptLine& line);
  void RunCommand(ScriptLine& line);

  Player& RequirePlayer(const std::string& name);
  PluginModule& RequireLoadedPlugin();

  DevHost& host_;
  int next_rcon_id_ = 1;
  bool timing_ = false;
};

// What `join NAME` gives when the script says nothing else.
std::u16string DefaultEosId(std::string_view name);
int DefaultPlayerId(std::string_view name);

}  // namespace devhost
