#include "Database/StepDriver.h"

#include <stdexcept>
#include <thread>
#include <utility>

namespace veltrane {

void StepDriver::Suspend(Step& step, std::coroutine_handle<> chain) {
  if (waiting_ != nullptr) throw std::logic_error("a second store operation waits");
  step.chain = chain;
  waiting_ = &step;
}

// True when step has finished; a statement's result is taken at once, before another statement
// on the same connection could replace it.
bool StepDriver::TakeOn(Step& step, Clock::time_point now) {
  if (step.finished) return true;
  if (step.connection == nullptr) {
    step.finished = now >= step.resume_at;
  } else if (step.connection->Advance(now)) {
    if (step.is_statement) step.result = step.connection->TakeResult();
    step.finished = true;
  }
  return step.finished;
}

void StepDriver::FinishStep(Step& step, Clock::time_point deadline) {
  if (step.finished) return;
  if (step.connection == nullptr) {
    std::this_thread::sleep_until(std::min(step.resume_at, deadline));
  } else {
    step.connection->DriveUntil(deadline);
  }
  TakeOn(step, Clock::now());
}

void StepDriver::ResumeWaiting() {
  const std::coroutine_handle<> chain = std::exchange(waiting_, nullptr)->chain;
  chain.resume();
}

bool StepDriver::Advance(Clock::time_point now) {
  while (waiting_ != nullptr && TakeOn(*waiting_, now)) ResumeWaiting();
  return waiting_ == nullptr;
}

void StepDriver::EndNow(Step& step) {
  step.cut = true;
  if (step.connection != nullptr) step.connection->Close();
  TakeOn(step, Clock::time_point::max());
}

bool StepDriver::TryRunToEnd(StoreTask<void>& task, Clock::time_point deadline) {
  // A task started with no time left would send its statement only to have it ended at once.
  if (!FinishInPlace(deadline) || Clock::now() >= deadline) return false;
  task.Start();
  while (!task.Done()) {
    if (waiting_ == nullptr) throw std::logic_error("a store operation waits for nothing");
    FinishStep(*waiting_, deadline);
    if (!waiting_->finished) EndNow(*waiting_);
    ResumeWaiting();
  }
  task.Result();
  return true;
}

bool StepDriver::FinishInPlace(Clock::time_point deadline) {
  while (waiting_ != nullptr && Clock::now() < deadline) {
    FinishStep(*waiting_, deadline);
    if (waiting_->finished) ResumeWaiting();
  }
  return waiting_ == nullptr;
}

}  // namespace veltrane
