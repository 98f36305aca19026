#pragma once
// Where a store operation waits in non-blocking mode. A chain of store coroutines suspends on one
// step at a time: a statement or an open on a non-blocking connection, or a pause. The driver
// holds that step; Advance (called at each tick) takes it on without waiting and resumes the chain
// once it has finished. A caller that cannot wait for ticks (an admin command, the unload, a test)
// runs its operation to the end in place with TryRunToEnd, which waits on the socket.
//
// One chain waits at a time: the plugin runs its jobs one after another, and TryRunToEnd first
// takes the chain that waits already to its end, whole. Run between two of that chain's steps,
// another operation would leave it the connection's session, server choice and failures as its own.

#include <chrono>
#include <coroutine>

#include "Database/NonBlockingConnection.h"
#include "Database/Results.h"
#include "Database/StoreTask.h"

namespace veltrane {

class StepDriver {
 public:
  using Clock = std::chrono::steady_clock;

  // What a suspended chain waits for; it lives in that chain's frame, as its awaiter's.
  struct Step {
    daotk::mysql::NonBlockingConnection* connection = nullptr;  // none: a pause until resume_at
    bool is_statement = false;  // its result is taken as soon as it finishes
    Clock::time_point resume_at{};
    std::coroutine_handle<> chain;
    bool finished = false;
    // Ended at a caller's deadline (TryRunToEnd) rather than by its connection: no failure of the
    // server.
    bool cut = false;
    daotk::mysql::results result;
  };

  StepDriver() = default;
  StepDriver(const StepDriver&) = delete;
  StepDriver& operator=(const StepDriver&) = delete;

  // From an awaiter's await_suspend: chain waits for step.
  void Suspend(Step& step, std::coroutine_handle<> chain);

  // Awaited, the chain waits until resume_at, taken on by Advance like any other step.
  class PauseStep {
   public:
    PauseStep(StepDriver& driver, Clock::time_point resume_at) : driver_(driver) {
      step_.resume_at = resume_at;
    }
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> chain) { driver_.Suspend(step_, chain); }
    void await_resume() const noexcept {}

   private:
    StepDriver& driver_;
    Step step_;
  };
  PauseStep PauseUntil(Clock::time_point resume_at) { return {*this, resume_at}; }

  bool Waiting() const { return waiting_ != nullptr; }

  // Takes the waiting step as far as it goes without waiting, and resumes its chain when it has
  // finished, again while the next steps finish at once. True when no chain waits any more.
  bool Advance(Clock::time_point now);

  // Runs task to its end in place, waiting on the socket, after the chain that waits already has
  // ended. False, task not started, when that chain has not ended by deadline (it goes on at the
  // next Advance as if nothing had happened) or no time is left then. A step of task's own still
  // unfinished at deadline is ended as timed out, and marked cut. Exceptions of the task are
  // rethrown.
  bool TryRunToEnd(StoreTask<void>& task, Clock::time_point deadline = Clock::time_point::max());

  // Forgets the waiting chain, whose owner destroys it without its end (the unload gives it up).
  // The caller ends what the step had under way on its connection.
  void Forget() noexcept { waiting_ = nullptr; }

  // Takes the waiting chain on in place, waiting on the socket, until no chain waits or deadline
  // has passed; true when none waits. For the unload, which has no ticks left.
  bool FinishInPlace(Clock::time_point deadline);

 private:
  static bool TakeOn(Step& step, Clock::time_point now);
  static void FinishStep(Step& step, Clock::time_point deadline);
  // A statement or an open ends as timed out (the connection is closed), a pause at once.
  static void EndNow(Step& step);
  void ResumeWaiting();

  Step* waiting_ = nullptr;
};

}  // namespace veltrane
