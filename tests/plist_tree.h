// SPDX-License-Identifier: MIT
#pragma once
// Short builders for property-list trees in tests.

#include "platform/plist/cfobject.h"

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace plist_tree {

inline CFObjectZorpRef Str(std::string s)
{
    return std::make_shared<CFStringZorp>(std::move(s));
}
inline CFObjectZorpRef Int(std::int64_t v)
{
    return std::make_shared<CFIntegerZorp>(static_cast<std::uint64_t>(v), false);
}
inline CFObjectZorpRef UInt(std::uint64_t v)
{
    return std::make_shared<CFIntegerZorp>(v, true);
}
inline CFObjectZorpRef Real(double v)
{
    return std::make_shared<CFRealZorp>(v);
}
inline CFObjectZorpRef Bool(bool v)
{
    return std::make_shared<CFBooleanZorp>(v);
}
inline CFObjectZorpRef Date(double seconds)
{
    return std::make_shared<CFDateZorp>(seconds);
}
inline CFObjectZorpRef Data(std::string bytes)
{
    return std::make_shared<CFBinaryDataZorp>(std::move(bytes));
}
inline CFObjectZorpRef UID(std::uint32_t v)
{
    return std::make_shared<CFUIDZorp>(v);
}
inline CFObjectZorpRef Null()
{
    return std::make_shared<CFNullZorp>();
}

inline CFObjectZorpRef Array(std::vector<CFObjectZorpRef> items)
{
    return std::make_shared<CFArrayZorp>(std::move(items));
}

inline std::shared_ptr<CFDictionaryZorp>
KeyedDict(std::initializer_list<std::pair<CFObjectZorpRef, CFObjectZorpRef>> entries)
{
    auto dict = std::make_shared<CFDictionaryZorp>();
    for (const auto& [key, value] : entries) dict->Insert(key, value, CFDictionaryZorp::Duplicate::KeepLast);
    return dict;
}

inline std::shared_ptr<CFDictionaryZorp>
Dict(std::initializer_list<std::pair<std::string, CFObjectZorpRef>> entries)
{
    auto dict = std::make_shared<CFDictionaryZorp>();
    for (const auto& [key, value] : entries)
        dict->Insert(Str(key), value, CFDictionaryZorp::Duplicate::KeepLast);
    return dict;
}

}  // namespace plist_tree
