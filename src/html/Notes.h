#pragma once

#include <QList>
#include <QStringList>

namespace html {

// Limits reached on a page, each said once with how often it happened.
class Notes
{
public:
    void add(const QString &what);
    QStringList list() const;
    bool isEmpty() const { return m_notes.isEmpty(); }

private:
    QList<std::pair<QString, qint64>> m_notes;
};

} // namespace html
