#pragma once

#include "platform/UiServices.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>

// Scripted stand-in for the modal services: answers come from queues the test
// fills, and every call is recorded in order.
class FakeUiServices : public UiServices
{
public:
    struct Message
    {
        QString prompt;
        MessageIcon icon;
    };

    void message(const QString &prompt, MessageIcon icon) override;
    bool askYesNo(const QString &prompt) override;
    QString input(const QString &prompt, const QString &title) override;
    QString openFileName(const FileDialogSettings &settings) override;
    QString saveFileName(const FileDialogSettings &settings) override;
    void openUrl(const QString &url) override;

    // Scripts; an exhausted queue answers Cancel / No.
    std::deque<QString> inputAnswers;
    std::deque<QString> openAnswers;
    std::deque<QString> saveAnswers;
    std::deque<bool> yesNoAnswers;
    // Runs inside a modal call, as the user would act while the box is up.
    std::function<void()> duringModal;

    QList<Message> messages;
    QStringList questions;
    QStringList inputPrompts;
    QStringList inputTitles;
    QList<FileDialogSettings> openDialogs;
    QList<FileDialogSettings> saveDialogs;
    QStringList openedUrls;
    // Every call, in order, as "message:...", "ask:...", "input:...", "open", "save", "url:...".
    QStringList log;

private:
    void modal();
};
