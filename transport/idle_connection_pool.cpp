#include "transport/idle_connection_pool.h"

#include <utility>

#include "transport/garbage_collector.h"
#include "transport/net_interfaces.h"

cpCIdleConnectionPool::~cpCIdleConnectionPool() { CloseAll(); }

bool cpCIdleConnectionPool::IsOpen(const vzSmartPtr& connection) {
    auto* context = connection.As<vzIQoSContext>();
    int state = kStateClosed;
    if (!context || vzFailed(context->GetState(&state))) return false;
    return state == kStateConnected || state == kStateSending || state == kStateReceiving ||
           state == kStateReady;
}

void cpCIdleConnectionPool::LetGo(vzSmartPtr connection) {
    if (!connection) return;
    if (IsOpen(connection)) (void)connection.As<vzIQoSContext>()->Close();  // a close always completes
    vzCGarbageCollector::Instance()->DeferRelease(std::move(connection));
}

void cpCIdleConnectionPool::Park(const std::string& key, vzSmartPtr connection,
                                 std::uint32_t now) {
    if (!connection) return;
    if (!IsOpen(connection)) {
        LetGo(std::move(connection));
        return;
    }
    if (idle_.size() >= kMaxIdle) {
        vzSmartPtr oldest = std::move(idle_.front().connection);
        idle_.erase(idle_.begin());
        LetGo(std::move(oldest));
    }
    idle_.push_back(Entry{key, std::move(connection), now});
}

vzSmartPtr cpCIdleConnectionPool::Take(const std::string& key, const FitnessCheck& fitness) {
    // The newest first: the one least likely to have been closed by the
    // server in the meantime.
    for (std::size_t i = idle_.size(); i-- > 0;) {
        if (idle_[i].key != key) continue;
        Fitness fit = Fitness::kNever;
        if (IsOpen(idle_[i].connection))
            fit = fitness ? fitness(idle_[i].connection.As<vzIQoSContext>()) : Fitness::kReady;
        if (fit == Fitness::kLater) continue;
        vzSmartPtr candidate = std::move(idle_[i].connection);
        idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
        if (fit == Fitness::kReady) return candidate;
        LetGo(std::move(candidate));
    }
    return {};
}

void cpCIdleConnectionPool::OnSecondTick(std::uint32_t now) {
    std::vector<vzSmartPtr> expired;
    for (std::size_t i = 0; i < idle_.size();) {
        if (now - idle_[i].since >= kIdleSeconds || !IsOpen(idle_[i].connection)) {
            expired.push_back(std::move(idle_[i].connection));
            idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    // Closed after the list is consistent again: a close runs the layers'
    // callbacks, which may park or take.
    for (vzSmartPtr& connection : expired) LetGo(std::move(connection));
}

void cpCIdleConnectionPool::CloseAll() {
    std::vector<Entry> all = std::move(idle_);
    idle_.clear();
    // Nothing of these runs any more; they are released here and now.
    for (Entry& entry : all)
        if (IsOpen(entry.connection)) (void)entry.connection.As<vzIQoSContext>()->Close();
}

std::size_t cpCIdleConnectionPool::OpenFor(const std::string& key) const {
    std::size_t count = 0;
    for (const Entry& entry : idle_) count += entry.key == key && IsOpen(entry.connection) ? 1 : 0;
    return count;
}
