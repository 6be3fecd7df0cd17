// SPDX-License-Identifier: MIT
#include "qt_internal.h"

#include <QFile>

QString ToQString(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString ToDisplayText(const std::string& bytes)
{
    QString text = ToQString(bytes);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

std::string FromQString(const QString& text)
{
    return text.toStdString();
}

std::string PathFromQString(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}
