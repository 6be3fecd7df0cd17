// SPDX-License-Identifier: MIT
#include "main_window.h"

#include "patcher/patcher.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/qt/application.h"
#include "platform/framework/qt/runtime.h"
#include "ui/menu_bar1.h"

#include <cstdint>
#include <limits>
#include <string>

namespace {

const PropertySet kWindowProperties{
    {"Placement", std::int32_t{0}},
    {"Width", std::int32_t{300}},
    {"Height", std::int32_t{140}},
    {"MinWidth", std::int32_t{64}},
    {"MinHeight", std::int32_t{64}},
    {"MaxWidth", std::int32_t{32000}},
    {"MaxHeight", std::int32_t{32000}},
    {"Frame", std::int32_t{0}},
    {"Composite", false},
    {"HasBackColor", false},
    {"BackColor", Color{0xFF, 0xFF, 0xFF}},
    {"Title", std::string("Veilor")},
    {"Visible", true},
    {"FullScreen", false},
    {"MenuBarVisible", true},
    {"CloseButton", false},
    {"Resizeable", false},
    {"LiveResize", false},
    {"MaximizeButton", false},
    {"MinimizeButton", false},
    {"BalloonHelp", std::string()},
    {"MacProcID", std::int32_t{0}},
};

constexpr std::int32_t kNoIndex = std::numeric_limits<std::int32_t>::min();

// The program's line end inside literal texts is a carriage return.
const std::string kInstructions = "Drop your Mac application here.\r"
                                  "Your application will be modified to run invisible.\r"
                                  "(no Menubar, no Dock icon)";
const std::string kCredit = "Free software for Mac applications on Linux";

struct ControlValues {
    std::string name;
    std::int32_t top, height;
    std::string text;
    std::int32_t textAlign;
    bool multiline;
    std::string textFont;
    std::string initialParent;
};

PropertySet ControlProperties(const ControlValues& v)
{
    return {
        {"Name", v.name},
        {"Index", kNoIndex},
        {"Left", std::int32_t{20}},
        {"Top", v.top},
        {"Width", std::int32_t{260}},
        {"Height", v.height},
        {"LockLeft", false},
        {"LockTop", false},
        {"LockRight", false},
        {"LockBottom", false},
        {"TabPanelIndex", std::int32_t{0}},
        {"Text", v.text},
        {"TextAlign", v.textAlign},
        {"TextColor", Color{0x00, 0x00, 0x00}},
        {"Multiline", v.multiline},
        {"Enabled", true},
        {"Visible", true},
        {"HelpTag", std::string()},
        {"AutoDeactivate", true},
        {"TextFont", v.textFont},
        {"TextSize", std::int32_t{0}},
        {"Bold", false},
        {"Italic", false},
        {"Underline", false},
        {"DataSource", std::string()},
        {"DataField", std::string()},
        {"InitialParent", v.initialParent},
    };
}

const ControlValues kStaticText1{"StaticText1", 14, 106, kInstructions, 0, true, "System", ""};
const ControlValues kStaticText2{"StaticText2", 100, 20, kCredit, 1, false, "SmallSystem", "StaticText1"};

void MakeStaticText(Window& window, const ControlValues& values)
{
    std::shared_ptr<StaticText> made = window.__New<StaticText>();
    window._AddControl(made, values.name);
    auto control = std::dynamic_pointer_cast<StaticText>(RuntimeWindowControlByName(window, values.name));
    _SetProperties(Use(control), ControlProperties(values));
}

}  // namespace

MainWindow::MainWindow() : Window("MainWindow.MainWindow") {}

void MainWindow::Layout()
{
    SetMenuBar(::MenuBar1());
    _SetProperties(*this, kWindowProperties);
}

void MainWindow::CreateControls()
{
    _CreateControls0();
}

void MainWindow::_CreateControls0()
{
    MakeStaticText(*this, kStaticText1);
    MakeStaticText(*this, kStaticText2);
}

MenuItemRef MainWindow::MenuItemNamed(const std::string& name) const
{
    return Use(MenuBar())._Lookup(name);
}

MenuItemRef MainWindow::EditMenu() const
{
    return MenuItemNamed("EditMenu");
}
MenuItemRef MainWindow::EditClear() const
{
    return MenuItemNamed("EditClear");
}
MenuItemRef MainWindow::EditPaste() const
{
    return MenuItemNamed("EditPaste");
}
MenuItemRef MainWindow::EditCopy() const
{
    return MenuItemNamed("EditCopy");
}
MenuItemRef MainWindow::EditCut() const
{
    return MenuItemNamed("EditCut");
}
MenuItemRef MainWindow::UntitledMenu0() const
{
    return MenuItemNamed("UntitledMenu0");
}
MenuItemRef MainWindow::EditUndo() const
{
    return MenuItemNamed("EditUndo");
}
MenuItemRef MainWindow::FileMenu() const
{
    return MenuItemNamed("FileMenu");
}
std::shared_ptr<QuitMenuItem> MainWindow::FileQuit() const
{
    return std::dynamic_pointer_cast<QuitMenuItem>(MenuItemNamed("FileQuit"));
}
MenuItemRef MainWindow::UntitledMenu1() const
{
    return MenuItemNamed("UntitledMenu1");
}
MenuItemRef MainWindow::FileOpen() const
{
    return MenuItemNamed("FileOpen");
}
MenuItemRef MainWindow::AppleAboutVeilor() const
{
    return MenuItemNamed("AppleAboutVeilor");
}

void MainWindow::AddMenuHandlers() {}

void MainWindow::Event_DropObject(DragItem& obj, std::int32_t /*action*/)
{
    do {
        if (obj.FolderItemAvailable()) {
            auto app = std::dynamic_pointer_cast<Patcher>(getAppObject());
            Use(app).Process(obj.FolderItem());
        }
        RuntimeBackgroundTask();
    } while (obj.NextItem());
}

void MainWindow::Event_Open()
{
    AcceptFileDrop("special/application");
}

MainWindowRef MainWindow()
{
    if (auto open =
            std::dynamic_pointer_cast<class MainWindow>(RuntimeGetImplicitWindow("MainWindow.MainWindow")))
        return open;
    auto window = std::make_shared<class MainWindow>();
    Window::Constructor(window);
    return window;
}
