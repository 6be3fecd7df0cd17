// SPDX-License-Identifier: MIT
#pragma once
// A JSON Lines writer of our own, for reports a program reads: one object per line, keys in the
// order written. Strings may hold any bytes (names are hostile): valid UTF-8 stays, controls and
// the separators U+2028/U+2029 are escaped, and each byte that is not part of valid UTF-8 becomes
// the lone surrogate U+DC00 + byte (\udcXX), which a reader can map back to the byte.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace json {

// The string as JSON, quotes included.
std::string Quoted(std::string_view bytes);

// An object or array built up in text; nested values are added as finished text.
class Object {
public:
    Object& Add(std::string_view key, std::string_view text);  // a string
    Object& Add(std::string_view key, const char* text) { return Add(key, std::string_view(text)); }
    Object& Add(std::string_view key, bool value);
    Object& Add(std::string_view key, std::int64_t value);
    Object& AddNull(std::string_view key);
    Object& AddRaw(std::string_view key, std::string_view json);  // already JSON
    std::string Text() const { return "{" + mBody + "}"; }

private:
    void Key(std::string_view key);
    std::string mBody;
};

// An array of already written JSON values.
std::string Array(const std::vector<std::string>& values);
std::string StringArray(const std::vector<std::string>& strings);

}  // namespace json
