#include "FakeUiServices.h"

namespace {
template <typename T> T take(std::deque<T> &queue, T fallback)
{
    if (queue.empty())
        return fallback;
    T value = queue.front();
    queue.pop_front();
    return value;
}
} // namespace

void FakeUiServices::modal()
{
    if (duringModal)
        duringModal();
}

void FakeUiServices::message(const QString &prompt, MessageIcon icon)
{
    messages.append({prompt, icon});
    log << QStringLiteral("message:") + prompt;
    modal();
}

bool FakeUiServices::askYesNo(const QString &prompt)
{
    questions << prompt;
    log << QStringLiteral("ask:") + prompt;
    modal();
    return take(yesNoAnswers, false);
}

QString FakeUiServices::input(const QString &prompt, const QString &title)
{
    inputPrompts << prompt;
    inputTitles << title;
    log << QStringLiteral("input:") + prompt;
    modal();
    return take(inputAnswers, QString());
}

QString FakeUiServices::openFileName(const FileDialogSettings &settings)
{
    openDialogs << settings;
    log << QStringLiteral("open");
    modal();
    return take(openAnswers, QString());
}

QString FakeUiServices::saveFileName(const FileDialogSettings &settings)
{
    saveDialogs << settings;
    log << QStringLiteral("save");
    modal();
    return take(saveAnswers, QString());
}

void FakeUiServices::openUrl(const QString &url)
{
    openedUrls << url;
    log << QStringLiteral("url:") + url;
}
