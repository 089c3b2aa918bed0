#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>

// Outcome of one transfer. A failed transfer never carries a partial body.
struct FetchResult
{
    bool ok = false;
    QString error;          // why it failed, for messages and tests
    int httpStatus = 0;     // final status after redirects, 0 when none was received
    QString text;           // fetchText: the decoded body
    QByteArray utf8;        // fetchUtf8: the same text as UTF-8
};
Q_DECLARE_METATYPE(FetchResult)

// Fetches pages without ever blocking the caller's thread. Results arrive
// through finished(), in completion order, on the thread that owns the fetcher.
class PageFetcher : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~PageFetcher() override = default;

    // Fetch the body of url and decode it as text.
    virtual quint64 fetchText(const QString &url) = 0;
    // The same fetch, the text delivered as UTF-8. A page that is UTF-8 already
    // costs no conversion and half the memory of fetchText's UTF-16.
    virtual quint64 fetchUtf8(const QString &url) = 0;
    // The same fetch, the body written to path. The file is complete when
    // finished() reports ok; on failure its content is unspecified.
    virtual quint64 downloadToFile(const QString &url, const QString &path) = 0;
    // Abandon a transfer; no finished() follows for it.
    virtual void cancel(quint64 id) = 0;
    // True while any transfer is under way.
    virtual bool stillExecuting() const = 0;

signals:
    void finished(quint64 id, const FetchResult &result);
};
