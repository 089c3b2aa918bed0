#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

// A broken property is a crash to libFuzzer, which then keeps the input.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

// Splits fuzz input into a few independent parts: each starts with a byte that
// gives its length (the last part takes what is left).
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size)
        : m_data(reinterpret_cast<const char *>(data)), m_size(qsizetype(size))
    {
    }
    uint8_t byte()
    {
        if (m_pos >= m_size)
            return 0;
        return uint8_t(m_data[m_pos++]);
    }
    QByteArrayView part()
    {
        const qsizetype length = qMin<qsizetype>(byte(), m_size - m_pos);
        const QByteArrayView bytes(m_data + m_pos, length);
        m_pos += length;
        return bytes;
    }
    QByteArrayView rest()
    {
        const QByteArrayView bytes(m_data + m_pos, m_size - m_pos);
        m_pos = m_size;
        return bytes;
    }

private:
    const char *m_data;
    qsizetype m_size;
    qsizetype m_pos = 0;
};

// UTF-16 straight from the bytes, so lone surrogates and every other unit occur.
inline QString utf16(QByteArrayView bytes)
{
    return QString(reinterpret_cast<const QChar *>(bytes.data()), bytes.size() / 2);
}
