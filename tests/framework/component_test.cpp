// Free notifications between components that do not own one another.

#include "framework/component.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace kivo {
namespace {

// Counts the removals it hears of; OnRemove runs inside the notification.
class TWatcher : public TComponent {
public:
    TWatcher() : TComponent(nullptr) {}
    std::vector<TComponent*> Removed;
    std::function<void(TComponent*)> OnRemove;

protected:
    void Notification(TComponent* component, TOperation operation) override
    {
        if (operation != TOperation::opRemove) return;
        Removed.push_back(component);
        if (OnRemove) OnRemove(component);
    }
};

TEST(ComponentFreeNotification, AWatcherLettingGoInsideItsNotificationLeavesTheOthersTold)
{
    TWatcher first, second, third;
    auto* watched = new TComponent(nullptr);
    first.FreeNotification(watched);
    second.FreeNotification(watched);
    third.FreeNotification(watched);
    // The usual way of dropping a reference: unsubscribe without asking
    // whether the other one is being destroyed.
    first.OnRemove = [&](TComponent* gone) { gone->RemoveFreeNotification(&first); };
    delete watched;
    EXPECT_EQ(first.Removed, std::vector<TComponent*>{watched});
    EXPECT_EQ(second.Removed, std::vector<TComponent*>{watched});
    EXPECT_EQ(third.Removed, std::vector<TComponent*>{watched});
}

TEST(ComponentFreeNotification, AWatcherFreedByAnotherOnesNotificationIsNotToldAfterwards)
{
    TWatcher first, third;
    auto* second = new TWatcher;
    auto* watched = new TComponent(nullptr);
    first.FreeNotification(watched);
    second->FreeNotification(watched);
    third.FreeNotification(watched);
    first.OnRemove = [&](TComponent*) { delete second; };
    delete watched;
    EXPECT_EQ(first.Removed, std::vector<TComponent*>{watched});
    EXPECT_EQ(third.Removed, std::vector<TComponent*>{watched});
}

} // namespace
} // namespace kivo
