#include "transfer/ui_dispatcher.h"

namespace tapir::transfer {

namespace {

// One handed-over call; shared by the waiting worker and the posted function, which may run
// (or be destroyed unrun) after the worker has stopped waiting.
struct PendingCall {
    std::function<void()> call;
    bool done = false;
    std::exception_ptr error;
};

}  // namespace

UiDispatcher::UiDispatcher(Poster poster)
    : poster_(std::move(poster)), shared_(std::make_shared<Shared>()) {}

UiDispatcher::~UiDispatcher() { Close(); }

void UiDispatcher::Close() {
    std::lock_guard lock(shared_->mutex);
    shared_->closed = true;
    shared_->changed.notify_all();
}

void UiDispatcher::Dispatch(std::function<void()> call) {
    DispatchThrough(poster_, shared_, std::move(call));
}

void UiDispatcher::DispatchThrough(const Poster& poster, const std::shared_ptr<Shared>& state,
                                   std::function<void()> call) {
    auto pending = std::make_shared<PendingCall>();
    pending->call = std::move(call);
    {
        std::lock_guard lock(state->mutex);
        if (state->closed) {
            return;
        }
    }
    poster([shared = state, pending] {
        {
            std::lock_guard lock(shared->mutex);
            if (shared->closed) {
                return;
            }
        }
        std::exception_ptr error;
        try {
            pending->call();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(shared->mutex);
        pending->error = std::move(error);
        pending->done = true;
        shared->changed.notify_all();
    });
    std::unique_lock lock(state->mutex);
    state->changed.wait(lock, [&] { return pending->done || state->closed; });
    // Take the error over under the lock: the posted function may release its share of
    // `pending` on the UI thread later.
    std::exception_ptr error = std::move(pending->error);
    lock.unlock();
    if (error) {
        std::rethrow_exception(error);
    }
}

std::function<void(std::function<void()>)> UiDispatcher::AsFunction() const {
    return [poster = poster_, shared = shared_](std::function<void()> call) {
        DispatchThrough(poster, shared, std::move(call));
    };
}

}  // namespace tapir::transfer
