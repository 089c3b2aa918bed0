#include "extraction/Extract1.h"

QString ReplaceFirst(const QString &text, const QString &find, const QString &replacement)
{
    const qsizetype at = text.indexOf(find);
    if (at < 0)
        return text;
    QString out;
    out.reserve(text.size() - find.size() + replacement.size());
    out.append(QStringView(text).first(at));
    out.append(replacement);
    out.append(QStringView(text).sliced(at + find.size()));
    return out;
}
