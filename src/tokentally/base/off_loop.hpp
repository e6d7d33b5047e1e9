// Work that a coroutine waits for but that must not run on its event loop
// (a read of the store that may take milliseconds, a database round trip):
// it runs on a pool of threads of its own, and the coroutine resumes on its
// own executor with the result, or with what the work threw.
#pragma once

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <exception>
#include <type_traits>
#include <utility>

namespace tokentally {

// How run_on's work completes: with what it threw, and its result if any.
template <class R>
struct OffLoopCompletion {
    using type = void(std::exception_ptr, R);
};
template <>
struct OffLoopCompletion<void> {
    using type = void(std::exception_ptr);
};

// Runs `work()` on `pool`. Until the result is back the caller's executor
// counts it as outstanding work, as any asynchronous operation of Asio does:
// a caller that drives its own io_context with run() (a test, a benchmark)
// keeps running until then. The result type must be default-constructible
// (it stands in the completion when the work threw).
template <class Work>
auto run_on(boost::asio::thread_pool& pool, Work work) {
    namespace asio = boost::asio;
    using R = std::invoke_result_t<Work&>;
    using Signature = typename OffLoopCompletion<R>::type;
    return asio::async_initiate<decltype(asio::use_awaitable), Signature>(
        [&pool](auto handler, Work work) {
            auto back = asio::make_work_guard(asio::get_associated_executor(handler));
            asio::post(pool, [work = std::move(work), handler = std::move(handler), back = std::move(back)]() mutable {
                std::exception_ptr error;
                if constexpr (std::is_void_v<R>) {
                    try {
                        work();
                    } catch (...) {
                        error = std::current_exception();
                    }
                    auto ex = back.get_executor();
                    // The guard goes back with the answer and is released on
                    // the caller's thread: released here, it could reach a
                    // context its owner destroyed the moment the answer arrived.
                    asio::post(ex, [handler = std::move(handler), back = std::move(back), error]() mutable {
                        std::move(handler)(error);
                        back.reset();
                    });
                } else {
                    R result{};
                    try {
                        result = work();
                    } catch (...) {
                        error = std::current_exception();
                    }
                    auto ex = back.get_executor();
                    asio::post(ex, [handler = std::move(handler), back = std::move(back), error,
                                    result = std::move(result)]() mutable {
                        std::move(handler)(error, std::move(result));
                        back.reset();
                    });
                }
            });
        },
        asio::use_awaitable, std::move(work));
}

}  // namespace tokentally
