// SPDX-License-Identifier: MIT
#pragma once
// Using a nil object raises NilObjectException; nothing in the program catches it.

#include <memory>
#include <stdexcept>

class NilObjectException : public std::runtime_error {
public:
    NilObjectException() : std::runtime_error("NilObjectException") {}
};

// The object behind a reference, or NilObjectException when there is none.
template <class T>
T& Use(const std::shared_ptr<T>& ref)
{
    if (!ref) throw NilObjectException();
    return *ref;
}
