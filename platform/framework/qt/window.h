// SPDX-License-Identifier: MIT
#pragma once
// Windows, their named controls and their stored initial properties, and file drops.

#include "menu.h"
#include "platform/files/non_copyable.h"
#include "platform/framework/folder_item.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// The items of one drop, one at a time; an item that is not a file of an accepted type offers
// no FolderItem.
class DragItem {
public:
    explicit DragItem(std::vector<FolderItemRef> items) : mItems(std::move(items)) {}
    bool FolderItemAvailable() const { return mIndex < mItems.size() && mItems[mIndex]; }
    FolderItemRef FolderItem() const { return FolderItemAvailable() ? mItems[mIndex] : nullptr; }
    bool NextItem();

private:
    std::vector<FolderItemRef> mItems;
    std::size_t mIndex = 0;
};

class Window;
using WindowRef = std::shared_ptr<Window>;
class Control;
using ControlRef = std::shared_ptr<Control>;

struct Color {
    std::uint8_t red = 0, green = 0, blue = 0;
    bool operator==(const Color&) const = default;
};

// Initial properties are applied by name, in the order they are stored.
using PropertyValue = std::variant<std::int32_t, bool, std::string, Color>;
using PropertySet = std::vector<std::pair<std::string_view, PropertyValue>>;

class Window : NonCopyable {
public:
    explicit Window(std::string className);  // "MainWindow.MainWindow"
    virtual ~Window();

    const std::string& ClassName() const { return mClassName; }

    // The framework's window constructor: Layout, CreateControls, AddMenuHandlers, the Open
    // event, then the window joins the window list and shows when Visible.
    static void Constructor(const WindowRef& window);

    virtual void Layout() {}
    virtual void CreateControls() {}
    virtual void AddMenuHandlers() {}
    virtual void Event_Open() {}
    virtual void Event_EnableMenuItems() {}
    // Raised once per accepted drop, standing on its first item.
    virtual void Event_DropObject(DragItem& /*obj*/, std::int32_t /*action*/) {}

    const MenuBarRef& MenuBar() const { return mMenuBar; }
    void SetMenuBar(const MenuBarRef& bar);

    // Drops of items of that registered file type raise DropObject.
    void AcceptFileDrop(const std::string& typeName);

    void SetProperty(std::string_view name, const PropertyValue& value);
    const std::string& Title() const;

    // A new control of class T belonging to this window; T is made with the window.
    template <class T>
    std::shared_ptr<T> __New()
    {
        return std::make_shared<T>(*this);
    }
    void _AddControl(const ControlRef& control, const std::string& name);

    struct Impl;
    Impl& Qt() const { return *mImpl; }

private:
    friend ControlRef RuntimeWindowControlByName(const Window& window, const std::string& name);
    std::string mClassName;
    MenuBarRef mMenuBar;
    std::unique_ptr<Impl> mImpl;
};

class Control : NonCopyable {
public:
    virtual ~Control();

    const std::string& Name() const { return mName; }
    virtual void SetProperty(std::string_view name, const PropertyValue& value);

    struct Impl;
    Impl& Qt() const { return *mImpl; }

protected:
    explicit Control(std::unique_ptr<Impl> impl);

private:
    friend class Window;
    std::string mName;
    std::unique_ptr<Impl> mImpl;
};

// A label. Its text's carriage returns are line breaks.
class StaticText : public Control {
public:
    explicit StaticText(Window& owner);
    void SetProperty(std::string_view name, const PropertyValue& value) override;
    const std::string& Text() const { return mText; }

private:
    std::string mText;
    std::int32_t mTextSize = 0;
    std::string mTextFont;
    void ApplyFont();
    void FitLines();
};

void _SetProperties(Window& window, const PropertySet& properties);
void _SetProperties(Control& control, const PropertySet& properties);

ControlRef RuntimeWindowControlByName(const Window& window, const std::string& name);
// The open window of that class name, or nil.
WindowRef RuntimeGetImplicitWindow(const std::string& className);
const std::vector<WindowRef>& RuntimeWindowList();
// Closes every window and empties the window lists.
void RuntimeReleaseWindows();
