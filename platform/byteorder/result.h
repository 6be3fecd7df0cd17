// SPDX-License-Identifier: MIT
#pragma once
// A value, or the error that kept a format's reader or writer from making one: the form the
// byte-level libraries answer in, each with its own Error.

#include <optional>
#include <utility>

namespace byteorder {

template <class T, class Error>
class Result {
public:
    Result(T value) : mValue(std::move(value)) {}
    Result(Error error) : mError(error) {}

    explicit operator bool() const { return mValue.has_value(); }
    T& operator*() { return *mValue; }
    const T& operator*() const { return *mValue; }
    T* operator->() { return &*mValue; }
    const T* operator->() const { return &*mValue; }
    const Error& error() const { return mError; }

private:
    std::optional<T> mValue;
    Error mError{};
};

}  // namespace byteorder
