#pragma once
// Virtual time for the presence: its timed steps are queued here and run on the link queue when
// the test moves the clock, so the schedule is exact however busy the machine is.
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "cdjlink/CDJProDJLink.hpp"
#include "core/SerialQueue.hpp"

namespace fv::cdj::test {

class VirtualClock {
public:
    using Clock = CDJProDJLink::Clock;

    explicit VirtualClock(SerialQueue& queue) : queue_(queue) {}

    Clock::time_point now() const {
        std::lock_guard g(m_);
        return now_;
    }
    // Milliseconds since the clock was made.
    int64_t ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(now() - Clock::time_point(origin)).count();
    }

    void attach(CDJProDJLink& link) {
        link.setClock([this] { return now(); });
        link.setScheduler([this](std::chrono::milliseconds interval, bool repeating, std::function<void()> fn) {
            std::lock_guard g(m_);
            uint64_t id = next_++;
            events_.emplace(std::make_tuple(now_ + interval, id), Event{interval, repeating, std::move(fn)});
            return std::function<void()>([this, id] {
                std::lock_guard g2(m_);
                cancelled_.insert(id);
            });
        });
    }

    // Moves time forward by d, running every step that falls due on the queue, in time order
    // (steps due at the same time in the order they were scheduled).
    void advance(Clock::duration d) {
        Clock::time_point target;
        {
            std::lock_guard g(m_);
            target = now_ + d;
        }
        for (;;) {
            std::function<void()> fn;
            {
                std::lock_guard g(m_);
                auto it = events_.begin();
                while (it != events_.end() && cancelled_.count(std::get<1>(it->first))) it = events_.erase(it);
                if (it == events_.end() || std::get<0>(it->first) > target) {
                    now_ = target;
                    return;
                }
                auto [due, id] = it->first;
                Event ev = std::move(it->second);
                events_.erase(it);
                now_ = due;
                fn = ev.fn;
                if (ev.repeating) events_.emplace(std::make_tuple(due + ev.interval, id), ev);
            }
            queue_.dispatchSync(fn);
        }
    }

    static constexpr std::chrono::seconds origin{1000};

private:
    struct Event {
        std::chrono::milliseconds interval;
        bool repeating;
        std::function<void()> fn;
    };
    SerialQueue& queue_;
    mutable std::mutex m_;
    Clock::time_point now_{origin};
    uint64_t next_ = 0;
    std::map<std::tuple<Clock::time_point, uint64_t>, Event> events_;
    std::set<uint64_t> cancelled_;
};

}  // namespace fv::cdj::test
