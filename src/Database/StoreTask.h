#pragma once
// A store operation that may have to wait for the database: a C++20 coroutine that starts when it
// is awaited (or when its owner starts it) and hands its value, or the exception it ended with, to
// whoever awaits it. On a blocking connection nothing suspends, so a whole chain of operations runs
// at once inside the caller, as plain calls would. On a non-blocking one the innermost statement
// suspends, and the chain goes on when the store's Advance resumes it on a later tick.

#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace veltrane {

namespace detail {

struct StoreTaskPromiseBase {
  // Who awaits this task; none for a task started by its owner.
  std::coroutine_handle<> continuation;
  std::exception_ptr error;

  // Lazy: nothing runs before the task is awaited or started.
  std::suspend_always initial_suspend() noexcept { return {}; }

  // At its end the task hands the thread straight to its awaiter (symmetric transfer), so a long
  // chain of operations that never suspends does not pile up frames on the stack.
  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <typename Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> ended) noexcept {
      const std::coroutine_handle<> next = ended.promise().continuation;
      return next ? next : std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }

  void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <typename T>
struct StoreTaskPromise : StoreTaskPromiseBase {
  std::optional<T> value;
  // By value, so that a braced list names the result: co_return {false, StoreAnswer::Known}.
  void return_value(T result) { value.emplace(std::move(result)); }
  T Take() {
    if (error) std::rethrow_exception(error);
    return std::move(*value);
  }
};

template <>
struct StoreTaskPromise<void> : StoreTaskPromiseBase {
  void return_void() noexcept {}
  void Take() {
    if (error) std::rethrow_exception(error);
  }
};

}  // namespace detail

template <typename T = void>
class [[nodiscard]] StoreTask {
 public:
  struct promise_type : detail::StoreTaskPromise<T> {
    StoreTask get_return_object() {
      return StoreTask(std::coroutine_handle<promise_type>::from_promise(*this));
    }
  };
  using Handle = std::coroutine_handle<promise_type>;

  StoreTask() = default;
  StoreTask(StoreTask&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  StoreTask& operator=(StoreTask&& other) noexcept {
    if (this != &other) {
      Destroy();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  StoreTask(const StoreTask&) = delete;
  StoreTask& operator=(const StoreTask&) = delete;
  // A task dropped before its end (an unload) takes its whole chain of frames with it.
  ~StoreTask() { Destroy(); }

  // co_await: runs the task; the awaiter goes on with its result when it has ended.
  bool await_ready() const noexcept { return !handle_ || handle_.done(); }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    handle_.promise().continuation = awaiting;
    return handle_;
  }
  T await_resume() { return handle_.promise().Take(); }

  // For the owner of a task that nobody awaits: Start runs it up to its first wait (to its end on
  // a blocking connection); once Done, Result gives its value or throws its exception.
  void Start() { handle_.resume(); }
  bool Valid() const noexcept { return static_cast<bool>(handle_); }
  bool Done() const noexcept { return !handle_ || handle_.done(); }
  T Result() { return handle_.promise().Take(); }

 private:
  explicit StoreTask(Handle handle) : handle_(handle) {}
  void Destroy() noexcept {
    if (handle_) handle_.destroy();
    handle_ = {};
  }

  Handle handle_;
};

}  // namespace veltrane
