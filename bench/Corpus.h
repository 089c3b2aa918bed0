#pragma once

#include <QString>

// The word the line-filter scenarios look for; the generated pages write it in
// mixed case and nothing else in them contains it.
inline constexpr const char *corpusWord = "marigold";

// Writes every page and file the scenarios use below folder, the same bytes on
// every machine.
bool writeCorpus(const QString &folder);
