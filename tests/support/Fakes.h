#pragma once

#include "extraction/RunHost.h"
#include "platform/PageFetcher.h"
#include "platform/UiServices.h"

#include <QHash>
#include <QStringList>

#include <deque>
#include <functional>
#include <vector>

// The modal services, scripted: answers come from a queue ("yes" answers a
// question; an empty queue cancels), and every call is logged in order as
// "message:…", "warning:…" (exclamation icon), "ask:…", "input:…", "open",
// "save" or "url:…".
class FakeUiServices : public UiServices
{
public:
    std::deque<QString> answers;
    QStringList log;
    // Runs inside every modal call, as a user would act while a box is up.
    std::function<void()> duringModal;

    void message(const QString &prompt, MessageIcon icon) override;
    bool askYesNo(const QString &prompt) override { return modal("ask:" + prompt) == "yes"; }
    QString input(const QString &prompt, const QString &) override
    {
        return modal("input:" + prompt);
    }
    QString openFileName(const FileDialogSettings &) override { return modal("open"); }
    QString saveFileName(const FileDialogSettings &) override { return modal("save"); }
    void openUrl(const QString &url) override { log << "url:" + url; }

private:
    QString modal(const QString &entry);
};

// A fetcher that answers when the test says so, in any order, and records
// what it was asked and what was cancelled. With autoAnswer, a request for an
// address in pages is answered from the event loop at once, any other fails.
class FakeFetcher : public PageFetcher
{
public:
    struct Request
    {
        quint64 id;
        QString url;
        QString path; // downloadToFile
        bool utf8;
        bool cancelled = false;
        bool answered = false;
    };
    std::vector<Request> requests;
    QHash<QString, QByteArray> pages;
    bool autoAnswer = true;

    quint64 fetchText(const QString &url) override { return ask(url, {}, false); }
    quint64 fetchUtf8(const QString &url) override { return ask(url, {}, true); }
    quint64 downloadToFile(const QString &url, const QString &path) override
    {
        return ask(url, path, false);
    }
    void cancel(quint64 id) override;
    bool stillExecuting() const override { return inFlight() > 0; }

    // Answers request `index` (in asking order) with body, or fails it.
    void answer(int index, const QByteArray &body, bool ok = true);
    int inFlight() const;
    int asked(const QString &url) const;

private:
    quint64 ask(const QString &url, const QString &path, bool utf8);
};

// The controls a run reads, as fields; what it shows, recorded.
class TestRunHost : public RunHost
{
public:
    QString rule, start, end;
    bool keep = false, include = false, evenIfNothing = false, busy = false;
    QStringList shown; // statuses, and "busy" / "idle"

    QString ruleText(Rule) const override { return rule; }
    QString startText() const override { return start; }
    QString endText() const override { return end; }
    bool keepDuplicates() const override { return keep; }
    bool includeAddress() const override { return include; }
    bool includeAddressIfNothingFound() const override { return evenIfNothing; }
    void setStatus(const QString &status) override { shown << status; }
    void setBusy(bool value) override { shown << ((busy = value) ? "busy" : "idle"); }
};
