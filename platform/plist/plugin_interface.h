// SPDX-License-Identifier: MIT
#pragma once
// The plug-in's interface, written once: each operation's declaration string beside the type of
// the function exported under it. The plug-in binds its functions and the framework casts what it
// looks up through these same types, so a function whose signature drifts fails to compile.

#include "cfobject.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

class FolderItem;  // the files layer's item, which the Finder refresh takes

namespace plugin {

template <class Signature>
struct Operation {
    using Function = Signature;
    std::string_view declaration;
};

// A nil receiver or argument gives a nil (or empty) result; the framework raises
// NilObjectException before that.
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
// Answered by the files layer: 0, or the error number.
inline constexpr Operation<std::int64_t(const std::shared_ptr<FolderItem>&)> kFinderUpdateZorp{
    "folderitem.FinderUpdateZorp as integer"};
inline constexpr Operation<std::string()> kZorpPluginVersion{"ZorpPluginVersion as string"};

// Every operation, in the order the program binds them.
inline constexpr std::tuple kOperations{
    kNewCFBinaryDataZorpStr, kNewCFObjectZorpFromXML, kEdit, kNewCFStringZorp, kAdd, kXML, kStr,
    kFinderUpdateZorp,       kZorpPluginVersion};

inline constexpr auto kDeclarations =
    std::apply([](const auto&... operation) { return std::array{operation.declaration...}; }, kOperations);

// A type-erased entry point, as looked up by declaration string.
using Entrypoint = void (*)();

template <const auto& Op>
using PointerOf = typename std::remove_cvref_t<decltype(Op)>::Function*;

struct Binding {
    std::string_view declaration;
    Entrypoint entrypoint;
};

// Exports `Function` under the declaration of `Op`.
template <const auto& Op, auto Function>
Binding Bind()
{
    static_assert(std::is_same_v<decltype(Function), PointerOf<Op>>,
                  "the function's signature differs from the one its declaration names");
    return {Op.declaration, reinterpret_cast<Entrypoint>(Function)};
}

// The entry point found for the declaration of `op`, as the function it is.
template <class Signature>
Signature* Restore(const Operation<Signature>&, Entrypoint entry)
{
    return reinterpret_cast<Signature*>(entry);
}

}  // namespace plugin
