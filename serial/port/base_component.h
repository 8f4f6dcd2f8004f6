#pragma once
// The root of the serial stack's components: a framework component that also
// answers the library's version. Main thread only, like every component.

#include "framework/component.h"

#include <string>

namespace kivo {

inline constexpr const char* KivoVersionText = "kivo 1.0";

class TKivBaseComponent : public TComponent {
public:
    explicit TKivBaseComponent(TComponent* owner) : TComponent(owner) {}

    std::string Version() const { return KivoVersionText; }
    // Accepted and ignored: the text belongs to the library, not the form.
    void SetVersion(const std::string&) {}
};

} // namespace kivo
