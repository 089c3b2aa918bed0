#include "support/Fakes.h"

#include <QFile>

void FakeUiServices::message(const QString &prompt, MessageIcon icon)
{
    modal((icon == MessageIcon::Exclamation ? "warning:" : "message:") + prompt);
}

QString FakeUiServices::modal(const QString &entry)
{
    log << entry;
    if (duringModal)
        duringModal();
    if (answers.empty())
        return {};
    const QString answer = answers.front();
    answers.pop_front();
    return answer;
}

void FakeFetcher::cancel(quint64 id)
{
    for (Request &request : requests) {
        if (request.id == id && !request.answered)
            request.cancelled = true;
    }
}

void FakeFetcher::answer(int index, const QByteArray &body, bool ok)
{
    Request &request = requests.at(size_t(index));
    if (request.cancelled || request.answered)
        qFatal("request %d for %s was %s", index, qPrintable(request.url),
               request.cancelled ? "cancelled" : "answered");
    request.answered = true;
    FetchResult result;
    result.ok = ok;
    if (!ok)
        result.error = QStringLiteral("failed on purpose");
    else if (!request.path.isEmpty()) {
        QFile file(request.path);
        result.ok = file.open(QIODevice::WriteOnly) && file.write(body) == body.size();
    } else if (request.utf8)
        result.utf8 = body;
    else
        result.text = QString::fromUtf8(body);
    emit finished(request.id, result);
}

int FakeFetcher::inFlight() const
{
    return int(std::count_if(requests.begin(), requests.end(),
                             [](const Request &r) { return !r.cancelled && !r.answered; }));
}

int FakeFetcher::asked(const QString &url) const
{
    return int(std::count_if(requests.begin(), requests.end(),
                             [&](const Request &r) { return r.url == url; }));
}

quint64 FakeFetcher::ask(const QString &url, const QString &path, bool utf8)
{
    const quint64 id = requests.size() + 1;
    requests.push_back({id, url, path, utf8});
    if (autoAnswer) {
        // From the event loop, as the real one answers; dropped once cancelled.
        QMetaObject::invokeMethod(
            this,
            [this, index = int(id - 1)] {
                const Request &request = requests[size_t(index)];
                if (!request.cancelled)
                    answer(index, pages.value(request.url), pages.contains(request.url));
            },
            Qt::QueuedConnection);
    }
    return id;
}
