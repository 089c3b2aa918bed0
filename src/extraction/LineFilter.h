#pragma once

#include <QString>

// Replaces every "&amp;" by "&" in one left-to-right pass (no second look at
// what it produced). The only entity the rules decode.
QString decodeAmp(QStringView text);
