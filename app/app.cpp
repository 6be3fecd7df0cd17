// SPDX-License-Identifier: MIT
#include "app.h"

#include "platform/framework/nil_object.h"
#include "platform/framework/qt/dialogs.h"
#include "platform/framework/qt/runtime.h"
#include "platform/framework/zorp_plugin.h"

void App::Event_EnableMenuItems()
{
    Use(FileOpen()).Enable();
    Use(AppleAboutVeilor()).Enable();
}

void App::Event_OpenDocument(const FolderItemRef& item)
{
    Process(item);
}

bool App::_FileOpen_Action()
{
    OpenDialog dialog;
    dialog.SetFilter("special/application");
    FolderItemRef chosen = dialog.ShowModal();
    if (chosen) Process(chosen);
    return true;
}

bool App::_AppleAboutVeilor_Action()
{
    MessageDialog dialog;
    dialog.SetMessage(Use(::App()).LongVersion() + EndOfLine() + EndOfLine() + Use(::App()).PackageInfo());
    dialog.SetExplanation("Using " + Zorp::ZorpPluginVersion());
    dialog.SetTitle("About");
    dialog.ShowModal();
    return true;
}

AppRef App()
{
    return std::dynamic_pointer_cast<class App>(getAppObject());
}

namespace {

MenuItemRef MenuItemNamed(const std::string& name)
{
    return Use(Use(App()).MenuBar())._Lookup(name);
}

}  // namespace

MenuItemRef FileOpen()
{
    return MenuItemNamed("FileOpen");
}

MenuItemRef AppleAboutVeilor()
{
    return MenuItemNamed("AppleAboutVeilor");
}
