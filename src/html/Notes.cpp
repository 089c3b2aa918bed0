#include "html/Notes.h"

namespace html {

void Notes::add(const QString &what)
{
    for (auto &[text, count] : m_notes) {
        if (text == what) {
            ++count;
            return;
        }
    }
    m_notes.append({what, 1});
}

QStringList Notes::list() const
{
    QStringList out;
    for (const auto &[text, count] : m_notes)
        out << (count == 1 ? text : QStringLiteral("%1 (%2 times)").arg(text).arg(count));
    return out;
}

} // namespace html
