#pragma once
// Events as method pointers: an object and a code part. Two events are equal
// when their code parts are; an event is assigned when its code is set. Bind a
// member function with TEvent<...>::Of<&TClass::Method>(object), or any
// callable with FromFunction for handlers that are not members.

#include <functional>
#include <memory>
#include <utility>

namespace kivo {

template <typename... Args>
class TEvent {
public:
    using Thunk = void (*)(void* data, Args... args);

    TEvent() = default;
    TEvent(std::nullptr_t) {}

    template <auto Method, typename T>
    static TEvent Of(T* object)
    {
        TEvent event;
        event.Data = object;
        event.Code = [](void* data, Args... args) {
            (static_cast<T*>(data)->*Method)(std::forward<Args>(args)...);
        };
        return event;
    }

    // A handler that is not a member; each call of FromFunction gives a code
    // part of its own, so two such events never compare equal.
    static TEvent FromFunction(std::function<void(Args...)> function)
    {
        TEvent event;
        event.Function = std::make_shared<std::function<void(Args...)>>(std::move(function));
        event.Data = event.Function.get();
        event.Code = [](void* data, Args... args) {
            (*static_cast<std::function<void(Args...)>*>(data))(std::forward<Args>(args)...);
        };
        return event;
    }

    bool Assigned() const noexcept { return Code != nullptr; }
    explicit operator bool() const noexcept { return Assigned(); }

    void operator()(Args... args) const
    {
        if (Code) Code(Data, std::forward<Args>(args)...);
    }

    void* Object() const noexcept { return Data; }

    friend bool operator==(const TEvent& a, const TEvent& b) noexcept
    {
        if (a.Function || b.Function) return a.Data == b.Data;
        return a.Code == b.Code;
    }

private:
    void* Data = nullptr;
    Thunk Code = nullptr;
    std::shared_ptr<std::function<void(Args...)>> Function;
};

class TObject;
using TNotifyEvent = TEvent<TObject*>;

// Root of the framework's classes, so handlers can take any sender.
class TObject {
public:
    virtual ~TObject() = default;
};

} // namespace kivo
