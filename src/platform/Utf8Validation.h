#pragma once

#include <QByteArrayView>

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF; a sequence cut at the end is not). Every piece of
// every page passes through here, most of them text with a non-ASCII
// character on every line, where Qt's own check slows to a byte at a time:
// on CPUs with AVX2 this checks 32 bytes at a time whatever they hold.
bool isValidUtf8(QByteArrayView bytes);
