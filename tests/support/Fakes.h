#pragma once

#include "extraction/RunHost.h"
#include "platform/PageFetcher.h"
#include "platform/UiServices.h"
#include "sitelist/SiteList.h"

#include <QHash>
#include <QPointer>
#include <QStringList>

#include <deque>
#include <functional>

// The modal services, scripted: answers come from a queue ("yes" answers a
// question; an empty queue cancels), and every call is logged in order as
// "message:…", "warning:…" (exclamation icon), "ask:…", "input:…",
// "open:<title>", "save", "crawl" or "url:…".
class FakeUiServices : public UiServices
{
public:
    QStringList answers;
    QStringList log;
    QString clipboard;
    // Runs inside every modal call, as a user would act while a box is up.
    std::function<void()> duringModal;

    void message(const QString &text, MessageIcon icon) override
    {
        modal((icon == MessageIcon::Exclamation ? "warning:" : "message:") + text);
    }
    bool askYesNo(const QString &prompt) override { return modal("ask:" + prompt) == "yes"; }
    QString input(const QString &text, const QString &) override { return modal("input:" + text); }
    // Answered "ADDRESS DEPTH SCOPE"; logged "crawl".
    bool askCrawl(CrawlQuestion &answer) override
    {
        const QStringList given = modal("crawl").split(u' ');
        if (given.size() != 3)
            return false;
        answer = {given[0], given[1].toInt(), given[2]};
        return true;
    }
    QString openFileName(const FileDialogSettings &s) override { return modal("open:" + s.title); }
    QString saveFileName(const FileDialogSettings &) override { return modal("save"); }
    void openUrl(const QString &url) override { log << "url:" + url; }
    QString clipboardText() override { return clipboard; }
    void setClipboardText(const QString &text) override { clipboard = text; }

private:
    QString modal(const QString &entry);
};

// A fetcher that answers when told, in any order, recording what was asked and
// abandoned; with autoAnswer, from pages at once (404 if missing). 6 per host, 16 in all.
class FakeFetcher : public PageFetcher
{
public:
    struct Request
    {
        QString url, path; // path: where downloadToFile writes
        QPointer<FetchReply> reply;
        bool abandoned = false, answered = false;
        qint64 read = 0;         // bytes of the body the reader took
        bool restartable = true; // as its reader last said
    };
    using Reply = std::unique_ptr<FetchReply>;
    std::deque<Request> requests; // replies point into it
    QHash<QString, QByteArray> pages;
    bool autoAnswer = true;

    QHash<QByteArray, std::chrono::milliseconds> hostDelays; // as asked

    Reply fetch(const QString &url) override { return ask(url, {}); }
    Reply fetchBytes(const QString &url) override { return ask(url, {}); }
    Reply downloadToFile(const QString &url, const QString &path) override
    {
        return ask(url, path);
    }
    bool hasRoomFor(const QString &url) const override;
    QByteArray hostOf(const QString &url) const override
    {
        return url.section(u'/', 0, 2).toUtf8();
    }
    void setHostDelay(const QByteArray &host, std::chrono::milliseconds delay) override
    {
        hostDelays.insert(host, delay);
    }

    // Answers request `index` (in asking order) with body, in one piece, or fails it.
    void answer(int index, const QByteArray &body, FetchError failure = FetchError::None);
    // Part of request `index`'s body, the rest to come.
    void send(int index, const QByteArray &piece);
    // Requests neither answered nor abandoned, for addresses that start with prefix.
    int inFlight(const QString &prefix = {}) const;

private:
    Reply ask(const QString &url, const QString &path);
};

// The controls a run reads, as fields; what it shows, recorded.
class TestRunHost : public RunHost
{
public:
    QString rule, start, end;
    bool keep = false, include = false, evenIfNothing = false, busy = false;
    bool pattern = false;  // every text is a regular expression
    bool text = false;     // rules read pages' visible text
    QStringList takeNames; // of the selector rule; its text alone when empty
    QStringList shown;     // statuses, and "busy" / "idle"

    // The rule's text, also the markers as "start|end".
    void setTexts(const QString &text)
    {
        rule = text;
        start = text.section(u'|', 0, 0);
        end = text.section(u'|', 1);
    }
    // "k" keep duplicates, "i" include the address, "e" even if nothing found,
    // "r" regular expressions, "t" pages read as text.
    void setOptions(const QString &options)
    {
        pattern = options.contains(u'r');
        text = options.contains(u't');
        keep = options.contains(u'k');
        include = options.contains(u'i');
        evenIfNothing = options.contains(u'e');
    }

    QString ruleText(Rule) const override { return rule; }
    QString startText() const override { return start; }
    QString endText() const override { return end; }
    bool rulePattern(Rule) const override { return pattern; }
    bool startPattern() const override { return pattern; }
    bool endPattern() const override { return pattern; }
    bool keepDuplicates() const override { return keep; }
    bool readsText() const override { return text; }
    QStringList takes() const override
    {
        return takeNames.isEmpty() ? QStringList{QStringLiteral("text")} : takeNames;
    }
    bool includeAddress() const override { return include; }
    bool includeAddressIfNothingFound() const override { return evenIfNothing; }
    void setStatus(const QString &status) override { shown << status; }
    void setBusy(bool value) override { shown << ((busy = value) ? "busy" : "idle"); }
};

// The rows of a whole run over sites, and the longest the event loop went
// without serving a 20 ms timer meanwhile.
QStringList runRows(Rule rule, PageFetcher &fetcher, const QStringList &sites, RunHost &host,
                    qint64 *stallMs = nullptr);

// The rows of one rule given a page in pieces, as a run gives them; or "!" and
// the address when the rule cannot read the page.
QStringList ruleRows(Rule rule, const QString &address, const QList<QByteArrayView> &pieces,
                     RunHost &host);

inline QStringList texts(const SiteList &list)
{
    return list.texts();
}

inline QStringList texts(const TextList &list)
{
    QStringList all;
    for (qsizetype index = 0; index < list.size(); ++index)
        all << list.text(index);
    return all;
}
