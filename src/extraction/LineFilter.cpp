#include "extraction/LineFilter.h"

QString decodeAmp(QStringView text)
{
    static const QString entity = QStringLiteral("&amp;");
    QString out;
    qsizetype from = 0;
    qsizetype at = text.indexOf(entity);
    if (at < 0)
        return text.toString();
    out.reserve(text.size());
    while (at >= 0) {
        out.append(text.mid(from, at - from));
        out.append(u'&');
        from = at + entity.size();
        at = text.indexOf(entity, from);
    }
    out.append(text.mid(from));
    return out;
}
