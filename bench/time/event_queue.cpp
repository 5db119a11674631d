#include "time/event_queue.h"

namespace bench {

EventQueue::Id EventQueue::schedule(Nanos due, Callback callback)
{
    Id id = ++last_id_;
    events_.emplace(Key{due, id}, std::move(callback));
    due_of_.emplace(id, due);
    return id;
}

bool EventQueue::cancel(Id id)
{
    auto it = due_of_.find(id);
    if (it == due_of_.end())
        return false;
    events_.erase(Key{it->second, id});
    due_of_.erase(it);
    return true;
}

void EventQueue::clear()
{
    events_.clear();
    due_of_.clear();
}

std::size_t EventQueue::run_due(Nanos now)
{
    std::size_t ran = 0;
    while (!events_.empty() && events_.begin()->first.first <= now) {
        auto first = events_.begin();
        Callback callback = std::move(first->second);
        due_of_.erase(first->first.second);
        events_.erase(first);
        ++ran;
        callback();
    }
    return ran;
}

} // namespace bench
