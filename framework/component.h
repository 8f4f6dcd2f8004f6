#pragma once
// The component base: an owner that frees what it owns (in reverse creation
// order), the loading, designing and destroying states, the end-of-loading
// step and the insertion and removal notifications that let components drop
// references to one another.

#include "framework/event.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kivo {

enum class TOperation : std::uint8_t { opInsert, opRemove };

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner);
    ~TComponent() override;

    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const noexcept { return OwnerComponent; }
    const std::vector<TComponent*>& Components() const noexcept { return Owned; }

    std::string Name;
    std::intptr_t Tag = 0;

    bool Loading() const noexcept { return IsLoading; }
    bool Designing() const noexcept { return false; }
    bool Destroying() const noexcept { return IsDestroying; }

    // Stored properties are set between these two, as a stored description
    // would set them; EndLoading runs Loaded on this component.
    void BeginLoading() { IsLoading = true; }
    void EndLoading();

    // Each of the two hears (Notification, opRemove) when the other is
    // destroyed.
    void FreeNotification(TComponent* component);
    // Undoes FreeNotification on both sides: neither hears of the other.
    void RemoveFreeNotification(TComponent* component);

protected:
    virtual void Loaded() {}
    virtual void Notification(TComponent* component, TOperation operation);
    // Call first in a derived destructor so notifications see Destroying.
    void BeginDestruction();

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);
    void TellSiblings(TComponent* component, TOperation operation);

    TComponent* OwnerComponent = nullptr;
    std::vector<TComponent*> Owned;
    std::vector<TComponent*> FreeNotifies;
    bool IsLoading = false;
    bool IsDestroying = false;
};

} // namespace kivo
