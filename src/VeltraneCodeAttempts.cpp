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
  nlohmann::json& settings = config["Settings"];
  return {settings.value("MaxCodeAttempts", 5),
          std::chrono::seconds(settings.value("CodeLockoutSeconds", 300))};
}

}  // namespace

bool IsLockedOutOfLinking(const std::string& eos_id) {
  return Limiter().IsLockedOut(eos_id, CurrentLimits(), CodeAttemptLimiter::Clock::now());
}

void CountWrongCode(const std::string& eos_id) {
  const std::optional<CodeAttemptLimiter::Lockout> lockout =
      Limiter().CountWrongCode(eos_id, CurrentLimits(), CodeAttemptLimiter::Clock::now());
  if (lockout) {
    PluginLog::Get()->warn(
        "The user with ID {} entered {} invalid codes and may not link for {} seconds.", eos_id,
        lockout->wrong_codes, lockout->duration.count());
  }
}

void ForgetWrongCodes(const std::string& eos_id) { Limiter().Clear(eos_id); }
