#pragma once

#include "base/DesktopError.h"
#include "base/Executor.h"

#include <atomic>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace korvid {

// Forwards work to another executor only while this object lives. Work that
// arrives after its owner has gone (a thread finishing late, a callback
// dropped at shutdown) is dropped instead of resuming a coroutine that would
// touch freed state. Both the check and the owner's destruction happen on the
// target executor's thread.
class OwnedExecutor final : public Executor {
public:
    using Poster = std::function<void(std::function<void()>)>;

    explicit OwnedExecutor(Executor& target)
        : target_(target)
        , alive_(std::make_shared<int>(0))
    {
    }
    OwnedExecutor(const OwnedExecutor&) = delete;
    OwnedExecutor& operator=(const OwnedExecutor&) = delete;

    void post(std::function<void()> work) override { poster()(std::move(work)); }

    // Posts as post() does, and stays safe to call after this object is gone:
    // a completion that outlives its owner (a bus answer arriving at
    // shutdown, a worker finishing late) must not reach into freed memory to
    // find out that its work is to be dropped. The target executor must
    // outlive the poster's callers.
    Poster poster() const
    {
        return [target = &target_, alive = std::weak_ptr<int>(alive_)](std::function<void()> work) {
            if (alive.expired())
                return;
            target->post([alive, work = std::move(work)] {
                if (alive.lock())
                    work();
            });
        };
    }

private:
    Executor& target_;
    std::shared_ptr<int> alive_;
};

namespace detail {

// How late work reaches `executor`: through an owned executor's poster, which
// survives it, or straight to an executor that lives as long as the process's
// main loop.
inline OwnedExecutor::Poster posterFor(Executor& executor)
{
    if (auto* owned = dynamic_cast<OwnedExecutor*>(&executor))
        return owned->poster();
    return [&executor](std::function<void()> work) { executor.post(std::move(work)); };
}

}

// A lazy coroutine: it starts when awaited and resumes its awaiter when it
// ends; a thrown exception reaches the awaiter. Awaited at most once.
template <class T = void> class Task;

namespace detail {

struct TaskPromiseBase {
    std::coroutine_handle<> continuation;
    std::exception_ptr error;

    std::suspend_always initial_suspend() noexcept { return {}; }

    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <class Promise> std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept
        {
            auto next = self.promise().continuation;
            return next ? next : std::noop_coroutine();
        }
        void await_resume() noexcept { }
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <class T> struct TaskPromise : TaskPromiseBase {
    std::optional<T> value;
    template <class U> void return_value(U&& result) { value.emplace(std::forward<U>(result)); }
    T take()
    {
        if (error)
            std::rethrow_exception(error);
        return std::move(*value);
    }
};

template <> struct TaskPromise<void> : TaskPromiseBase {
    void return_void() noexcept { }
    void take()
    {
        if (error)
            std::rethrow_exception(error);
    }
};

}

template <class T> class Task {
public:
    struct promise_type : detail::TaskPromise<T> {
        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
    };

    Task(Task&& other) noexcept
        : handle_(std::exchange(other.handle_, {}))
    {
    }
    Task& operator=(Task&& other) noexcept
    {
        if (this != &other) {
            if (handle_)
                handle_.destroy();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    ~Task()
    {
        if (handle_)
            handle_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiter) noexcept
    {
        handle_.promise().continuation = awaiter;
        return handle_;
    }
    T await_resume() { return handle_.promise().take(); }

private:
    explicit Task(std::coroutine_handle<promise_type> handle)
        : handle_(handle)
    {
    }
    std::coroutine_handle<promise_type> handle_;
};

namespace detail {

// A coroutine nobody awaits: it starts at once and frees itself at its end.
struct Detached {
    struct promise_type {
        Detached get_return_object() noexcept { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept { }
        void unhandled_exception() noexcept { }
    };
};

template <class T, class Done> Detached runDetached(Task<T> task, Done done)
{
    std::exception_ptr error;
    if constexpr (std::is_void_v<T>) {
        try {
            co_await std::move(task);
        } catch (...) {
            error = std::current_exception();
        }
        try {
            done(error);
        } catch (...) {
        }
    } else {
        std::optional<T> value;
        try {
            value.emplace(co_await std::move(task));
        } catch (...) {
            error = std::current_exception();
        }
        try {
            done(std::move(value), error);
        } catch (...) {
        }
    }
}

struct Unit { };

template <class R> using Stored = std::conditional_t<std::is_void_v<R>, Unit, R>;

}

// Starts `task` from `main`'s queue (so the caller returns first) and hands
// its outcome to `done` exactly once: (value, nullptr) or (none, the error);
// for Task<void>, just the error or nullptr. `done` is called on whatever
// executor the task last resumed on.
template <class T, class Done> void spawn(Executor& main, Task<T> task, Done done)
{
    auto held = std::make_shared<Task<T>>(std::move(task));
    main.post([held, done = std::move(done)]() mutable { detail::runDetached(std::move(*held), std::move(done)); });
}

// Suspends and resumes from `executor`'s queue.
inline auto resumeOn(Executor& executor)
{
    struct Awaiter {
        Executor& executor;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle)
        {
            executor.post([handle] { handle.resume(); });
        }
        void await_resume() const noexcept { }
    };
    return Awaiter { executor };
}

// Runs `work` on `worker` and resumes the awaiting coroutine on `main` with
// its value, or with the exception it threw. `work` gets no references into
// the coroutine beyond what it captured itself.
template <class F> auto runOn(Executor& worker, Executor& main, F work)
{
    using R = std::invoke_result_t<F&>;
    struct Awaiter {
        Executor& worker;
        Executor& main;
        F work;
        std::optional<detail::Stored<R>> result;
        std::exception_ptr error;

        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle)
        {
            worker.post([this, handle, resume = detail::posterFor(main)] {
                try {
                    if constexpr (std::is_void_v<R>) {
                        work();
                        result.emplace();
                    } else {
                        result.emplace(work());
                    }
                } catch (...) {
                    error = std::current_exception();
                }
                resume([handle] { handle.resume(); });
            });
        }
        R await_resume()
        {
            if (error)
                std::rethrow_exception(error);
            if constexpr (!std::is_void_v<R>)
                return std::move(*result);
        }
    };
    return Awaiter { worker, main, std::move(work), std::nullopt, nullptr };
}

// Adapts a callback-style operation to an awaitable. `start` receives a
// completion function to call once (from any thread) with the result; the
// coroutine resumes on `main`. A completion that is dropped without being
// called resumes the coroutine with an error instead of stranding it; extra
// calls are ignored.
template <class T> auto fromCallback(Executor& main, std::function<void(std::function<void(T)>)> start)
{
    struct Awaiter {
        Executor& main;
        std::function<void(std::function<void(T)>)> start;
        std::optional<T> value;
        std::exception_ptr error;

        struct Completion {
            OwnedExecutor::Poster resume;
            std::coroutine_handle<> handle;
            Awaiter* awaiter;
            std::atomic<bool> fired { false };

            void fire(std::optional<T> value, std::exception_ptr error)
            {
                if (fired.exchange(true))
                    return;
                awaiter->value = std::move(value);
                awaiter->error = error;
                resume([handle = handle] { handle.resume(); });
            }
            ~Completion() { fire(std::nullopt, std::make_exception_ptr(DesktopError("操作已中断，请重试。"))); }
        };

        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle)
        {
            auto completion = std::make_shared<Completion>();
            completion->resume = detail::posterFor(main);
            completion->handle = handle;
            completion->awaiter = this;
            try {
                if (!start)
                    throw DesktopError("操作暂不可用。");
                start([completion](T result) { completion->fire(std::move(result), nullptr); });
            } catch (...) {
                completion->fire(std::nullopt, std::current_exception());
            }
        }
        T await_resume()
        {
            if (error)
                std::rethrow_exception(error);
            return std::move(*value);
        }
    };
    return Awaiter { main, std::move(start), std::nullopt, nullptr };
}

}
