#pragma once

#include <QString>

// Puts "http://" in front of an address that does not hold it anywhere
// (case-sensitive); everything else is left exactly as typed.
QString AddHttp(const QString &address);
