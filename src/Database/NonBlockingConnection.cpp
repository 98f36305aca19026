#include "Database/NonBlockingConnection.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#endif

#include <errmsg.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <utility>

#include "Database/ConnectionFailure.h"
#include "Database/ServerGreeting.h"

namespace daotk::mysql {

namespace {

using std::chrono::milliseconds;

constexpr int kSocketEvents = MYSQL_WAIT_READ | MYSQL_WAIT_WRITE | MYSQL_WAIT_EXCEPT;
constexpr my_socket kNoSocket = static_cast<my_socket>(MARIADB_INVALID_SOCKET);

// Continuations within one Advance: a socket that kept reporting ready while the library made no
// progress must not hold the caller.
constexpr int kContinuationsPerAdvance = 64;
// Continuations with MYSQL_WAIT_TIMEOUT that end an operation or a goodbye; each ends the wait in
// progress with a failure, and one has always been enough.
constexpr int kTimeoutsToEnd = 16;
// DriveUntil looks at its deadline again at least this often.
constexpr milliseconds kLongestPoll{1000};
// A greeting is about a hundred bytes; its capability flags come within the first few dozen.
constexpr int kGreetingPeekBytes = 512;
// How long DriveUntil waits before it looks again at a greeting that has come in part.
constexpr milliseconds kPartGreetingWait{1};

// The platform's poll() of one socket: 1 when it has events, 0 when it has none (also when
// interrupted), -1 on an error. Windows has WSAPoll, which refuses POLLPRI: the protocol sends no
// out-of-band data, so nothing is lost by not asking for it there. PeekSocket: the bytes waiting
// on a socket that poll() found readable, left there for the library: up to size of them, 0 when
// the peer has closed, -1 on an error.
#ifdef _WIN32
using PollEntry = WSAPOLLFD;
constexpr short kExceptEvents = 0;
int PollOne(PollEntry& entry, milliseconds timeout) {
  return WSAPoll(&entry, 1, static_cast<INT>(timeout.count()));
}
int PeekSocket(my_socket socket, char* buffer, int size) {
  return ::recv(socket, buffer, size, MSG_PEEK);
}
#else
using PollEntry = pollfd;
constexpr short kExceptEvents = POLLPRI;
int PollOne(PollEntry& entry, milliseconds timeout) {
  const int polled = ::poll(&entry, 1, static_cast<int>(timeout.count()));
  return polled < 0 && errno == EINTR ? 0 : polled;
}
int PeekSocket(my_socket socket, char* buffer, int size) {
  return static_cast<int>(
      ::recv(socket, buffer, static_cast<std::size_t>(size), MSG_PEEK | MSG_DONTWAIT));
}
#endif

// The events of wanted (MYSQL_WAIT_*) that the socket is ready for, waiting at most timeout. A
// failed poll or an error on the socket counts as ready for everything wanted: the library then
// meets the error itself at its next read or write, and fails the operation.
int PollSocket(my_socket socket, int wanted, milliseconds timeout) {
  PollEntry entry{};
  entry.fd = socket;
  if ((wanted & MYSQL_WAIT_READ) != 0) entry.events |= POLLIN;
  if ((wanted & MYSQL_WAIT_WRITE) != 0) entry.events |= POLLOUT;
  if ((wanted & MYSQL_WAIT_EXCEPT) != 0) entry.events |= kExceptEvents;
  const int polled = PollOne(entry, timeout);
  if (polled == 0) return 0;
  if (polled < 0 || (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return wanted;
  int ready = 0;
  if ((entry.revents & POLLIN) != 0) ready |= MYSQL_WAIT_READ;
  if ((entry.revents & POLLOUT) != 0) ready |= MYSQL_WAIT_WRITE;
  if ((entry.revents & kExceptEvents) != 0) ready |= MYSQL_WAIT_EXCEPT;
  return ready & wanted;
}

}  // namespace

void NonBlockingConnection::StartOpen(const connection_settings& settings, Clock::time_point now,
                                      Clock::time_point deadline) {
  RequireIdle("StartOpen");
  CloseHandle();
  open_error_ = {};
  handle_ = mysql_init(nullptr);
  if (handle_ == nullptr) {
    open_error_ = {CR_OUT_OF_MEMORY, "mysql_init failed"};
    return;
  }
  // The library's non-blocking context, made before connecting (a null argument: its default
  // stack size).
  if (mysql_options(handle_, MYSQL_OPT_NONBLOCK, nullptr) != 0) {
    open_error_ = {CR_OUT_OF_MEMORY, "the client library's non-blocking context failed"};
    CloseHandle();
    return;
  }
  if (!detail::SetSessionOptions(handle_, settings)) {
    open_error_ = {mysql_errno(handle_), mysql_error(handle_)};
    CloseHandle();
    return;
  }
  open_settings_ = settings;
  deadline_ = deadline;
  step_ = Step::Connecting;
  greeting_awaited_ = settings.security.tls != tls_mode::disabled;
  connected_ = nullptr;
  // Client flags 0 (the blocking connection opens here too): no CLIENT_FOUND_ROWS, so that an
  // UPDATE reports the rows it changed, not the rows it matched (the loser of a race for a code
  // must see 0), and one statement is one statement.
  wait_status_ = mysql_real_connect_start(
      &connected_, handle_, open_settings_.host.c_str(), open_settings_.user.c_str(),
      open_settings_.password.c_str(), open_settings_.database_name.c_str(), open_settings_.port,
      nullptr, 0);
  Settle(now);
}

void NonBlockingConnection::StartQuery(std::string_view statement, Clock::time_point now,
                                       Clock::time_point deadline) {
  RequireIdle("StartQuery");
  result_ = results();
  if (!IsOpen()) return;
  statement_.assign(statement);
  statement_thread_id_ = mysql_thread_id(handle_);
  deadline_ = deadline;
  step_ = Step::Querying;
  query_failed_ = 0;
  wait_status_ =
      mysql_real_query_start(&query_failed_, handle_, statement_.data(), statement_.size());
  Settle(now);
}

bool NonBlockingConnection::Advance(Clock::time_point now) {
  for (int continued = 0; continued < kContinuationsPerAdvance && InFlight(); ++continued) {
    const int ready = ReadyEvents(milliseconds(0));
    if (!InFlight()) break;  // a greeting without TLS ended the open
    if (ready != 0) {
      Continue(ready, now);
    } else if (now < WaitDeadline()) {
      return false;
    } else {
      // The library fails the operation; the connection is not used again either way. Its words
      // for an open ended so name the wait it was in ("Resource temporarily unavailable").
      const bool opening = step_ == Step::Connecting;
      CloseHandle();
      if (opening) open_error_.text += " (the connection timed out)";
    }
  }
  return !InFlight();
}

bool NonBlockingConnection::DriveUntil(Clock::time_point deadline) {
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (Advance(now)) return true;
    if (now >= deadline) return false;
    const milliseconds wait =
        std::clamp(std::chrono::ceil<milliseconds>(std::min(deadline, WaitDeadline()) - now),
                   milliseconds(1), kLongestPoll);
    if ((wait_status_ & kSocketEvents) == 0) {
      std::this_thread::sleep_for(wait);  // only a timeout is waited for
    } else {
      ReadyEvents(wait);
    }
  }
}

results NonBlockingConnection::TakeResult() { return std::exchange(result_, results()); }

unsigned long NonBlockingConnection::ThreadId() const {
  return IsOpen() ? mysql_thread_id(handle_) : 0;
}

std::optional<std::string> NonBlockingConnection::Escape(std::string_view text) const {
  if (!IsOpen()) return std::nullopt;
  std::string escaped(text.size() * 2 + 1, '\0');
  const unsigned long length =
      mysql_real_escape_string(handle_, escaped.data(), text.data(), text.size());
  if (length == static_cast<unsigned long>(-1)) return std::nullopt;
  escaped.resize(length);
  return escaped;
}

MYSQL* NonBlockingConnection::ReleaseHandle() noexcept {
  if (!IsOpen() || InFlight()) return nullptr;
  return std::exchange(handle_, nullptr);
}

void NonBlockingConnection::Close() noexcept { CloseHandle(); }

void NonBlockingConnection::RequireIdle(const char* operation) const {
  if (InFlight()) {
    throw std::logic_error(std::string(operation) + ": an operation is still in flight");
  }
}

void NonBlockingConnection::Continue(int ready_events, Clock::time_point now) {
  switch (step_) {
    case Step::Connecting:
      wait_status_ = mysql_real_connect_cont(&connected_, handle_, ready_events);
      break;
    case Step::Querying:
      wait_status_ = mysql_real_query_cont(&query_failed_, handle_, ready_events);
      break;
    case Step::Storing:
      wait_status_ = mysql_store_result_cont(&result_set_, handle_, ready_events);
      break;
    case Step::Idle:
      return;
  }
  Settle(now);
}

void NonBlockingConnection::Settle(Clock::time_point now) {
  while (InFlight()) {
    if (wait_status_ != 0) {
      library_deadline_ = (wait_status_ & MYSQL_WAIT_TIMEOUT) != 0
                              ? now + milliseconds(mysql_get_timeout_value_ms(handle_))
                              : Clock::time_point::max();
      return;
    }
    switch (step_) {
      case Step::Connecting:
        FinishOpen();
        break;
      case Step::Querying:
        if (query_failed_ != 0) {
          FinishStatement(Failure());
        } else {
          step_ = Step::Storing;
          result_set_ = nullptr;
          wait_status_ = mysql_store_result_start(&result_set_, handle_);
        }
        break;
      case Step::Storing: {
        MYSQL_RES* result_set = std::exchange(result_set_, nullptr);
        // No result set although the statement has columns: its rows were lost on the way. The
        // error is asked as well: a connection lost while the rows came has forgotten the columns.
        if (result_set == nullptr &&
            (mysql_field_count(handle_) != 0 || mysql_errno(handle_) != 0)) {
          FinishStatement(Failure());
        } else {
          const my_ulonglong affected = mysql_affected_rows(handle_);
          FinishStatement(
              results(handle_, result_set,
                      affected == static_cast<my_ulonglong>(-1) ? 0 : std::uint64_t{affected}));
        }
        break;
      }
      case Step::Idle:
        break;
    }
  }
}

void NonBlockingConnection::FinishOpen() {
  step_ = Step::Idle;
  const tls_mode asked_tls = open_settings_.security.tls;
  open_settings_ = {};  // the password with them
  if (connected_ == nullptr) {
    open_error_ = {mysql_errno(handle_), mysql_error(handle_)};
    CloseHandle();
  } else if (asked_tls != tls_mode::disabled && detail::TlsVersion(handle_).empty()) {
    open_error_ = {CR_SSL_CONNECTION_ERROR, detail::kNoTlsText};
    CloseHandle();
  }
}

// A connection that failed, or whose socket the library has ended, is closed: the library would
// not reconnect it, and the next statement must not be sent on it.
void NonBlockingConnection::FinishStatement(results outcome) {
  step_ = Step::Idle;
  statement_.clear();
  const bool connection_ended =
      !outcome.succeeded() &&
      (IsConnectionFailure(outcome.error_number()) || mysql_get_socket(handle_) == kNoSocket);
  result_ = std::move(outcome);
  if (connection_ended) CloseHandle();
}

results NonBlockingConnection::Failure() const {
  return results(mysql_errno(handle_), mysql_error(handle_));
}

int NonBlockingConnection::ReadyEvents(milliseconds timeout) {
  const int wanted = wait_status_ & kSocketEvents;
  if (wanted == 0 || handle_ == nullptr) return 0;
  const my_socket socket = mysql_get_socket(handle_);
  // Nothing to poll: the library, continued, finds that out for itself.
  if (socket == kNoSocket) return wanted;
  if (greeting_awaited_ && step_ == Step::Connecting)
    return GreetingEvents(socket, wanted, timeout);
  return PollSocket(socket, wanted, timeout);
}

// The library is held, whatever it waits for (the connect, then the greeting), until the
// greeting can be read whole from the socket. A closed or failed socket, or an error packet, is
// the library's to report: it answers neither.
int NonBlockingConnection::GreetingEvents(my_socket socket, int wanted, milliseconds timeout) {
  PollEntry entry{};
  entry.fd = socket;
  entry.events = POLLIN;
  const int polled = PollOne(entry, timeout);
  if (polled == 0) return 0;
  // A failed connect: reading would take its error away from the library, which reports it.
  if (polled < 0 || (entry.revents & (POLLERR | POLLNVAL)) != 0) {
    greeting_awaited_ = false;
    return wanted;
  }
  char bytes[kGreetingPeekBytes];
  const int peeked = PeekSocket(socket, bytes, kGreetingPeekBytes);
  const Greeting greeting =
      peeked > 0 ? ReadGreeting(std::string_view(bytes, static_cast<std::size_t>(peeked)))
                 : Greeting::ErrorPacket;
  switch (greeting) {
    case Greeting::Incomplete:
      if (timeout > milliseconds(0))
        std::this_thread::sleep_for(std::min(timeout, kPartGreetingWait));
      return 0;
    case Greeting::WithoutTls:
      CloseHandle();
      open_error_ = {CR_SSL_CONNECTION_ERROR, detail::kNoTlsText};
      return 0;
    case Greeting::OffersTls:
    case Greeting::ErrorPacket:
      break;
  }
  greeting_awaited_ = false;
  return PollSocket(socket, wanted, milliseconds(0));
}

NonBlockingConnection::Clock::time_point NonBlockingConnection::WaitDeadline() const {
  return std::min(deadline_, library_deadline_);
}

// An operation in flight is ended first, through its own error path, so that the library frees
// what it holds for it and its outcome reads as a timed-out one. The goodbye (COM_QUIT) goes out
// only if the socket takes it at once: a send that would wait is ended as timed out too, so that
// closing never waits for a stalled server. mysql_close would send it blocking, for up to the
// write timeout.
void NonBlockingConnection::CloseHandle() noexcept {
  for (int tried = 0; tried < kTimeoutsToEnd && InFlight(); ++tried) {
    Continue(MYSQL_WAIT_TIMEOUT, Clock::time_point{});
  }
  if (handle_ == nullptr) return;  // ending the operation closed it
  MYSQL* handle = std::exchange(handle_, nullptr);
  step_ = Step::Idle;
  greeting_awaited_ = false;
  wait_status_ = 0;
  library_deadline_ = Clock::time_point::max();
  result_set_ = nullptr;
  open_settings_ = {};
  statement_.clear();
  int status = mysql_close_start(handle);
  for (int tried = 0; tried < kTimeoutsToEnd && status != 0; ++tried) {
    status = mysql_close_cont(handle, MYSQL_WAIT_TIMEOUT);
  }
}

}  // namespace daotk::mysql
