#pragma once

#include "platform/UiServices.h"

class QWidget;

// The real modal services: Qt's message, input and file dialogs and the
// desktop's URL opener.
class QtUiServices : public UiServices
{
public:
    explicit QtUiServices(QWidget *parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget *parent) { m_parent = parent; }

    void message(const QString &prompt, MessageIcon icon) override;
    bool askYesNo(const QString &prompt) override;
    QString input(const QString &prompt, const QString &title) override;
    bool askCrawl(CrawlQuestion &answer) override;
    QString openFileName(const FileDialogSettings &settings) override;
    QString saveFileName(const FileDialogSettings &settings) override;
    void openUrl(const QString &url) override;
    QString clipboardText() override;
    void setClipboardText(const QString &text) override;

private:
    // "Text Files (*.txt)|*.txt|All Files (*.*)|*.*" as Qt's ";;" filter list.
    static QString qtFilter(const QString &filter);

    QWidget *m_parent;
};
