#include "VeltraneCodeAttempts.h"

#include "CodeAttemptLimiter.h"
#include "PluginLog.h"
#include "VeltraneConfig.h"

namespace {

// As long as the module lives: across logouts and reloads of the configuration, not across a
// reload of the plugin.
CodeAttemptLimiter& Limiter() {
  static CodeAttemptLimiter limiter;
  return limiter;
}

CodeAttemptLimiter::Limits CurrentLimits() {
  const Settings& settings = LiveSettings();
  return {settings.max_code_attempts, std::chrono::seconds(settings.code_lockout_seconds)};
}

}  // namespace

bool IsLockedOutOfLinking(const std::string& eos_id) {
  return Limiter().IsLockedOut(eos_id, CurrentLimits(), CodeAttemptLimiter::Clock::now());
}

void CountWrongCode(const std::string& eos_id) {
  const CodeAttemptLimiter::Counted counted =
      Limiter().CountWrongCode(eos_id, CurrentLimits(), CodeAttemptLimiter::Clock::now());
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

void ForgetWrongCodes(const std::string& eos_id) { Limiter().Clear(eos_id); }
