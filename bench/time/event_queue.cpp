#include "time/event_queue.h"

#include <algorithm>

namespace bench {

EventQueue::Id EventQueue::schedule(Nanos due, Callback callback)
{
    Id id = ++last_id_;
    std::size_t slot;
    if (free_slots_.empty()) {
        slot = callbacks_.size();
        callbacks_.push_back(std::move(callback));
    } else {
        slot = free_slots_.back();
        free_slots_.pop_back();
        callbacks_[slot] = std::move(callback);
    }
    heap_.push_back(Entry{due, id, slot});
    std::push_heap(heap_.begin(), heap_.end(), later);
    return id;
}

bool EventQueue::cancel(Id id)
{
    if (id == kNoEvent)
        return false;
    auto it = std::find_if(heap_.begin(), heap_.end(), [id](const Entry &e) { return e.id == id; });
    if (it == heap_.end())
        return false;
    callbacks_[it->slot] = nullptr;
    free_slots_.push_back(it->slot);
    *it = heap_.back();
    heap_.pop_back();
    std::make_heap(heap_.begin(), heap_.end(), later);
    return true;
}

void EventQueue::clear()
{
    heap_.clear();
    callbacks_.clear();
    free_slots_.clear();
}

std::size_t EventQueue::run_due_events(Nanos now)
{
    std::size_t ran = 0;
    while (!heap_.empty() && heap_.front().due <= now) {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        std::size_t slot = heap_.back().slot;
        heap_.pop_back();
        // Off the queue before it runs: the callback may schedule and cancel.
        Callback callback = std::move(callbacks_[slot]);
        callbacks_[slot] = nullptr;
        free_slots_.push_back(slot);
        ++ran;
        callback();
    }
    return ran;
}

} // namespace bench
