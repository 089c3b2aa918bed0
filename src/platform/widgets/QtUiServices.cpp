#include "platform/widgets/QtUiServices.h"

#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>
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

bool QtUiServices::askCrawl(CrawlQuestion &answer)
{
    QDialog dialog(m_parent);
    dialog.setWindowTitle(QStringLiteral("Crawl Site"));
    auto *address = new QLineEdit(answer.address, &dialog);
    address->setPlaceholderText(QStringLiteral("http://www.example.com/"));
    auto *depth = new QSpinBox(&dialog);
    depth->setRange(0, 100);
    depth->setValue(answer.depth);
    depth->setToolTip(QStringLiteral("How many links to follow from the start; 0: the page alone"));
    auto *scope = new QComboBox(&dialog);
    const QList<std::pair<QString, QString>> scopes{
        {QStringLiteral("host"), QStringLiteral("The start's host")},
        {QStringLiteral("domain"), QStringLiteral("The start's host and its subdomains")},
        {QStringLiteral("prefix"), QStringLiteral("Under the start's folder")}};
    for (const auto &[name, text] : scopes)
        scope->addItem(text, name);
    scope->setCurrentIndex(std::max(0, scope->findData(answer.scope)));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto *form = new QFormLayout(&dialog);
    form->addRow(QStringLiteral("&Address:"), address);
    form->addRow(QStringLiteral("&Depth:"), depth);
    form->addRow(QStringLiteral("&Pages:"), scope);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    answer = {address->text().trimmed(), depth->value(), scope->currentData().toString()};
    return true;
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
