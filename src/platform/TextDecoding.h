#pragma once

#include <QByteArray>
#include <QString>

// Decodes a fetched page the way browsers pick its character set: the charset of
// the Content-Type header, else a byte-order mark, else a <meta> declaration in
// the first 1024 bytes, else UTF-8 when the body is valid UTF-8, else windows-1252.
// Unknown or undecodable labels are skipped as if absent.
QString decodePageText(const QByteArray &body, const QByteArray &contentType);

// The same text as decodePageText gives, encoded as UTF-8. A body that is valid
// UTF-8 and decoded as such comes back as it is (shared, not copied), less a
// leading byte-order mark.
QByteArray decodePageUtf8(const QByteArray &body, const QByteArray &contentType);
// The same, for a body whose UTF-8 validity is already known.
QByteArray decodePageUtf8(const QByteArray &body, const QByteArray &contentType,
                          bool bodyIsValidUtf8);
