#pragma once

#include "extraction/RunHost.h"

#include <QString>

// Replaces every "&amp;" by "&" in one left-to-right pass (no second look at
// what it produced). The only entity the rules decode.
QString DecodeAmp(QStringView text);

// The rows of one site: an address row when both options are on and no row
// shows the address yet.
class ResultList;
void AddAddressRow(ResultList &results, const QString &address, bool includeAddress,
                   bool includeIfNothingFound);
