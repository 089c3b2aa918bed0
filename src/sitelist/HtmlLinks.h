#pragma once

#include "crawl/WebAddress.h"
#include "html/Notes.h"
#include "html/Tokenizer.h"

#include <functional>
#include <vector>

// The links of an HTML page as it streams in: the href of every <a> and
// <area>, and of <link rel=next>, resolved by RFC 3986 against the page's
// address and its <base href>, without their fragments. The first <base>
// counts wherever it stands, so the links before it wait for it, up to the
// page's <body> or heldLimit bytes of them. A link marked rel=nofollow is left
// out when asked. Only the tag being read and those waiting links are held.
class HtmlLinks : private html::TokenSink
{
public:
    static constexpr qsizetype heldLimit = 256 * 1024;
    using Found = std::function<void(const WebAddress &link)>;

    HtmlLinks(const WebAddress &page, bool skipNofollow, Found found);
    ~HtmlLinks() override;
    HtmlLinks(const HtmlLinks &) = delete;
    HtmlLinks &operator=(const HtmlLinks &) = delete;

    void feed(QByteArrayView utf8) { m_tokenizer.feed(utf8); }
    // The page's end: links still waiting for a base go out.
    void finish();

private:
    void startTag(html::Tag &tag) override;
    void endTag(html::Tag &tag) override;
    void characters(QByteArrayView) override {}
    void commentBegin() override {}
    void commentText(QByteArrayView) override {}
    void commentEnd() override {}
    void doctype(const html::Doctype &) override {}
    void endOfFile() override {}

    void link(const html::Tag &tag);
    void settleBase(QByteArrayView href);

    WebAddress m_base;
    const bool m_skipNofollow;
    const Found m_found;
    bool m_baseKnown = false;
    std::vector<QByteArray> m_held; // hrefs waiting for the base
    qsizetype m_heldBytes = 0;
    int m_foreign = 0; // <svg> and <math> open
    html::Notes m_notes;
    html::Tokenizer m_tokenizer{*this, m_notes};
};
