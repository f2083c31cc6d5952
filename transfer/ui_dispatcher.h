#pragma once
// Hands a call from a worker thread to the UI thread and waits until it has run there: the
// dispatcher the telnet client needs. The UI side only has to supply a way to post a function
// to its event loop. Close() ends every wait, so a UI thread that is about to destroy the
// telnet client (and join its reader) never waits on a reader that waits on it.
// Thread safety: Dispatch() from any worker thread; Close() from any thread.

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace tapir::transfer {

class UiDispatcher {
  public:
    // Posts a function to the UI thread's event loop and returns at once; the function may
    // also be dropped (e.g. when the loop has ended).
    using Poster = std::function<void(std::function<void()>)>;

    explicit UiDispatcher(Poster poster);
    UiDispatcher(const UiDispatcher&) = delete;
    UiDispatcher& operator=(const UiDispatcher&) = delete;
    // Closes, so that no worker keeps waiting.
    ~UiDispatcher();

    // Runs `call` on the UI thread through the poster and waits until it has run; an exception
    // it throws is rethrown here, on the calling worker thread, never in the event loop. After
    // Close() returns at once without running `call`.
    void Dispatch(std::function<void()> call);
    // Ends all current and later waits; a posted call that has not started yet will not run.
    void Close();

    // A TIdTelnet::Dispatcher that behaves like Dispatch(). It shares the closed state and may
    // outlive this object; once this object is destroyed (which closes it) it runs nothing.
    [[nodiscard]] std::function<void(std::function<void()>)> AsFunction() const;

  private:
    struct Shared {
        std::mutex mutex;  // guards closed; rank: innermost
        std::condition_variable changed;
        bool closed = false;
    };

    static void DispatchThrough(const Poster& poster, const std::shared_ptr<Shared>& shared,
                                std::function<void()> call);

    Poster poster_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace tapir::transfer
