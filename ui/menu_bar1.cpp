// SPDX-License-Identifier: MIT
#include "menu_bar1.h"

#include "platform/framework/nil_object.h"

#include <array>
#include <optional>
#include <string_view>

namespace {

enum class Kind { Plain, Quit, Apple };

struct MenuRow {
    std::string_view name;
    Kind kind;
    std::string_view menu;  // empty: appended to the menu bar itself
    std::string_view text;
    std::optional<std::string_view> keyboardShortcut;  // the separators' is never written
    bool autoEnable;
};

constexpr std::array<MenuRow, 4> kFileRows{{
    {"FileMenu", Kind::Plain, "", "&File", "", false},
    {"FileOpen", Kind::Plain, "FileMenu", "Open...", "Cmd+O", false},
    {"UntitledMenu1", Kind::Plain, "FileMenu", "-", std::nullopt, true},
    {"FileQuit", Kind::Quit, "FileMenu", "Quit", "Cmd+Q", true},
}};

constexpr std::array<MenuRow, 8> kEditRows{{
    {"EditMenu", Kind::Plain, "", "&Edit", "", false},
    {"EditUndo", Kind::Plain, "EditMenu", "&Undo", "Cmd+Z", false},
    {"UntitledMenu0", Kind::Plain, "EditMenu", "-", std::nullopt, false},
    {"EditCut", Kind::Plain, "EditMenu", "Cu&t", "Cmd+X", false},
    {"EditCopy", Kind::Plain, "EditMenu", "&Copy", "Cmd+C", false},
    {"EditPaste", Kind::Plain, "EditMenu", "&Paste", "Cmd+V", false},
    {"EditClear", Kind::Plain, "EditMenu", "Clear", "", false},
    {"AppleAboutVeilor", Kind::Apple, "EditMenu", "About Veilor...", "", false},
}};

MenuItemRef NewItem(Kind kind)
{
    switch (kind) {
    case Kind::Quit: return std::make_shared<QuitMenuItem>();
    case Kind::Apple: return std::make_shared<AppleMenuItem>();
    case Kind::Plain: break;
    }
    return std::make_shared<MenuItem>();
}

void Build(MenuBar& bar, const MenuRow& row)
{
    MenuItemRef item = NewItem(row.kind);
    item->SetName(std::string(row.name));
    item->SetAutoEnable(row.autoEnable);
    item->SetText(std::string(row.text));
    if (row.keyboardShortcut) item->SetKeyboardShortcut(std::string(*row.keyboardShortcut));
    if (row.menu.empty())
        bar.Append(item);
    else
        Use(bar.Child(std::string(row.menu))).Append(item);
}

MenuBar1Ref& Instance()
{
    static MenuBar1Ref instance;
    return instance;
}

}  // namespace

MenuBar1::MenuBar1()
{
    Untitled1();
    Untitled2();
}

void MenuBar1::Untitled1()
{
    for (const MenuRow& row : kFileRows) Build(*this, row);
}

void MenuBar1::Untitled2()
{
    for (const MenuRow& row : kEditRows) Build(*this, row);
}

MenuBar1Ref MenuBar1()
{
    MenuBar1Ref& instance = Instance();
    if (!instance) instance = std::make_shared<class MenuBar1>();
    return instance;
}

void ReleaseMenuBar1()
{
    Instance().reset();
}
