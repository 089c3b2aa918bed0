#include "crawl/SeenSet.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr quint64 initialSlots = 1024;
// Old cells moved per insert while growing: the old table is empty before the
// new one is a quarter full (it holds 3/4 of its size, and moves 8 for 1).
constexpr quint64 movesPerInsert = 8;

constexpr quint64 secret0 = 0xa0761d6478bd642full;
constexpr quint64 secret1 = 0xe7037ed1a0b428dbull;
constexpr quint64 secret2 = 0x8ebc6af09c88c6e3ull;

quint64 mix(quint64 a, quint64 b)
{
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return quint64(product) ^ quint64(product >> 64);
}

quint64 read64(const char *p)
{
    quint64 v;
    std::memcpy(&v, p, 8);
    return v;
}

quint64 read32(const char *p)
{
    quint32 v;
    std::memcpy(&v, p, 4);
    return v;
}

} // namespace

quint64 SeenSet::fingerprint(QByteArrayView bytes, quint64 seed)
{
    const char *p = bytes.data();
    const quint64 n = quint64(bytes.size());
    seed ^= mix(seed ^ secret0, secret1 ^ n);
    quint64 a = 0, b = 0;
    if (n <= 16) {
        if (n >= 4) {
            // Two overlapping reads of 4 from each end cover 4..16 bytes.
            const quint64 step = (n >> 3) << 2;
            a = read32(p) << 32 | read32(p + step);
            b = read32(p + n - 4) << 32 | read32(p + n - 4 - step);
        } else if (n > 0) {
            a = quint64(uchar(p[0])) << 16 | quint64(uchar(p[n >> 1])) << 8 | uchar(p[n - 1]);
        }
    } else {
        quint64 left = n;
        for (; left > 16; left -= 16, p += 16)
            seed = mix(read64(p) ^ secret1, read64(p + 8) ^ seed ^ secret2);
        // The last 16 bytes, some of them read before.
        a = read64(p + left - 16);
        b = read64(p + left - 8);
    }
    const quint64 h = mix(secret1 ^ n, mix(a ^ secret1, b ^ seed));
    return h ? h : 1;
}

SeenSet::SeenSet()
{
    m_table.cells = std::make_unique<quint64[]>(initialSlots);
    m_table.mask = initialSlots - 1;
}

SeenSet::~SeenSet() = default;

bool SeenSet::Table::find(quint64 key, quint64 *&cell) const
{
    for (quint64 i = key & mask;; i = (i + 1) & mask) {
        cell = &cells[i];
        if (*cell == key)
            return true;
        if (*cell == 0)
            return false;
    }
}

bool SeenSet::containsFingerprint(quint64 key) const
{
    key = key ? key : 1;
    quint64 *cell = nullptr;
    return m_table.find(key, cell) || (m_old.cells && m_old.find(key, cell));
}

bool SeenSet::insertFingerprint(quint64 key)
{
    key = key ? key : 1;
    quint64 *cell = nullptr;
    if (m_old.cells && m_old.find(key, cell))
        return false;
    if (m_table.find(key, cell))
        return false;
    *cell = key;
    ++m_size;
    if (m_old.cells) {
        migrateSome();
    } else if (quint64(m_size) * 4 > (m_table.mask + 1) * 3) {
        m_old = std::move(m_table);
        m_table.mask = m_old.mask * 2 + 1;
        m_table.cells = std::make_unique<quint64[]>(m_table.mask + 1);
        m_migrated = 0;
    }
    return true;
}

void SeenSet::migrateSome()
{
    // An old entry is looked up in both tables until the old one goes, so
    // moving one leaves no gap in its probe chain: it is copied, not removed.
    const quint64 end = std::min(m_old.mask + 1, m_migrated + movesPerInsert);
    for (; m_migrated < end; ++m_migrated) {
        const quint64 key = m_old.cells[m_migrated];
        quint64 *cell = nullptr;
        if (key && !m_table.find(key, cell))
            *cell = key;
    }
    if (m_migrated > m_old.mask) {
        m_old.cells.reset();
        m_old.mask = 0;
    }
}

qsizetype SeenSet::memoryBytes() const
{
    return qsizetype((m_table.mask + 1 + (m_old.cells ? m_old.mask + 1 : 0)) * sizeof(quint64));
}
