#pragma once

#include "extraction/RunHost.h"

#include <QString>

// Replaces every "&amp;" by "&" in one left-to-right pass (no second look at
// what it produced). The only entity the rules decode.
QString decodeAmp(QStringView text);

// The rows of one site: an address row when both options are on and no row
// shows the address yet.
class ResultSink;
void AddAddressRow(ResultSink &results, const QString &address, bool includeAddress,
                   bool includeIfNothingFound);
