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
#include <vector>

namespace korvid {

namespace detail {

// The coroutines started on one owner (spawn) that have not finished yet.
struct Roots {
    std::vector<std::coroutine_handle<>> live;
};

}

// Forwards work to another executor only while this object lives. Work that
// arrives after its owner has gone (a thread finishing late, a callback
// dropped at shutdown) is dropped instead of resuming a coroutine that would
// touch freed state. Both the check and the owner's destruction happen on the
// target executor's thread.
//
// Coroutines started on it with spawn() and still waiting when it goes are
// destroyed with it: their frames are freed, their `done` is dropped
// uncalled, and whatever completes their wait later resumes nothing. It must
// not be destroyed from inside one of those coroutines.
class OwnedExecutor final : public Executor {
public:
    using Poster = std::function<void(std::function<void()>)>;

    explicit OwnedExecutor(Executor& target)
        : target_(target)
        , alive_(std::make_shared<int>(0))
        , roots_(std::make_shared<detail::Roots>())
    {
    }
    OwnedExecutor(const OwnedExecutor&) = delete;
    OwnedExecutor& operator=(const OwnedExecutor&) = delete;
    ~OwnedExecutor() override
    {
        // Nothing posted from here on runs, so no frame freed below can be
        // resumed; a frame's destruction may still post (a reply) or start
        // work, which is dropped.
        alive_.reset();
        while (!roots_->live.empty()) {
            auto root = roots_->live.back();
            roots_->live.pop_back();
            root.destroy();
        }
    }

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

    // Whether the owner still lives, to ask on the target executor's thread:
    // expired once it has gone.
    std::weak_ptr<void> lifetime() const { return alive_; }

    // Where spawn() lists the coroutines it starts here.
    std::weak_ptr<detail::Roots> roots() const { return roots_; }

private:
    Executor& target_;
    std::shared_ptr<int> alive_;
    std::shared_ptr<detail::Roots> roots_;
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

// Lists the coroutine that awaits it among its owner's roots (without
// suspending it) and names its handle.
struct Enlist {
    std::weak_ptr<Roots> roots;
    std::coroutine_handle<> self;

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> handle) noexcept
    {
        self = handle;
        if (auto owner = roots.lock()) {
            try {
                owner->live.push_back(handle);
            } catch (...) {
                // Unlisted, it still runs; only an early owner's end would miss it.
            }
        }
        return false;
    }
    std::coroutine_handle<> await_resume() const noexcept { return self; }
};

inline void delist(const std::weak_ptr<Roots>& roots, std::coroutine_handle<> self) noexcept
{
    if (auto owner = roots.lock())
        std::erase(owner->live, self);
}

template <class T, class Done> Detached runDetached(Task<T> task, Done done, std::weak_ptr<Roots> roots)
{
    auto self = co_await Enlist { roots, {} };
    std::exception_ptr error;
    if constexpr (std::is_void_v<T>) {
        try {
            co_await std::move(task);
        } catch (...) {
            error = std::current_exception();
        }
        // Off the owner's list before `done`, which may end the owner.
        delist(roots, self);
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
        delist(roots, self);
        try {
            done(std::move(value), error);
        } catch (...) {
        }
    }
}

struct Unit { };

template <class R> using Stored = std::conditional_t<std::is_void_v<R>, Unit, R>;

// One suspended coroutine and what it is to resume with, shared with
// whoever completes the wait. The outcome is kept here, never in the
// coroutine's frame, so a completion that comes after the frame was freed
// (its owner gone) writes into nothing that was freed.
template <class V> struct Pending {
    std::coroutine_handle<> handle; // touched on the resuming thread only
    std::optional<V> value;
    std::exception_ptr error;

    // Resumes the coroutine, unless its frame has been destroyed.
    void resume()
    {
        if (auto waiting = std::exchange(handle, nullptr))
            waiting.resume();
    }
};

// An awaiter's hold on its Pending. It lives in the coroutine's frame, so
// when the frame is destroyed while waiting, it withdraws the handle: a later
// completion then resumes nothing.
template <class V> class Suspension {
public:
    Suspension() = default;
    Suspension(Suspension&& other) noexcept
        : pending_(std::move(other.pending_))
    {
    }
    Suspension& operator=(Suspension&&) = delete;
    ~Suspension()
    {
        if (pending_)
            pending_->handle = nullptr;
    }

    const std::shared_ptr<Pending<V>>& begin(std::coroutine_handle<> handle)
    {
        pending_ = std::make_shared<Pending<V>>();
        pending_->handle = handle;
        return pending_;
    }
    Pending<V>& operator*() const { return *pending_; }
    Pending<V>* operator->() const { return pending_.get(); }

private:
    std::shared_ptr<Pending<V>> pending_;
};

}

// Starts `task` from `main`'s queue (so the caller returns first) and hands
// its outcome to `done` exactly once: (value, nullptr) or (none, the error);
// for Task<void>, just the error or nullptr. `done` is called on whatever
// executor the task last resumed on. Started on an OwnedExecutor, the task
// belongs to that owner: if the owner goes first, the task is destroyed
// where it waits and `done` is never called.
template <class T, class Done> void spawn(Executor& main, Task<T> task, Done done)
{
    std::weak_ptr<detail::Roots> roots;
    if (auto* owned = dynamic_cast<OwnedExecutor*>(&main))
        roots = owned->roots();
    auto held = std::make_shared<Task<T>>(std::move(task));
    main.post([held, done = std::move(done), roots]() mutable {
        detail::runDetached(std::move(*held), std::move(done), std::move(roots));
    });
}

// Suspends and resumes from `executor`'s queue.
inline auto resumeOn(Executor& executor)
{
    struct Awaiter {
        Executor& executor;
        detail::Suspension<detail::Unit> suspension;

        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle)
        {
            executor.post([pending = suspension.begin(handle)] { pending->resume(); });
        }
        void await_resume() const noexcept { }
    };
    return Awaiter { executor, {} };
}

// Runs `work` on `worker` and resumes the awaiting coroutine on `main` with
// its value, or with the exception it threw. `work` gets no references into
// the coroutine beyond what it captured itself; it is released on the worker
// once it has run.
template <class F> auto runOn(Executor& worker, Executor& main, F work)
{
    using R = std::invoke_result_t<F&>;
    struct Awaiter {
        Executor& worker;
        Executor& main;
        F work;
        detail::Suspension<detail::Stored<R>> suspension;

        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle)
        {
            worker.post([pending = suspension.begin(handle), job = std::make_shared<F>(std::move(work)),
                            resume = detail::posterFor(main)]() mutable {
                try {
                    if constexpr (std::is_void_v<R>) {
                        (*job)();
                        pending->value.emplace();
                    } else {
                        pending->value.emplace((*job)());
                    }
                } catch (...) {
                    pending->error = std::current_exception();
                }
                job.reset();
                resume([pending] { pending->resume(); });
            });
        }
        R await_resume()
        {
            if (suspension->error)
                std::rethrow_exception(suspension->error);
            if constexpr (!std::is_void_v<R>)
                return std::move(*suspension->value);
        }
    };
    return Awaiter { worker, main, std::move(work), {} };
}

// Adapts a callback-style operation to an awaitable. `start` receives a
// completion function to call once (from any thread) with the result; the
// coroutine resumes on `main`. A completion that is dropped without being
// called resumes the coroutine with an error instead of stranding it; extra
// calls are ignored, and so is a call after the coroutine was destroyed.
template <class T> auto fromCallback(Executor& main, std::function<void(std::function<void(T)>)> start)
{
    struct Completion {
        OwnedExecutor::Poster resume;
        std::shared_ptr<detail::Pending<T>> pending;
        std::atomic<bool> fired { false };

        void fire(std::optional<T> value, std::exception_ptr error)
        {
            if (fired.exchange(true))
                return;
            pending->value = std::move(value);
            pending->error = error;
            resume([pending = pending] { pending->resume(); });
        }
        ~Completion() { fire(std::nullopt, std::make_exception_ptr(DesktopError("操作已中断，请重试。"))); }
    };

    struct Awaiter {
        Executor& main;
        std::function<void(std::function<void(T)>)> start;
        detail::Suspension<T> suspension;

        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle)
        {
            auto completion = std::make_shared<Completion>();
            completion->resume = detail::posterFor(main);
            completion->pending = suspension.begin(handle);
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
            if (suspension->error)
                std::rethrow_exception(suspension->error);
            return std::move(*suspension->value);
        }
    };
    return Awaiter { main, std::move(start), {} };
}

}
