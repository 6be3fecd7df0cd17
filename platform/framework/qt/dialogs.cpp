// SPDX-License-Identifier: MIT
#include "dialogs.h"

#include "framework/file_type_registry.h"
#include "qt_internal.h"
#include "runtime.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QSortFilterProxyModel>

namespace {

bool Shown(const std::string& filter, const QString& path)
{
    return filter.empty() || FileTypeMatches(filter, FolderItem(PathFromQString(path)));
}

// Folders, and the files of the filter's types.
class TypeFilter : public QSortFilterProxyModel {
public:
    TypeFilter(std::string filter, QObject* parent) : QSortFilterProxyModel(parent), mFilter(std::move(filter)) {}

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

// A folder of a shown type (an application bundle) is chosen, as a Mac dialog treats a
// package, rather than entered.
class ChooserDialog : public QFileDialog {
public:
    ChooserDialog(std::string filter, QWidget* parent) : QFileDialog(parent), mFilter(std::move(filter))
    {
        setOption(QFileDialog::DontUseNativeDialog);
        setFileMode(QFileDialog::ExistingFile);
        setAcceptMode(QFileDialog::AcceptOpen);
        setWindowModality(Qt::ApplicationModal);
        if (!mFilter.empty()) setProxyModel(new TypeFilter(mFilter, this));
        connect(this, &QFileDialog::directoryEntered, this, [this](const QString& folder) {
            if (!mFilter.empty() && Shown(mFilter, folder)) Choose(folder);
        });
    }

    QString chosen;

    void accept() override
    {
        const QStringList selected = selectedFiles();
        if (selected.size() == 1 && !mFilter.empty() && QFileInfo(selected.front()).isDir() &&
            Shown(mFilter, selected.front())) {
            Choose(selected.front());
            return;
        }
        QFileDialog::accept();
        if (result() == QDialog::Accepted && !selectedFiles().isEmpty()) chosen = selectedFiles().front();
    }

private:
    std::string mFilter;

    void Choose(const QString& path)
    {
        chosen = path;
        QDialog::done(QDialog::Accepted);
    }
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
    box.setText(ToDisplayText(mMessage));
    box.setInformativeText(ToDisplayText(mExplanation));
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
    return 0;
}
