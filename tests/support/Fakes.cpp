#include "support/Fakes.h"

#include "extraction/ExtractionRun.h"
#include "extraction/PageRule.h"
#include "extraction/RuleTable.h"
#include "extraction/SiteRows.h"
#include "extraction/SiteSource.h"
#include "model/WorkSlice.h"
#include "results/ResultList.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTimer>

#include <limits>

namespace {

class FakeReply : public FetchReply
{
public:
    explicit FakeReply(FakeFetcher::Request *request) : m_request(request), m_record(request) {}
    ~FakeReply() override { abort(); }
    void abort() override
    {
        if (m_request)
            std::exchange(m_request, nullptr)->abandoned = true;
    }
    QByteArray read() override
    {
        m_record->read += m_text.size();
        return std::exchange(m_text, {});
    }
    FetchResponse response() const override { return m_response; }
    void setRestartable(bool restartable) override
    {
        if (m_request)
            m_request->restartable = restartable;
    }
    // What answered is told before the text, as the real fetcher does.
    void start()
    {
        if (!std::exchange(m_started, true)) {
            m_response = {200, 11, m_record->url, "text/html; charset=utf-8"};
            emit responseStarted();
        }
    }
    void send(const QByteArray &piece)
    {
        start();
        m_text += piece;
        emit readyRead();
    }
    void finish(const FetchResult &result, const QByteArray &text)
    {
        m_request = nullptr;
        if (result.ok)
            start();
        if (!(m_text = text).isEmpty())
            emit readyRead();
        emit finished(result);
    }

private:
    FakeFetcher::Request *m_request; // while unfinished
    FakeFetcher::Request *m_record;
    QByteArray m_text;
    FetchResponse m_response;
    bool m_started = false;
};

} // namespace

QString FakeUiServices::modal(const QString &entry)
{
    log << entry;
    if (duringModal)
        duringModal();
    return answers.isEmpty() ? QString() : answers.takeFirst();
}

bool FakeFetcher::hasRoomFor(const QString &url) const
{
    return inFlight() < 16 && inFlight(hostOf(url)) < 6;
}

void FakeFetcher::answer(int index, const QByteArray &body, FetchError failure)
{
    Request &request = requests.at(size_t(index));
    if (!request.reply || request.answered || request.abandoned)
        qFatal("request %d for %s was answered or abandoned", index, qPrintable(request.url));
    request.answered = true;
    FetchResult result;
    result.kind = failure;
    result.ok = failure == FetchError::None;
    result.httpStatus = result.ok ? 200 : 0;
    if (!result.ok) {
        result.error = QStringLiteral("failed on purpose");
        result.httpStatus = failure == FetchError::HttpStatus ? 404 : 0;
    } else if (!request.path.isEmpty()) {
        QFile file(request.path);
        result.ok = file.open(QIODevice::WriteOnly) && file.write(body) == body.size();
    }
    static_cast<FakeReply *>(request.reply.data())
        ->finish(result, result.ok && request.path.isEmpty() ? body : QByteArray());
}

void FakeFetcher::send(int index, const QByteArray &piece)
{
    const Request &request = requests.at(size_t(index));
    if (!request.reply || request.answered || request.abandoned)
        qFatal("request %d for %s was answered or abandoned", index, qPrintable(request.url));
    static_cast<FakeReply *>(request.reply.data())->send(piece);
}

int FakeFetcher::inFlight(const QString &prefix) const
{
    return int(std::count_if(requests.begin(), requests.end(), [&](const Request &r) {
        return !r.answered && !r.abandoned && r.url.startsWith(prefix);
    }));
}

FakeFetcher::Reply FakeFetcher::ask(const QString &url, const QString &path)
{
    requests.push_back({url, path, nullptr});
    auto reply = std::make_unique<FakeReply>(&requests.back());
    requests.back().reply = reply.get();
    if (autoAnswer) {
        // From the event loop, as the real one answers.
        const int index = int(requests.size() - 1);
        QMetaObject::invokeMethod(
            reply.get(),
            [this, index] {
                const QString url = requests[size_t(index)].url;
                answer(index, pages.value(url),
                       pages.contains(url) ? FetchError::None : FetchError::HttpStatus);
            },
            Qt::QueuedConnection);
    }
    return reply;
}

QStringList runRows(Rule rule, PageFetcher &fetcher, const QStringList &sites, RunHost &host,
                    qint64 *stallMs)
{
    SiteList list;
    list.append(sites);
    SiteListSource source(list);
    ResultList results;
    ExtractionRun run(rule, source, results, fetcher, host);
    QSignalSpy finished(&run, &QueuedJob::finished);
    QElapsedTimer clock;
    QTimer probe;
    qint64 worst = 0;
    QObject::connect(&probe, &QTimer::timeout, [&] { worst = std::max(worst, clock.restart()); });
    clock.start();
    probe.start(20);
    run.start();
    if (!finished.wait(60'000))
        return {"<the run did not end>"};
    if (stallMs)
        *stallMs = worst;
    return results.texts();
}

QStringList ruleRows(Rule rule, const QString &address, const QList<QByteArrayView> &pieces,
                     RunHost &host)
{
    ResultList results;
    SiteRows rows(results);
    rows.begin(address, ruleEntry(rule), host);
    const auto pageRule = ruleEntry(rule).make(rule, host, rows);
    const auto finish = [&] {
        do
            rows.newSlice();
        while (!pageRule->advance(WorkSlice()));
    };
    for (const QByteArrayView piece : pieces) {
        finish();
        pageRule->take(piece);
    }
    finish();
    pageRule->endOfPage();
    finish();
    // As a run gives up a site it cannot read, its rows held.
    if (rows.takeFailure())
        return {"!" + address};
    rows.pageDone();
    rows.release();
    rows.flush(WorkSlice(std::numeric_limits<qint64>::max()));
    return results.texts();
}
