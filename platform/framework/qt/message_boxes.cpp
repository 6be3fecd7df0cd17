// SPDX-License-Identifier: MIT
#include "platform/framework/nil_object.h"
#include "qt_internal.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace {

std::string ExceptionClassName(const std::exception& error)
{
    if (dynamic_cast<const NilObjectException*>(&error)) return "NilObjectException";
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(typeid(error).name(), nullptr, nullptr, &status), std::free);
    return status == 0 && name ? name.get() : typeid(error).name();
}

}  // namespace

void ReportUnhandledException(const std::exception& error)
{
    const std::string className = ExceptionClassName(error);
    std::fprintf(stderr, "veilor: an exception of class %s was not handled\n", className.c_str());
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                    ToQString("An exception of class " + className + " was not handled."), QMessageBox::Ok,
                    RuntimeDialogParent());
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(QObject::tr("The command was stopped. The program goes on running."));
    box.exec();
}

void ShowMsgBox(const std::string& text)
{
    QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(), ToDisplayText(text),
                    QMessageBox::Ok, RuntimeDialogParent());
    // A name in the text comes from whoever named the file: never read as markup.
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void ShowStartupError(const std::string& message)
{
    const QString platform = QGuiApplication::platformName();
    if (qApp && platform != QLatin1String("offscreen") && platform != QLatin1String("minimal")) {
        QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(), ToDisplayText(message),
                        QMessageBox::Ok);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
}
