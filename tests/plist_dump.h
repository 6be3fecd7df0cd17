// SPDX-License-Identifier: MIT
#pragma once
// A one-line text form of a property-list tree, for comparing values rather than bytes.

#include "platform/plist/cfobject.h"
#include "platform/plist/plist.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace plist_dump {

inline std::string Number(double v)
{
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", v);
    return buffer;
}

inline std::string Hex(unsigned char c, const char* format)
{
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, format, c);
    return buffer;
}

// Printable ASCII stays, everything else (and " and \) is \xHH of the UTF-8 bytes.
inline std::string Quoted(std::string_view bytes)
{
    std::string out = "\"";
    for (unsigned char c : bytes) {
        out += c >= 0x20 && c < 0x7F && c != '"' && c != '\\' ? std::string(1, static_cast<char>(c))
                                                              : Hex(c, "\\x%02x");
    }
    return out + "\"";
}

inline std::string Dump(const CFObjectZorp& o);

inline std::string List(std::span<const CFObjectZorp* const> items)
{
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + Dump(*items[i]);
    return out + "]";
}

// Dictionary entries sorted by the text of their keys, so insertion order does not matter.
inline std::string Dump(const CFObjectZorp& o)
{
    switch (o.Kind()) {
    case CFKind::String: return Quoted(static_cast<const CFStringZorp&>(o).Text());
    case CFKind::Data: {
        std::string out = "<";
        for (unsigned char c : static_cast<const CFBinaryDataZorp&>(o).Bytes()) out += Hex(c, "%02x");
        return out + ">";
    }
    case CFKind::Integer: {
        const auto& i = static_cast<const CFIntegerZorp&>(o);
        return i.IsUnsigned() ? std::to_string(i.Bits()) : std::to_string(i.AsSigned());
    }
    case CFKind::Real: return "r" + Number(static_cast<const CFRealZorp&>(o).Value());
    case CFKind::Boolean: return static_cast<const CFBooleanZorp&>(o).Value() ? "true" : "false";
    case CFKind::Date: return "d" + Number(static_cast<const CFDateZorp&>(o).Value());
    case CFKind::UID: return "u" + std::to_string(static_cast<const CFUIDZorp&>(o).Value());
    case CFKind::Null: return "null";
    case CFKind::Array: return List(static_cast<const CFArrayZorp&>(o).Items());
    case CFKind::Set: return "set" + List(static_cast<const CFSetZorp&>(o).Items());
    case CFKind::Dictionary: {
        std::vector<std::string> entries;
        for (const auto& e : static_cast<const CFDictionaryZorp&>(o).Entries())
            entries.push_back(Dump(*e.key) + "=" + Dump(*e.value));
        std::sort(entries.begin(), entries.end());
        std::string out = "{";
        for (const auto& e : entries) out += e + ";";
        return out + "}";
    }
    }
    return "?";
}

inline std::string Dump(const CFObjectZorpRef& o)
{
    return o ? Dump(*o) : "(no root)";
}

// The lines of the tree's XML inside its frame; "(nullopt)" when it cannot be written.
inline std::string XmlBody(const CFObjectZorp& root)
{
    static const std::string header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                      "<plist version=\"1.0\">\n",
                             footer = "</plist>\n";
    const std::optional<std::string> xml = plist::WriteXML(root);
    if (!xml) return "(nullopt)";
    if (!xml->starts_with(header) || !xml->ends_with(footer)) return "(not framed) " + *xml;
    return xml->substr(header.size(), xml->size() - header.size() - footer.size());
}

}  // namespace plist_dump
