// The stand-in body of the data packet's face.

#include "serial/packet/data_packet.h"

#include "framework/application.h"

namespace kivo {

TKivDataPacket::TKivDataPacket(TComponent* owner) : TComponent(owner) {}

TKivDataPacket::~TKivDataPacket()
{
    BeginDestruction();
    SetComPort(nullptr);
}

void TKivDataPacket::SetComPort(TKivComPort* port)
{
    if (port == ComPortValue) return;
    if (ComPortValue) {
        // Both sides, or the port would keep a pointer to us past our end.
        ComPortValue->RemoveFreeNotification(this);
        RemoveFreeNotification(ComPortValue);
    }
    ComPortValue = port;
    if (port) FreeNotification(port);
}

void TKivDataPacket::Notification(TComponent* component, TOperation operation)
{
    TComponent::Notification(component, operation);
    if (operation == TOperation::opRemove && component == ComPortValue) ComPortValue = nullptr;
}

bool TKivDataPacket::DeliverStringPacket(const std::string& data)
{
    if (!EnabledValue || !ComPortValue || !ComPortValue->Open()) return false;
    try {
        OnStringPacket(this, data);
    } catch (...) {
        Application().HandleCurrentException();
    }
    return true;
}

} // namespace kivo
