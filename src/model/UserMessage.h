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
