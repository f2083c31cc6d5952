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
    auto pending = std::make_shared<PendingCall>();
    pending->call = std::move(call);
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->closed) {
            return;
        }
    }
    poster_([shared = shared_, pending] {
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
        pending->error = error;
        pending->done = true;
        shared->changed.notify_all();
    });
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(lock, [&] { return pending->done || shared_->closed; });
    if (pending->done && pending->error) {
        std::rethrow_exception(pending->error);
    }
}

std::function<void(std::function<void()>)> UiDispatcher::AsFunction() {
    return [this](std::function<void()> call) { Dispatch(std::move(call)); };
}

}  // namespace tapir::transfer
