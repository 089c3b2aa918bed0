#pragma once

#include <QString>

#include <cstdio>
#include <cstdlib>

// A broken property is a crash, which libFuzzer keeps the input of.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

// Fuzz input cut into parts: a byte, or a part led by a byte giving its length.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size) : m_data(data), m_size(qsizetype(size)) {}
    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    QByteArrayView part()
    {
        const qsizetype wanted = byte(); // before m_pos is read below
        const qsizetype length = std::min(wanted, m_size - m_pos);
        m_pos += length;
        return {m_data + m_pos - length, length};
    }
    QByteArrayView rest()
    {
        const qsizetype from = std::exchange(m_pos, m_size);
        return {m_data + from, m_size - from};
    }

private:
    const uint8_t *m_data;
    qsizetype m_size;
    qsizetype m_pos = 0;
};

// UTF-16 straight from the bytes, lone surrogates and all; or Latin-1, which
// reaches the markup characters easily.
inline QString text(QByteArrayView bytes, bool wide)
{
    if (!wide)
        return QString::fromLatin1(bytes);
    return QString(reinterpret_cast<const QChar *>(bytes.data()), bytes.size() / 2);
}
