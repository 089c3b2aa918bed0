#include "sitelist/RobotsBook.h"

#include "crawl/WebAddress.h"

#include <cmath>

struct RobotsBook::Host
{
    std::unique_ptr<FetchReply> reply; // while it comes
    QByteArray body;
    bool known = false;
    bool unavailable = false;
    RobotsTxt rules;
};

RobotsBook::RobotsBook(PageFetcher &fetcher, std::chrono::milliseconds delay, QObject *parent)
    : QObject(parent), m_fetcher(fetcher), m_delay(delay)
{
}

RobotsBook::~RobotsBook() = default;

QByteArray RobotsBook::originOf(const WebAddress &address)
{
    return address.scheme().toByteArray() + "://" + address.host().toByteArray() + ':' +
           QByteArray::number(address.port());
}

RobotsBook::Verdict RobotsBook::knownVerdict(const WebAddress &address) const
{
    const auto found = m_hosts.constFind(originOf(address));
    if (found == m_hosts.constEnd() || !(*found)->known)
        return Verdict::Pending;
    const Host &host = **found;
    if (host.unavailable)
        return Verdict::Unavailable;
    switch (host.rules.verdict(address.pathAndQuery())) {
    case RobotsTxt::Allowed:
        return Verdict::Allowed;
    case RobotsTxt::Disallowed:
        return Verdict::Disallowed;
    case RobotsTxt::TooComplex:
        break;
    }
    return Verdict::TooComplex;
}

RobotsBook::Verdict RobotsBook::verdict(const WebAddress &address)
{
    const QByteArray origin = originOf(address);
    if (m_hosts.contains(origin))
        return knownVerdict(address);
    auto host = std::make_shared<Host>();
    m_hosts.insert(origin, host);
    // Asked as the host's pages are, without a default port.
    host->reply = m_fetcher.fetch(address.resolved(QByteArrayView("/robots.txt")).toString());
    ++m_fetching;
    FetchReply *reply = host->reply.get();
    connect(reply, &FetchReply::readyRead, this, [this, origin] {
        if (const auto host = m_hosts.value(origin); host && host->reply)
            read(*host);
    });
    connect(reply, &FetchReply::finished, this,
            [this, origin](const FetchResult &result) { arrived(origin, result); });
    return Verdict::Pending;
}

// Past the bytes RFC 9309 has a crawler read, the rest is not waited for.
void RobotsBook::read(Host &host)
{
    host.body += host.reply->read();
    if (host.body.size() <= RobotsTxt::maxBytes)
        return;
    FetchResult whole;
    whole.ok = true;
    whole.httpStatus = host.reply->response().httpStatus;
    host.reply->abort();
    for (auto entry = m_hosts.begin(); entry != m_hosts.end(); ++entry) {
        if (entry->get() == &host)
            return arrived(entry.key(), whole);
    }
}

void RobotsBook::arrived(const QByteArray &origin, const FetchResult &result)
{
    const std::shared_ptr<Host> host = m_hosts.value(origin);
    if (!host || host->known)
        return;
    if (result.ok && host->reply)
        host->body += host->reply->read();
    if (host->reply)
        host->reply.release()->deleteLater(); // it may be emitting
    --m_fetching;
    host->known = true;
    // A body that broke off, or none at all, is no answer: a status that says
    // the file is missing, or a redirect that went nowhere, is one.
    const int status =
        result.ok || (result.httpStatus >= 300 && result.httpStatus < 500) ? result.httpStatus : 0;
    host->rules = RobotsTxt::fromAnswer(status, host->body);
    host->unavailable = status == 0 || status >= 500;
    host->body = {};
    if (const std::optional<double> seconds = host->rules.crawlDelay()) {
        const double capped = std::min(*seconds, double(longestDelay.count()));
        const std::chrono::milliseconds asked(qint64(std::ceil(capped * 1000)));
        if (asked > m_delay)
            m_fetcher.setHostDelay(m_fetcher.hostOf(QString::fromLatin1(origin + '/')), asked);
    }
    emit known();
}

QList<QByteArray> RobotsBook::sitemapsOf(const WebAddress &address) const
{
    const auto host = m_hosts.value(originOf(address));
    return host && host->known ? host->rules.sitemaps() : QList<QByteArray>();
}

void RobotsBook::stop()
{
    for (const auto &host : std::as_const(m_hosts)) {
        if (host->reply) {
            host->reply.reset();
            --m_fetching;
        }
    }
    m_hosts.removeIf([](const auto &entry) { return !entry.value()->known; });
}
