// SPDX-License-Identifier: MIT
#include "application.h"
#include "qt_internal.h"
#include "runtime.h"
#include "window.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>

#include <algorithm>

namespace {

struct ActionBinding {
    std::weak_ptr<MenuItem> item;
    QPointer<QAction> action;
};

std::vector<ActionBinding>& Bindings()
{
    static std::vector<ActionBinding> bindings;
    return bindings;
}

void ShowEnabledStates()
{
    auto& bindings = Bindings();
    std::erase_if(bindings, [](const ActionBinding& b) { return b.item.expired() || !b.action; });
    for (const ActionBinding& binding : bindings) binding.action->setEnabled(binding.item.lock()->Enabled());
}

// Menus themselves stay enabled, so a menu whose items are all disabled still opens.
void ApplyAutoEnable(MenuItem& menu)
{
    for (std::size_t i = 0; i < menu.Count(); ++i) {
        MenuItemRef child = menu.Item(i);
        if (!child) continue;
        if (child->Count() > 0)
            ApplyAutoEnable(*child);
        else
            child->SetEnabled(child->AutoEnable());
    }
}

// Before Qt matches a shortcut it offers the key to the focus widget; the menus are brought up
// to date then, so a shortcut works exactly when its item would be enabled.
class ShortcutRecompute : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::ShortcutOverride) RuntimeRecomputeMenus();
        return QObject::eventFilter(watched, event);
    }
};

void WatchShortcuts()
{
    static QPointer<ShortcutRecompute> filter;
    if (filter) return;
    filter = new ShortcutRecompute(qApp);
    qApp->installEventFilter(filter);
}

QAction* AddAction(QMenu& menu, const MenuItemRef& item)
{
    QAction* action = menu.addAction(ToQString(item->Text()));
    if (!item->KeyboardShortcut().empty())
        action->setShortcut(
            QKeySequence(ToQString(LinuxShortcut(item->KeyboardShortcut())), QKeySequence::PortableText));
    std::weak_ptr<MenuItem> weak = item;
    QObject::connect(action, &QAction::triggered, action, [weak] {
        if (MenuItemRef chosen = weak.lock()) RunMenuItem(chosen);
    });
    Bindings().push_back({item, action});
    return action;
}

void AddItems(QMenu& qmenu, const MenuItem& menu, std::vector<MenuItemRef>& appleItems)
{
    for (std::size_t i = 0; i < menu.Count(); ++i) {
        MenuItemRef child = menu.Item(i);
        if (!child) continue;
        if (std::dynamic_pointer_cast<AppleMenuItem>(child)) {
            appleItems.push_back(child);
        } else if (child->Count() > 0) {
            AddItems(*qmenu.addMenu(ToQString(child->Text())), *child, appleItems);
        } else if (child->IsSeparator()) {
            qmenu.addSeparator();
        } else {
            AddAction(qmenu, child);
        }
    }
}

QMenu* AddMenu(QMenuBar& qbar, const QString& text)
{
    QMenu* menu = qbar.addMenu(text);
    QObject::connect(menu, &QMenu::aboutToShow, menu, [] { RuntimeRecomputeMenus(); });
    return menu;
}

}  // namespace

void InstallQtMenuBar(QMainWindow& window, const MenuBarRef& bar)
{
    WatchShortcuts();
    auto* qbar = new QMenuBar(&window);
    if (bar) {
        std::vector<MenuItemRef> appleItems;
        for (std::size_t i = 0; i < bar->Count(); ++i) {
            MenuItemRef menu = bar->Item(i);
            if (!menu) continue;
            if (std::dynamic_pointer_cast<AppleMenuItem>(menu))
                appleItems.push_back(menu);
            else
                AddItems(*AddMenu(*qbar, ToQString(menu->Text())), *menu, appleItems);
        }
        if (!appleItems.empty()) {
            QMenu* help = AddMenu(*qbar, QObject::tr("&Help"));
            for (const MenuItemRef& item : appleItems) AddAction(*help, item);
        }
    }
    window.setMenuBar(qbar);
    // An item shows its AutoEnable state from the start, as an accessibility reader sees it.
    if (bar) ApplyAutoEnable(*bar);
    ShowEnabledStates();
}

void RuntimeRecomputeMenus()
{
    std::vector<MenuBarRef> bars;
    ApplicationRef app = getAppObject();
    if (app && app->MenuBar()) bars.push_back(app->MenuBar());
    for (const WindowRef& window : RuntimeWindowList()) {
        if (window->MenuBar() && std::find(bars.begin(), bars.end(), window->MenuBar()) == bars.end())
            bars.push_back(window->MenuBar());
    }
    for (const MenuBarRef& bar : bars) ApplyAutoEnable(*bar);
    RuntimeHandle([&] {
        if (app) app->Event_EnableMenuItems();
        for (const WindowRef& window : RuntimeWindowList()) window->Event_EnableMenuItems();
    });
    ShowEnabledStates();
}

void RunMenuItem(const MenuItemRef& item)
{
    RuntimeRecordCall("menu " + item->Name());
    RuntimeHandle([&] {
        if (std::dynamic_pointer_cast<QuitMenuItem>(item)) {
            // The program may refuse to quit; a quit signal asks nobody.
            ApplicationRef app = getAppObject();
            if (!app || !app->Event_CancelClose()) RuntimeQuit();
            return;
        }
        if (ApplicationRef app = getAppObject()) app->RunMenuHandler(item->Name());
    });
}
