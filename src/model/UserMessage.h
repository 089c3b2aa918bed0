#pragma once

#include "platform/UiServices.h"

#include <QString>

// What a piece of work has to tell the user when it ends; nothing when empty.
// Only the window shows it.
struct UserMessage
{
    QString text;
    MessageIcon icon = MessageIcon::None;
};

// Why a regular expression cannot be used: the error Qt names and where, as a
// character counted from 1, or the pattern's end.
inline QString patternErrorText(const QString &pattern, const QString &error, qsizetype offset)
{
    const QString where = offset < pattern.size()
                              ? QStringLiteral("at character %1").arg(offset + 1)
                              : QStringLiteral("at its end");
    return QStringLiteral("The regular expression \"%1\" is not valid: %2 (%3).")
        .arg(pattern, error, where);
}
