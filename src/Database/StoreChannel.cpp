#include "Database/StoreChannel.h"

#include <thread>
#include <utility>
#include <vector>

namespace veltrane {

StoreChannel::Clock::time_point StoreChannel::Deadline(Clock::time_point now,
                                                       unsigned int timeout_seconds) {
  return timeout_seconds == 0 ? Clock::time_point::max()
                              : now + std::chrono::seconds(timeout_seconds);
}

bool StoreChannel::StatementStep::await_ready() {
  channel_.last_step_cut_ = false;
  if (!channel_.NonBlocking()) {
    step_.result = channel_.blocking_.query(statement_);
    return true;
  }
  daotk::mysql::NonBlockingConnection& connection = channel_.non_blocking_;
  const Clock::time_point now = Clock::now();
  connection.StartQuery(statement_, now, Deadline(now, channel_.statement_timeout_seconds_));
  step_.connection = &connection;
  step_.is_statement = true;
  // A closed connection fails the statement at once: nothing to wait for.
  return !connection.InFlight();
}

daotk::mysql::results StoreChannel::StatementStep::await_resume() {
  if (channel_.NonBlocking() && !step_.finished) {
    // Finished without waiting (a closed connection).
    step_.result = channel_.non_blocking_.TakeResult();
  }
  channel_.last_step_cut_ = step_.cut;
  return std::move(step_.result);
}

StoreTask<void> StoreChannel::Pause(Clock::duration duration) {
  if (NonBlocking()) {
    co_await driver_->PauseUntil(Clock::now() + duration);
  } else {
    std::this_thread::sleep_for(duration);
  }
}

class StoreChannel::OpenStep {
 public:
  explicit OpenStep(StoreChannel& channel) : channel_(channel) {
    step_.connection = &channel.non_blocking_;
  }
  bool await_ready() const noexcept { return !channel_.non_blocking_.InFlight(); }
  void await_suspend(std::coroutine_handle<> chain) { channel_.driver_->Suspend(step_, chain); }
  void await_resume() const noexcept { channel_.last_step_cut_ = step_.cut; }

 private:
  StoreChannel& channel_;
  StepDriver::Step step_;
};

StoreTask<bool> StoreChannel::Open(daotk::mysql::connection_settings settings) {
  last_step_cut_ = false;
  if (!NonBlocking()) co_return blocking_.open(settings);
  statement_timeout_seconds_ = settings.read_timeout;
  session_ = {};
  const Clock::time_point now = Clock::now();
  non_blocking_.StartOpen(settings, now, Deadline(now, settings.connect_timeout));
  co_await OpenStep(*this);
  if (!non_blocking_.IsOpen()) co_return false;
  session_.thread_id = non_blocking_.ThreadId();
  if (!settings.session_query.empty()) {
    daotk::mysql::results described = co_await Query(settings.session_query);
    std::vector<std::vector<std::string>> rows = described.text_rows();
    if (!rows.empty()) session_.described = std::move(rows.front());
  }
  co_return non_blocking_.IsOpen();
}

bool StoreChannel::IsOpen() { return NonBlocking() ? non_blocking_.IsOpen() : blocking_.is_open(); }

void StoreChannel::Close() {
  if (NonBlocking()) {
    non_blocking_.Close();
  } else {
    blocking_.close();
  }
}

daotk::mysql::connection::error StoreChannel::OpenError() {
  return NonBlocking() ? non_blocking_.OpenError() : blocking_.open_error();
}

std::string StoreChannel::TlsVersion() {
  return NonBlocking() ? non_blocking_.TlsVersion() : blocking_.tls_version();
}

unsigned long StoreChannel::ThreadId() {
  return NonBlocking() ? non_blocking_.ThreadId() : blocking_.thread_id();
}

// A non-blocking connection never reconnects on its own: its statements are all sent on the
// session opened last.
daotk::mysql::connection::session StoreChannel::StatementSession() {
  if (!NonBlocking()) return blocking_.statement_session();
  const unsigned long sent_on = non_blocking_.StatementThreadId();
  if (sent_on == session_.thread_id) return session_;
  return {sent_on, {}};
}

std::optional<std::string> StoreChannel::Escape(std::string_view text) {
  return NonBlocking() ? non_blocking_.Escape(text) : blocking_.escape(text);
}

}  // namespace veltrane
