// Ownership, loading state and notifications of the component base.

#include "framework/component.h"

#include <algorithm>

namespace kivo {

TComponent::TComponent(TComponent* owner)
{
    if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent()
{
    BeginDestruction();
    // Taken off one at a time: a notification may unsubscribe from this
    // list or free another component on it, which then leaves it.
    while (!FreeNotifies.empty()) {
        TComponent* other = FreeNotifies.front();
        FreeNotifies.erase(FreeNotifies.begin());
        other->RemoveFreeNotification(this);
        other->Notification(this, TOperation::opRemove);
    }
    // Owned components go in reverse creation order; each removes itself.
    while (!Owned.empty()) delete Owned.back();
    if (OwnerComponent) OwnerComponent->RemoveComponent(this);
}

void TComponent::BeginDestruction()
{
    IsDestroying = true;
}

void TComponent::EndLoading()
{
    if (!IsLoading) return;
    IsLoading = false;
    Loaded();
}

void TComponent::FreeNotification(TComponent* component)
{
    if (!component || component == this) return;
    if (std::find(FreeNotifies.begin(), FreeNotifies.end(), component) == FreeNotifies.end()) {
        FreeNotifies.push_back(component);
        component->FreeNotification(this);
    }
}

// Both sides, as FreeNotification added both: one left holding the other
// would reach it after it has gone.
void TComponent::RemoveFreeNotification(TComponent* component)
{
    if (!component) return;
    std::erase(FreeNotifies, component);
    std::erase(component->FreeNotifies, this);
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::InsertComponent(TComponent* component)
{
    component->OwnerComponent = this;
    TellSiblings(component, TOperation::opInsert);
    Owned.push_back(component);
    Notification(component, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* component)
{
    std::erase(Owned, component);
    component->OwnerComponent = nullptr;
    Notification(component, TOperation::opRemove);
    TellSiblings(component, TOperation::opRemove);
}

// A sibling's notification may free other siblings or make new ones, which
// changes the list: those present now are told, unless freed meanwhile.
void TComponent::TellSiblings(TComponent* component, TOperation operation)
{
    const std::vector<TComponent*> siblings = Owned;
    for (TComponent* sibling : siblings) {
        if (std::find(Owned.begin(), Owned.end(), sibling) == Owned.end()) continue;
        sibling->Notification(component, operation);
    }
}

} // namespace kivo
