// Who hears of the registry's state changes: the observers and their subscriptions.
#include "PluginObservers.h"

#include "PluginInterface.h"

#include "Lock.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace plugins {

// The observers of one registry; shared with the subscriptions, which may outlive the registry.
class ObserverList {
public:
    void Add(const std::shared_ptr<IPluginObserver>& observer)
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        m_observers.push_back(observer);
    }
    void Remove(const IPluginObserver* observer)
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        m_observers.erase(std::remove_if(m_observers.begin(), m_observers.end(),
                                         [observer](const auto& each) { return each.get() == observer; }),
                          m_observers.end());
    }
    // A copy: observers are told without the lock, and one that unsubscribes meanwhile stays alive
    // until it has been told.
    std::vector<std::shared_ptr<IPluginObserver>> Copy()
    {
        std::lock_guard<zerova::Mutex> guard(m_lock);
        return m_observers;
    }

private:
    zerova::Mutex m_lock;  // held only to copy or change the list
    std::vector<std::shared_ptr<IPluginObserver>> m_observers;
};

std::shared_ptr<ObserverList> MakeObserverList() { return std::make_shared<ObserverList>(); }

std::vector<std::shared_ptr<IPluginObserver>> ObserversOf(ObserverList& list) { return list.Copy(); }

}  // namespace plugins

PluginSubscription::PluginSubscription(const std::shared_ptr<plugins::ObserverList>& list,
                                       const IPluginObserver* observer)
    : m_list(list), m_observer(observer)
{
}

PluginSubscription::~PluginSubscription() { End(); }

PluginSubscription::PluginSubscription(PluginSubscription&& other) noexcept
    : m_list(std::move(other.m_list)), m_observer(other.m_observer)
{
    other.m_observer = nullptr;
}

PluginSubscription& PluginSubscription::operator=(PluginSubscription&& other) noexcept
{
    if (this != &other) {
        End();
        m_list = std::move(other.m_list);
        m_observer = other.m_observer;
        other.m_observer = nullptr;
    }
    return *this;
}

void PluginSubscription::End()
{
    if (m_observer == nullptr) return;
    if (const auto list = m_list.lock()) list->Remove(m_observer);
    m_observer = nullptr;
}

void CPluginInterface::Subscribe(const std::shared_ptr<IPluginObserver>& observer)
{
    if (observer != nullptr) m_observers->Add(observer);
}

void CPluginInterface::Unsubscribe(const IPluginObserver* observer) { m_observers->Remove(observer); }

PluginSubscription CPluginInterface::Observe(const std::shared_ptr<IPluginObserver>& observer)
{
    if (observer == nullptr) return {};
    m_observers->Add(observer);
    return PluginSubscription(m_observers, observer.get());
}

void CPluginInterface::PublishStateChange(const VarnelPluginStateChange& change)
{
    for (const auto& observer : m_observers->Copy()) observer->PluginStateChanged(change);
}
