#pragma once
// The runtime's exception classes that the stack and the program raise and
// catch: the base exception with its message, the input/output error with its
// system error code, and the out-of-memory error.

#include <stdexcept>
#include <string>

namespace kivo {

class Exception : public std::exception {
public:
    explicit Exception(std::string message, int helpContext = 0)
        : MessageText(std::move(message)), HelpContextValue(helpContext)
    {
    }

    const std::string& Message() const noexcept { return MessageText; }
    int HelpContext() const noexcept { return HelpContextValue; }
    const char* what() const noexcept override { return MessageText.c_str(); }

private:
    std::string MessageText;
    int HelpContextValue;
};

// A failed file or device operation; ErrorCode is the positive error number.
class EInOutError : public Exception {
public:
    EInOutError(std::string message, int errorCode)
        : Exception(std::move(message)), ErrorCode(errorCode)
    {
    }

    int ErrorCode;
};

class EOutOfMemory : public Exception {
public:
    EOutOfMemory() : Exception("Out of memory") {}
};

} // namespace kivo
