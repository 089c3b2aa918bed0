#pragma once

#include <QString>

// Replaces the first exact, case-sensitive occurrence of find in text by
// replacement; text comes back unchanged when find does not occur. An empty
// find occurs at the very start.
QString ReplaceFirst(const QString &text, const QString &find, const QString &replacement);
