#pragma once
// The error check that every component boundary applies to a dispatcher
// result, and the raise behind it. Both run on the calling thread and only
// read constant tables.

namespace kivo {

class TComponent;

// Returns code when it is 0 or more, or while component is being loaded from
// its stored description (a null component is never loading); otherwise
// raises as RaiseForCode does and never returns.
int CheckErrorCode(const TComponent* component, int code);

// Raises the exception for a negative code: the class the code maps to,
// created from the code; for -2 ... -162 the runtime's input/output error
// (EOutOfMemory for -8); for any other code EKIVException "Kivo exception"
// with ErrorCode 0. A code of 0 or more is a caller's mistake and raises
// std::invalid_argument.
[[noreturn]] void RaiseForCode(int code);

} // namespace kivo
