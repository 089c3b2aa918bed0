#include "sitelist/UrlMon.h"

QString AddHttp(const QString &address)
{
    static const QString scheme = QStringLiteral("http://");
    if (address.contains(scheme, Qt::CaseSensitive))
        return address;
    return scheme + address;
}
