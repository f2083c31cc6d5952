#include "transfer/ui_dispatcher.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace tapir::transfer {
namespace {

// A stand-in for the UI thread's event loop: posted functions queue up until RunOne().
class FakeEventLoop {
  public:
    void Post(std::function<void()> function) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(function));
        changed_.notify_all();
    }
    // Waits for one posted function and runs it on the calling ("UI") thread.
    void RunOne() {
        std::function<void()> function;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !queue_.empty(); });
            function = std::move(queue_.front());
            queue_.pop_front();
        }
        function();
    }
    void WaitUntilPosted() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !queue_.empty(); });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
};

TEST(UiDispatcher, RunsCallOnUiThreadAndWaitsForIt) {
    FakeEventLoop loop;
    UiDispatcher dispatcher([&loop](std::function<void()> f) { loop.Post(std::move(f)); });
    std::thread::id ran_on;
    bool returned = false;
    std::thread worker([&] {
        dispatcher.Dispatch([&] { ran_on = std::this_thread::get_id(); });
        returned = true;
    });
    loop.RunOne();
    worker.join();
    EXPECT_EQ(ran_on, std::this_thread::get_id());
    EXPECT_TRUE(returned);
}

TEST(UiDispatcher, ExceptionComesBackToTheWorker) {
    FakeEventLoop loop;
    UiDispatcher dispatcher([&loop](std::function<void()> f) { loop.Post(std::move(f)); });
    bool caught = false;
    std::thread worker([&] {
        try {
            dispatcher.Dispatch([] { throw std::runtime_error("handler failed"); });
        } catch (const std::runtime_error& error) {
            caught = std::string(error.what()) == "handler failed";
        }
    });
    EXPECT_NO_THROW(loop.RunOne());
    worker.join();
    EXPECT_TRUE(caught);
}

TEST(UiDispatcher, CloseReleasesWaitingWorkerAndDropsTheCall) {
    FakeEventLoop loop;
    UiDispatcher dispatcher([&loop](std::function<void()> f) { loop.Post(std::move(f)); });
    bool ran = false;
    std::thread worker([&] { dispatcher.Dispatch([&] { ran = true; }); });
    loop.WaitUntilPosted();
    dispatcher.Close();  // the UI thread stops serving
    worker.join();       // would hang if Close did not end the wait
    loop.RunOne();       // the late call finds the dispatcher closed
    EXPECT_FALSE(ran);
    dispatcher.Dispatch([&] { ran = true; });  // after Close: returns at once
    EXPECT_FALSE(ran);
}

TEST(UiDispatcher, FunctionOutlivingTheDispatcherRunsNothing) {
    FakeEventLoop loop;
    std::function<void(std::function<void()>)> dispatch;
    {
        UiDispatcher dispatcher([&loop](std::function<void()> f) { loop.Post(std::move(f)); });
        dispatch = dispatcher.AsFunction();
    }
    bool ran = false;
    dispatch([&] { ran = true; });  // returns at once: the dispatcher closed when destroyed
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace tapir::transfer
