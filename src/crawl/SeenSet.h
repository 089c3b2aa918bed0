#pragma once

#include <QByteArrayView>

#include <memory>

// The addresses a crawl has seen, each kept as a 64-bit fingerprint of its
// normal form: 8 bytes an address in an open-addressed table at most three
// quarters full, 16 MiB for a million. Two distinct addresses share a
// fingerprint with a chance of about n^2 / 2^65 (1 in 37 million for a
// million). The table grows by moving its entries over in small steps, a few
// at every insert, so no insert takes long however large the set.
class SeenSet
{
public:
    SeenSet();
    ~SeenSet();
    SeenSet(const SeenSet &) = delete;
    SeenSet &operator=(const SeenSet &) = delete;

    // True when the address was not seen before; it is seen from now on.
    bool insert(QByteArrayView normalisedUtf8)
    {
        return insertFingerprint(fingerprint(normalisedUtf8));
    }
    bool contains(QByteArrayView normalisedUtf8) const
    {
        return containsFingerprint(fingerprint(normalisedUtf8));
    }
    bool insertFingerprint(quint64 fingerprint);
    bool containsFingerprint(quint64 fingerprint) const;

    qsizetype size() const { return m_size; }
    // What the tables take, in bytes.
    qsizetype memoryBytes() const;

    // A 64-bit hash built on the 64x64->128-bit multiply: every input bit
    // reaches every output bit, unlike FNV's byte-at-a-time multiply. Never 0.
    static quint64 fingerprint(QByteArrayView bytes, quint64 seed = 0);

private:
    struct Table
    {
        std::unique_ptr<quint64[]> cells; // 0: empty
        quint64 mask = 0;
        bool find(quint64 key, quint64 *&cell) const;
    };
    void migrateSome();

    Table m_table;
    Table m_old; // being moved into m_table while it has cells
    quint64 m_migrated = 0;
    qsizetype m_size = 0;
};
