// The two ways an exception of the serial stack gets its message.

#include "serial/errors/exceptions.h"

#include "serial/errors/message_table.h"

#include <string>

namespace kivo {

namespace {

std::string TextForCode(int code)
{
    std::string text = ErrorMessageText(code);
    // Every mapped code has a text; this keeps a stray code from showing an
    // empty message box.
    if (text.empty()) text = "Kivo exception (code " + std::to_string(code) + ")";
    return text;
}

} // namespace

EKIVException::EKIVException(TFromCode, int code) : Exception(TextForCode(code)), ErrorCode(code) {}

EKIVException::EKIVException(TFromText, std::string text) : Exception(std::move(text)) {}

} // namespace kivo
