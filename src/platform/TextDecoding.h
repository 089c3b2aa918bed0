#pragma once

#include <QByteArray>
#include <QString>

// Decodes a fetched page the way browsers pick its character set: the charset of
// the Content-Type header, else a byte-order mark, else a <meta> declaration in
// the first 1024 bytes, else UTF-8 when the body is valid UTF-8, else windows-1252.
// Unknown or undecodable labels are skipped as if absent.
QString decodePageText(const QByteArray &body, const QByteArray &contentType);
