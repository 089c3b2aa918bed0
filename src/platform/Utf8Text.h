#pragma once

#include <QByteArrayView>

// Where the last character of bytes starts if the bytes cut it short, else
// bytes.size(): text read in pieces keeps that tail for the next piece, so
// that it decodes as the whole text would.
inline qsizetype wholeCharacters(QByteArrayView bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 4 && back <= size; ++back) {
        const auto byte = uchar(bytes[size - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: the lead is further back
        const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? size - back : size;
    }
    return size;
}
