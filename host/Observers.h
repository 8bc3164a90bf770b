#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace korvid {

// A list of callbacks told, on the main thread, after a published field
// changed. Observers may subscribe or unsubscribe while being notified.
class Observers {
public:
    using Token = std::size_t;

    Token subscribe(std::function<void()> observer)
    {
        entries_.push_back({ ++lastToken_, std::move(observer) });
        return lastToken_;
    }

    void unsubscribe(Token token)
    {
        for (auto& entry : entries_)
            if (entry.token == token)
                entry.observer = nullptr;
    }

    void notify()
    {
        // A copy, so callbacks that subscribe or unsubscribe do not disturb
        // the walk.
        auto current = entries_;
        for (auto& entry : current)
            if (entry.observer && isSubscribed(entry.token))
                entry.observer();
        std::erase_if(entries_, [](const Entry& entry) { return !entry.observer; });
    }

private:
    struct Entry {
        Token token;
        std::function<void()> observer;
    };

    bool isSubscribed(Token token) const
    {
        for (auto& entry : entries_)
            if (entry.token == token)
                return static_cast<bool>(entry.observer);
        return false;
    }

    std::vector<Entry> entries_;
    Token lastToken_ = 0;
};

}
