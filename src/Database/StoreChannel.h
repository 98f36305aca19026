#pragma once
// One connection of the store, blocking or non-blocking as the store was made. Its statements,
// opens and pauses are awaited by the store's coroutines: on a blocking connection each runs at
// once inside the caller, as a plain call would; on a non-blocking one it is started and the
// chain waits in the driver (StepDriver.h) until the tick that finds it finished.

#include <chrono>
#include <coroutine>
#include <optional>
#include <string>
#include <string_view>

#include "Database/Connection.h"
#include "Database/ConnectionSettings.h"
#include "Database/NonBlockingConnection.h"
#include "Database/Results.h"
#include "Database/StepDriver.h"
#include "Database/StoreTask.h"

namespace veltrane {

class StoreChannel {
 public:
  using Clock = StepDriver::Clock;

  // driver: where its steps wait; none for a blocking connection.
  explicit StoreChannel(StepDriver* driver) : driver_(driver) {}
  StoreChannel(const StoreChannel&) = delete;
  StoreChannel& operator=(const StoreChannel&) = delete;

  bool NonBlocking() const { return driver_ != nullptr; }

  // One statement; awaited, it gives its outcome. Non-blocking, it ends at the settings' read
  // timeout as a timed-out read does.
  class StatementStep {
   public:
    StatementStep(StoreChannel& channel, std::string_view statement)
        : channel_(channel), statement_(statement) {}
    bool await_ready();
    void await_suspend(std::coroutine_handle<> chain) { channel_.driver_->Suspend(step_, chain); }
    daotk::mysql::results await_resume();

   private:
    StoreChannel& channel_;
    std::string_view statement_;  // lives in the awaiting frame until the statement is started
    StepDriver::Step step_;
  };
  StatementStep Query(std::string_view statement) { return {*this, statement}; }

  // Opens a new connection (closing the one held), asks the settings' session question on it, and
  // gives whether it is open.
  StoreTask<bool> Open(daotk::mysql::connection_settings settings);

  // A wait of duration: a sleep on a blocking connection, a step of its own on a non-blocking one.
  StoreTask<void> Pause(Clock::duration duration);

  bool IsOpen();
  void Close();
  // The last statement or open was ended at a caller's deadline (StepDriver::Step::cut).
  bool LastStepCut() const { return last_step_cut_; }
  daotk::mysql::connection::error OpenError();
  // The open session's TLS version ("TLSv1.3"); empty without TLS.
  std::string TlsVersion();
  unsigned long ThreadId();
  // The session the last statement was sent on (daotk::mysql::connection::statement_session).
  daotk::mysql::connection::session StatementSession();
  std::optional<std::string> Escape(std::string_view text);

 private:
  class OpenStep;
  // When a step started at now must end: never for a timeout of 0 seconds.
  static Clock::time_point Deadline(Clock::time_point now, unsigned int timeout_seconds);

  StepDriver* driver_;
  daotk::mysql::connection blocking_;
  daotk::mysql::NonBlockingConnection non_blocking_;
  unsigned int statement_timeout_seconds_ = 0;
  daotk::mysql::connection::session session_;  // non-blocking: the session opened last
  bool last_step_cut_ = false;
};

}  // namespace veltrane
