#pragma once

#include "extraction/RunHost.h"
#include "platform/PageFetcher.h"
#include "platform/UiServices.h"

#include <QHash>
#include <QPointer>
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
    QString clipboard;
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
    QString clipboardText() override { return clipboard; }
    void setClipboardText(const QString &text) override { clipboard = text; }

private:
    QString modal(const QString &entry);
};

// A fetcher that answers when the test says so, in any order, and records
// what it was asked and what was abandoned. With autoAnswer, a request for an
// address in pages is answered from the event loop at once, any other fails.
// A host (what precedes the path) has room for 6 fetches, all for 16.
class FakeFetcher : public PageFetcher
{
public:
    struct Request
    {
        QString url;
        QString path; // downloadToFile
        bool utf8 = false;
        QPointer<FetchReply> reply;
        bool abandoned = false;
        bool answered = false;
    };
    std::deque<Request> requests; // replies point into it
    QHash<QString, QByteArray> pages;
    bool autoAnswer = true;

    std::unique_ptr<FetchReply> fetchText(const QString &url) override
    {
        return ask(url, {}, false);
    }
    std::unique_ptr<FetchReply> fetchUtf8(const QString &url) override
    {
        return ask(url, {}, true);
    }
    std::unique_ptr<FetchReply> downloadToFile(const QString &url, const QString &path) override
    {
        return ask(url, path, false);
    }
    bool hasRoomFor(const QString &url) const override;
    QByteArray hostOf(const QString &url) const override
    {
        return url.section(u'/', 0, 2).toUtf8();
    }

    // Answers request `index` (in asking order) with body, or fails it.
    void answer(int index, const QByteArray &body, FetchError failure = FetchError::None);
    // Requests neither answered nor abandoned, for addresses that start with prefix.
    int inFlight(const QString &prefix = {}) const;
    int indexOf(const QString &url) const;

private:
    std::unique_ptr<FetchReply> ask(const QString &url, const QString &path, bool utf8);
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
