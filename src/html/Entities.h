#pragma once

#include <QByteArrayView>

// The standard's named character references, generated from Python's table
// at build time (scripts/make-entities.py).
struct NamedReference
{
    const char *name; // without the leading '&'; some end in ';', some do not
    int nameLength;
    const char *utf8; // what it stands for
    int utf8Length;
};

namespace html {

// The reference named exactly `name`, or null.
const NamedReference *findNamedReference(QByteArrayView name);
// Every entry, for tests that compare the table with its source.
int namedReferenceCount();
const NamedReference &namedReference(int index);
// The longest name in the table, ';' included.
constexpr int kLongestReferenceName = 32;

// The standard's answer for a numeric reference: NUL, surrogates and values
// past U+10FFFF give U+FFFD, 0x80-0x9F are read as windows-1252. Appends UTF-8.
void appendNumericReference(quint32 value, char *out, int *length);

} // namespace html
