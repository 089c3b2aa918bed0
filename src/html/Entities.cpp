#include "html/Entities.h"

#include <algorithm>
#include <cstring>

namespace {
#include "html/NamedReferences.inc"

struct ReferenceIndex
{
    static constexpr int kSlots = 8192;
    static_assert(std::size(kNamedReferences) < kSlots / 2);
    qint16 entries[kSlots];

    static uint slotOf(QByteArrayView name)
    {
        uint h = 2166136261u;
        for (char c : name)
            h = (h ^ uchar(c)) * 16777619u;
        return (h ^ (h >> 13)) & (kSlots - 1);
    }

    ReferenceIndex()
    {
        std::fill(std::begin(entries), std::end(entries), qint16(-1));
        for (size_t i = 0; i < std::size(kNamedReferences); ++i) {
            const NamedReference &r = kNamedReferences[i];
            uint s = slotOf({r.name, r.nameLength});
            while (entries[s] >= 0)
                s = (s + 1) & (kSlots - 1);
            entries[s] = qint16(i);
        }
    }
};

int encodeUtf8(quint32 c, char *out)
{
    if (c < 0x80) {
        out[0] = char(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = char(0xC0 | (c >> 6));
        out[1] = char(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = char(0xE0 | (c >> 12));
        out[1] = char(0x80 | ((c >> 6) & 0x3F));
        out[2] = char(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | (c >> 18));
    out[1] = char(0x80 | ((c >> 12) & 0x3F));
    out[2] = char(0x80 | ((c >> 6) & 0x3F));
    out[3] = char(0x80 | (c & 0x3F));
    return 4;
}

// What the standard reads 0x80-0x9F as; 0 where it keeps the value.
constexpr quint16 kWindows1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

} // namespace

namespace html {

const NamedReference *findNamedReference(QByteArrayView name)
{
    // Open addressing over the whole table, built once: a page's references
    // cost a hash and a compare each rather than a binary search.
    static const ReferenceIndex index;
    for (uint s = ReferenceIndex::slotOf(name);; s = (s + 1) & (ReferenceIndex::kSlots - 1)) {
        const qint16 at = index.entries[s];
        if (at < 0)
            return nullptr;
        const NamedReference &r = kNamedReferences[at];
        if (r.nameLength == name.size() &&
            std::memcmp(r.name, name.data(), size_t(r.nameLength)) == 0)
            return &r;
    }
}

int namedReferenceCount()
{
    return int(std::size(kNamedReferences));
}

const NamedReference &namedReference(int index)
{
    return kNamedReferences[index];
}

void appendNumericReference(quint32 value, char *out, int *length)
{
    if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        value = 0xFFFD;
    else if (value >= 0x80 && value <= 0x9F && kWindows1252[value - 0x80])
        value = kWindows1252[value - 0x80];
    *length = encodeUtf8(value, out);
}

} // namespace html
