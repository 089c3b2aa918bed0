#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// Turns a page's bytes into UTF-8 text piece by piece, picking its character
// set the way browsers do: the charset of the Content-Type header, else a
// byte-order mark, else a <meta> declaration in the first 1024 bytes. Unknown
// or undecodable labels are skipped as if absent. A page that names none is
// read sequence by sequence: valid UTF-8 as UTF-8, any other byte as
// windows-1252. Nothing comes out before the first 1024 bytes (or the whole
// page, if shorter) are in, unless told to settle earlier; a piece of valid
// UTF-8 comes out as it is. A sequence cut between pieces waits for its end;
// one cut by the page's end becomes U+FFFD (windows-1252 bytes when the page
// named no charset).
class PageTextDecoder
{
public:
    PageTextDecoder();
    ~PageTextDecoder();
    PageTextDecoder(const PageTextDecoder &) = delete;
    PageTextDecoder &operator=(const PageTextDecoder &) = delete;

    void setContentType(const QByteArray &contentType) { m_contentType = contentType; }
    // The text of the next bytes; last flushes what a sequence cut at the end left.
    QByteArray decode(QByteArray bytes, bool last);
    // From now on the charset is chosen from what has come, as soon as a
    // byte-order mark can be told; the next decode() gives the text held so far.
    void settle() { m_settle = true; }
    bool isUndecided() const { return !m_state; }

private:
    struct State;
    QByteArray m_contentType;
    QByteArray m_held;              // the page's start, or the start of a cut sequence
    std::unique_ptr<State> m_state; // once the charset is decided
    bool m_settle = false;
};
