// SPDX-License-Identifier: MIT
#pragma once
// The plug-in's operations, written once: each one's declaration string beside the type of the
// function exported under it. The plug-in's table holds its functions in these types, and the
// program looks each up and calls it through the same, so a signature that drifts fails to compile.

#include "platform/plist/cfobject.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace plist {

template <class Signature>
struct Operation {
    using Function = Signature;
    std::string_view declaration;
};

// A nil receiver or argument gives a nil (or empty) result; the program raises NilObjectException
// before that.
inline constexpr Operation<CFBinaryDataZorpRef(const std::string&)> kNewCFBinaryDataZorpStr{
    "NewCFBinaryDataZorpStr(s as string) as CFBinaryDataZorp"};
inline constexpr Operation<CFObjectZorpRef(const CFBinaryDataZorpRef&)> kNewCFObjectZorpFromXML{
    "NewCFObjectZorpFromXML(XMLdata as CFBinaryDataZorp) as CFObjectZorp"};  // nullptr: no root
inline constexpr Operation<CFMutableDictionaryZorpRef(const CFDictionaryZorpRef&)> kEdit{
    "CFDictionaryZorp.Edit as CFMutableDictionaryZorp"};
inline constexpr Operation<CFStringZorpRef(const std::string&)> kNewCFStringZorp{
    "NewCFStringZorp(s as string) as CFStringZorp"};  // nullptr: not UTF-8
inline constexpr Operation<void(const CFMutableDictionaryZorpRef&, const CFObjectZorpRef&,
                                const CFObjectZorpRef&)>
    kAdd{"CFMutableDictionaryZorp.Add(key as CFObjectZorp,value as CFObjectZorp)"};
inline constexpr Operation<CFBinaryDataZorpRef(const CFObjectZorpRef&)> kXML{
    "CFObjectZorp.XML as CFBinaryDataZorp"};  // nullptr: not writable as XML
inline constexpr Operation<std::string(const CFBinaryDataZorpRef&)> kStr{"CFBinaryDataZorp.Str as String"};
inline constexpr Operation<std::string()> kZorpPluginVersion{"ZorpPluginVersion as string"};

// Every operation of the plug-in, in the order the program binds them.
inline constexpr std::tuple kOperations{
    kNewCFBinaryDataZorpStr, kNewCFObjectZorpFromXML, kEdit, kNewCFStringZorp, kAdd, kXML, kStr,
    kZorpPluginVersion};
inline constexpr std::size_t kOperationCount = std::tuple_size_v<decltype(kOperations)>;

// A pointer to each operation's function, in kOperations' order: the plug-in's table, and the
// program's table of what it looked up.
using FunctionTable = decltype(std::apply(
    [](const auto&... operation) {
        return std::tuple<typename std::remove_cvref_t<decltype(operation)>::Function*...>{};
    },
    kOperations));

// Where `op` is in kOperations.
template <const auto& op>
constexpr std::size_t PositionOf()
{
    return std::apply(
        [](const auto&... operation) {
            std::size_t position = 0, found = kOperationCount;
            ((operation.declaration == op.declaration ? found = position : ++position), ...);
            return found;
        },
        kOperations);
}

// A type-erased entry point, as looked up by declaration string.
using Entrypoint = void (*)();

// The plug-in's entry point for a declaration string written exactly as above; nullptr when unknown.
Entrypoint LookupEntrypoint(std::string_view declaration);

// An entry point looked up for `Op`, as the function it is.
template <class Signature>
Signature* Restore(const Operation<Signature>&, Entrypoint entry)
{
    return reinterpret_cast<Signature*>(entry);
}

}  // namespace plist
