// SPDX-License-Identifier: MIT
#include "menu.h"

#include <array>
#include <string_view>
#include <utility>

void MenuItem::Append(const MenuItemRef& item)
{
    mChildren.push_back(item);
}

MenuItemRef MenuItem::Item(std::size_t index) const
{
    return index < mChildren.size() ? mChildren[index] : nullptr;
}

MenuItemRef MenuItem::Child(const std::string& name) const
{
    for (const MenuItemRef& child : mChildren) {
        if (child && child->Name() == name) return child;
    }
    return nullptr;
}

namespace {

MenuItemRef Find(const MenuItem& menu, const std::string& name)
{
    for (std::size_t i = 0; i < menu.Count(); ++i) {
        MenuItemRef child = menu.Item(i);
        if (!child) continue;
        if (child->Name() == name) return child;
        if (MenuItemRef found = Find(*child, name)) return found;
    }
    return nullptr;
}

}  // namespace

MenuItemRef MenuBar::_Lookup(const std::string& name) const
{
    return Find(*this, name);
}

std::string LinuxShortcut(const std::string& shortcut)
{
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kModifiers = {{
        {"Cmd+", "Ctrl+"},
        {"Option+", "Alt+"},
        {"Opt+", "Alt+"},
    }};
    std::string result;
    std::string_view rest = shortcut;
    while (!rest.empty()) {
        bool replaced = false;
        for (const auto& [mac, replacement] : kModifiers) {
            if (rest.substr(0, mac.size()) == mac) {
                result += replacement;
                rest.remove_prefix(mac.size());
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            result += rest.front();
            rest.remove_prefix(1);
        }
    }
    return result;
}
