// Callbacks that the components' own threads call, hopping to the host queue.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "base/Executor.h"

namespace orvanta::host {

// `handle` runs later on `queue`, with the owner, unless the owner is gone by then.
template <class... Args, class Owner, class Handle>
std::function<void(Args...)> hopToQueue(base::Executor& queue, std::weak_ptr<Owner> owner, Handle handle) {
    return [owner = std::move(owner), queue = &queue, handle = std::move(handle)](Args... args) {
        queue->async([owner, handle, ... args = std::move(args)]() mutable {
            if (auto alive = owner.lock()) handle(*alive, std::move(args)...);
        });
    };
}

}  // namespace orvanta::host
