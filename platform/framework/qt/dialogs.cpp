// SPDX-License-Identifier: MIT
#include "dialogs.h"

#include "platform/framework/file_type_registry.h"
#include "qt_internal.h"
#include "runtime.h"

#include <QAbstractItemView>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSortFilterProxyModel>

namespace {

bool Shown(const std::string& filter, const QString& path)
{
    return filter.empty() || FileTypeMatches(filter, FolderItem(PathFromQString(path)));
}

// Folders, and the files of the filter's types.
class TypeFilter : public QSortFilterProxyModel {
public:
    TypeFilter(std::string filter, QObject* parent)
        : QSortFilterProxyModel(parent), mFilter(std::move(filter))
    {
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override
    {
        auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
        if (!files) return true;
        const QModelIndex index = files->index(row, 0, parent);
        return files->isDir(index) || Shown(mFilter, files->filePath(index));
    }

private:
    std::string mFilter;
};

// The folder that holds the last chosen item: the next dialog starts there, never inside a bundle.
QString& LastFolder()
{
    static QString folder;
    return folder;
}

// A folder of a shown type (an application bundle) is chosen, as a Mac dialog treats a
// package, when the user picks it: Open, Enter or a double-click on it. Reaching one by other
// roads (the parent button, the path field, history) only browses it.
class ChooserDialog : public QFileDialog {
public:
    ChooserDialog(std::string filter, QWidget* parent) : QFileDialog(parent), mFilter(std::move(filter))
    {
        setOption(QFileDialog::DontUseNativeDialog);
        setOption(QFileDialog::HideNameFilterDetails);
        setFileMode(QFileDialog::ExistingFile);
        setAcceptMode(QFileDialog::AcceptOpen);
        setWindowModality(Qt::ApplicationModal);
        setNameFilter(tr("Applications (*)"));
        if (!LastFolder().isEmpty()) setDirectory(LastFolder());
        if (!mFilter.empty()) setProxyModel(new TypeFilter(mFilter, this));
        for (QAbstractItemView* view : findChildren<QAbstractItemView*>())
            view->viewport()->installEventFilter(this);
    }

    QString chosen;

    void accept() override
    {
        const QStringList selected = selectedFiles();
        if (selected.size() == 1 && IsPackage(selected.front())) {
            Choose(selected.front());
            return;
        }
        QFileDialog::accept();
        if (result() == QDialog::Accepted && !selectedFiles().isEmpty()) Remember(selectedFiles().front());
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonDblClick) {
            auto* view = qobject_cast<QAbstractItemView*>(watched->parent());
            const QModelIndex index =
                view ? view->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint()) : QModelIndex();
            const QString path =
                index.isValid() ? index.data(QFileSystemModel::FilePathRole).toString() : QString();
            if (!path.isEmpty() && IsPackage(path)) {
                Choose(path);
                return true;
            }
        }
        return QFileDialog::eventFilter(watched, event);
    }

private:
    std::string mFilter;

    bool IsPackage(const QString& path) const
    {
        return !mFilter.empty() && QFileInfo(path).isDir() && Shown(mFilter, path);
    }

    void Remember(const QString& path)
    {
        chosen = path;
        LastFolder() = QFileInfo(path).absolutePath();
    }

    void Choose(const QString& path)
    {
        Remember(path);
        QDialog::done(QDialog::Accepted);
    }
};

// Window systems add the application's name to a window's title ("About - Veilor") unless
// the title already ends with it; a dialog's title is shown as the program set it.
class ExactTitle {
public:
    ExactTitle() : mName(QGuiApplication::applicationDisplayName())
    {
        QGuiApplication::setApplicationDisplayName(QString());
    }
    ~ExactTitle() { QGuiApplication::setApplicationDisplayName(mName); }
    ExactTitle(const ExactTitle&) = delete;
    ExactTitle& operator=(const ExactTitle&) = delete;

private:
    QString mName;
};

}  // namespace

FolderItemRef OpenDialog::ShowModal()
{
    RuntimeRecordCall("OpenDialog " + mFilter);
    ChooserDialog dialog(mFilter, RuntimeDialogParent());
    if (dialog.exec() != QDialog::Accepted || dialog.chosen.isEmpty()) return nullptr;
    return std::make_shared<FolderItem>(PathFromQString(dialog.chosen));
}

std::int32_t MessageDialog::ShowModal()
{
    RuntimeRecordCall("MessageDialog " + mTitle);
    QMessageBox box(RuntimeDialogParent());
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(ToQString(mTitle));
    box.setTextFormat(Qt::PlainText);
    box.setText(ToDisplayText(mMessage));
    box.setInformativeText(ToDisplayText(mExplanation));
    if (auto* explanation = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        explanation->setTextFormat(Qt::PlainText);
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    ExactTitle exactTitle;
    box.exec();
    return 0;
}
