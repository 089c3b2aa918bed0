#pragma once

#include <QString>

// Settings of an open or save dialog; filter uses the "Text|*.txt|All|*.*" form.
struct FileDialogSettings
{
    QString fileName;
    int flags = 0;
    QString title;
    QString filter;
};

// What "Crawl Site…" asks: where to start, how many links deep to follow, and
// which pages count as the site's: "host", "domain" or "prefix".
struct CrawlQuestion
{
    QString address;
    int depth = 3;
    QString scope = QStringLiteral("host");
};

enum class MessageIcon
{
    None,
    Exclamation
};

// The modal services of the window system. Every call blocks in the dialog's
// own loop and returns the user's answer; tests replace them with scripts.
class UiServices
{
public:
    virtual ~UiServices() = default;
    // OK box titled with the application's name.
    virtual void message(const QString &prompt, MessageIcon icon = MessageIcon::None) = 0;
    // Yes/No box; true for Yes.
    virtual bool askYesNo(const QString &prompt) = 0;
    // Input box; empty text on Cancel. An empty title means the application's name.
    virtual QString input(const QString &prompt, const QString &title = {}) = 0;
    // File dialogs; empty text on Cancel.
    virtual QString openFileName(const FileDialogSettings &settings) = 0;
    virtual QString saveFileName(const FileDialogSettings &settings) = 0;
    // The crawl's box, showing the answer's values; false on Cancel.
    virtual bool askCrawl(CrawlQuestion &answer) = 0;
    // Opens an address in the user's browser without waiting for it.
    virtual void openUrl(const QString &url) = 0;
    virtual QString clipboardText() = 0;
    virtual void setClipboardText(const QString &text) = 0;
};
