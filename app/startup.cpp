// SPDX-License-Identifier: MIT
#include "startup.h"

#include "app/app.h"
#include "filetypes/file_types.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/qt/runtime.h"
#include "platform/framework/qt/window.h"
#include "platform/framework/zorp_plugin.h"
#include "ui/main_window.h"
#include "ui/menu_bar1.h"

#include <memory>

void _Main()
{
    RuntimeInitExternalClasses();
    if (const std::string missing = BindZorpPlugin(); !missing.empty()) {
        RuntimeStartupError("The property-list plug-in lacks the operation \"" + missing +
                            "\". Veilor cannot start.");
        return;
    }
    _InitFileTypes();
    _NewAppInstance();
    _ApplicationAddMenuHandlers();
    _MakeDefaultView();
    RuntimeRun();
}

void _InitFileTypes()
{
    FileTypes::_Initialize();
}

void _NewAppInstance()
{
    auto app = std::make_shared<class App>();
    app->SetMenuBar(MenuBar1());
    RuntimeRegisterAppObject(app);
}

void _ApplicationAddMenuHandlers()
{
    std::weak_ptr<class App> app = App();
    Use(App())._AddMenuHandler("FileOpen", [app] { return Use(app.lock())._FileOpen_Action(); });
    Use(App())._AddMenuHandler("AppleAboutVeilor",
                               [app] { return Use(app.lock())._AppleAboutVeilor_Action(); });
}

void _MakeDefaultView()
{
    MainWindow();
}

void _ModuleFinalize()
{
    RuntimeReleaseWindows();
    FileTypes::_Finalize();
    ReleaseMenuBar1();
}
