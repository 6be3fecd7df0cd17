// SPDX-License-Identifier: MIT
#include "json.h"

namespace json {

namespace {

// The length of the valid UTF-8 sequence at `at`, or 0 (overlong forms, surrogates and code
// points past U+10FFFF are not valid).
std::size_t Utf8Length(std::string_view text, std::size_t at, std::uint32_t& codePoint)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    std::uint32_t least = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, least = 0x80, codePoint = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, least = 0x800, codePoint = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, least = 0x10000, codePoint = lead & 0x07;
    else
        return 0;
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
    }
    if (codePoint < least || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
    return length;
}

void Escape(std::string& out, unsigned value)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

}  // namespace

std::string Quoted(std::string_view bytes)
{
    std::string out = "\"";
    for (std::size_t at = 0; at < bytes.size();) {
        std::uint32_t codePoint = 0;
        const std::size_t length = Utf8Length(bytes, at, codePoint);
        if (length == 0) {
            Escape(out, 0xDC00 + static_cast<unsigned char>(bytes[at]));
            ++at;
            continue;
        }
        switch (codePoint) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            // Controls, DEL, and what some readers take for line ends.
            if (codePoint < 0x20 || codePoint == 0x7F || codePoint == 0x2028 || codePoint == 0x2029)
                Escape(out, codePoint);
            else
                out.append(bytes.substr(at, length));
        }
        at += length;
    }
    return out + "\"";
}

void Object::Key(std::string_view key)
{
    if (!mBody.empty()) mBody += ",";
    mBody += Quoted(key) + ":";
}

Object& Object::Add(std::string_view key, std::string_view text)
{
    Key(key);
    mBody += Quoted(text);
    return *this;
}

Object& Object::Add(std::string_view key, bool value)
{
    Key(key);
    mBody += value ? "true" : "false";
    return *this;
}

Object& Object::Add(std::string_view key, std::int64_t value)
{
    Key(key);
    mBody += std::to_string(value);
    return *this;
}

Object& Object::AddNull(std::string_view key)
{
    Key(key);
    mBody += "null";
    return *this;
}

Object& Object::AddRaw(std::string_view key, std::string_view json)
{
    Key(key);
    mBody += json;
    return *this;
}

std::string Array(const std::vector<std::string>& values)
{
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + values[i];
    return out + "]";
}

std::string StringArray(const std::vector<std::string>& strings)
{
    std::vector<std::string> quoted;
    for (const std::string& each : strings) quoted.push_back(Quoted(each));
    return Array(quoted);
}

}  // namespace json
