// Free notifications between components that do not own one another, and
// the notices siblings hear as their owner gains and loses components.

#include "framework/component.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>
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

TEST(ComponentFreeNotification, LettingGoFromEitherSideLeavesNeitherHoldingTheOther)
{
    for (bool watchedLetsGo : {true, false}) {
        SCOPED_TRACE(watchedLetsGo ? "the watched one lets go" : "the watcher lets go");
        auto* watcher = new TWatcher;
        auto* watched = new TWatcher;
        watcher->FreeNotification(watched);
        if (watchedLetsGo)
            watched->RemoveFreeNotification(watcher);
        else
            watcher->RemoveFreeNotification(watched);
        delete watched;
        EXPECT_TRUE(watcher->Removed.empty());
        delete watcher;
    }
}

// Hears what its owner gains and loses; OnNotice runs inside the notice.
class TSibling : public TComponent {
public:
    using TComponent::TComponent;
    std::vector<TComponent*> Heard;
    std::function<void(TComponent*, TOperation)> OnNotice;

protected:
    void Notification(TComponent* component, TOperation operation) override
    {
        Heard.push_back(component);
        if (OnNotice) OnNotice(component, operation);
    }
};

TEST(ComponentOwnership, ASiblingFreedOrMadeInsideANoticeLeavesTheOthersTold)
{
    TComponent owner(nullptr);
    auto* first = new TSibling(&owner);
    auto* other = new TSibling(&owner);
    auto* freed = new TSibling(&owner);
    auto* leaving = new TComponent(&owner);
    first->OnNotice = [&](TComponent* component, TOperation operation) {
        if (component == leaving && operation == TOperation::opRemove) delete freed;
    };
    other->Heard.clear();
    delete leaving;
    EXPECT_EQ(other->Heard, (std::vector<TComponent*>{freed, leaving}));

    // Enough siblings made inside one notice that the list must grow.
    bool making = false;
    first->OnNotice = [&](TComponent*, TOperation operation) {
        if (operation != TOperation::opInsert || std::exchange(making, true)) return;
        for (int i = 0; i < 16; ++i) new TComponent(&owner);
    };
    other->Heard.clear();
    auto* arriving = new TComponent(&owner);
    EXPECT_EQ(other->Heard.size(), 17u);
    EXPECT_EQ(other->Heard.back(), arriving);
    EXPECT_EQ(owner.Components().back(), arriving);
}

} // namespace
} // namespace kivo
