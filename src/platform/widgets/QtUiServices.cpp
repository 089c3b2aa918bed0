#include "platform/widgets/QtUiServices.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QUrl>

namespace {
const QString appTitle = QStringLiteral("Quillora");
}

void QtUiServices::message(const QString &prompt, MessageIcon icon)
{
    QMessageBox box(icon == MessageIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
                    appTitle, prompt, QMessageBox::Ok, m_parent);
    box.exec();
}

bool QtUiServices::askYesNo(const QString &prompt)
{
    QMessageBox box(QMessageBox::NoIcon, appTitle, prompt, QMessageBox::Yes | QMessageBox::No,
                    m_parent);
    return box.exec() == QMessageBox::Yes;
}

QString QtUiServices::input(const QString &prompt, const QString &title)
{
    bool ok = false;
    const QString text = QInputDialog::getText(m_parent, title.isEmpty() ? appTitle : title, prompt,
                                               QLineEdit::Normal, QString(), &ok);
    return ok ? text : QString();
}

QString QtUiServices::qtFilter(const QString &filter)
{
    const QStringList parts = filter.split(u'|', Qt::SkipEmptyParts);
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        // The description already names its pattern in most filters; Qt reads
        // the pattern from the parentheses, so make sure it is there.
        QString entry = parts[i];
        if (!entry.contains(u'('))
            entry += QStringLiteral(" (") + parts[i + 1] + u')';
        entries << entry;
    }
    return entries.join(QStringLiteral(";;"));
}

QString QtUiServices::openFileName(const FileDialogSettings &settings)
{
    return QFileDialog::getOpenFileName(m_parent, settings.title, settings.fileName,
                                        qtFilter(settings.filter));
}

QString QtUiServices::saveFileName(const FileDialogSettings &settings)
{
    // The program asks its own overwrite question.
    return QFileDialog::getSaveFileName(m_parent, settings.title, settings.fileName,
                                        qtFilter(settings.filter), nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

void QtUiServices::openUrl(const QString &url)
{
    QDesktopServices::openUrl(QUrl::fromUserInput(url));
}

QString QtUiServices::clipboardText()
{
    return QGuiApplication::clipboard()->text();
}

void QtUiServices::setClipboardText(const QString &text)
{
    QGuiApplication::clipboard()->setText(text);
}
