// The operator's port prompt.

#include "serial/port/port_select.h"

#include "serial/port/port_select_form.h"

namespace kivo {

std::optional<int> PromptForComPort(QWidget* owner)
{
    TComSelectForm form(owner);
    if (form.exec() != mrOk) return std::nullopt;
    return form.SelectedComNumber();
}

} // namespace kivo
