#pragma once

#include "model/TextList.h"
#include "sitelist/AddressSource.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QString>

#include <memory>

class QSocketNotifier;

// Cuts the bytes of an address file into addresses, fed in chunks of any size.
// A line ends at CR, at CR LF or at the end of the file, and a final line end
// starts no further line; inside a line every LF splits off a piece. Bytes are
// UTF-8; invalid ones become U+FFFD and a byte-order mark stays in the text as
// U+FEFF. Every piece becomes an address through AddHttp, empty ones too; or,
// for a list of sites, the piece up to its first tab, if that holds anything.
class AddressFileSplitter
{
public:
    enum class Lines
    {
        Every, // as "Load List" reads a file
        Sites  // as the command line reads a list of sites or of failures
    };
    // No browser takes a longer address; a longer piece means the file is not
    // a list of addresses, and holding it whole could exhaust memory.
    static constexpr qsizetype maxPieceLength = 2 * 1024 * 1024;

    explicit AddressFileSplitter(Lines lines = Lines::Every) : m_lines(lines) {}

    void feed(QByteArrayView bytes);
    // True once a piece grew past maxPieceLength characters. The splitter then
    // takes nothing more and finish() hands over nothing.
    bool overlong() const { return m_overlong; }
    // Hands over the addresses cut so far, in file order.
    TextList takeAddresses() { return std::exchange(m_addresses, {}); }
    // Ends the file and hands over every address left, in file order.
    TextList finish();

private:
    void cut(QByteArrayView piece);
    bool fits(QByteArrayView piece);

    const Lines m_lines;
    QByteArray m_partial; // the piece cut so far, not yet ended
    TextList m_addresses;
    bool m_afterCr = false;    // a following LF belongs to that CR
    bool m_atLineStart = true; // nothing since the last line end (or the start)
    bool m_any = false;
    bool m_overlong = false;
};

// The addresses of a file, or of standard input ("-"), read a chunk at a
// pull. A pipe is read as its data comes, never waiting in a read.
class AddressFile : public AddressSource
{
    Q_OBJECT
public:
    AddressFile(const QString &path, AddressFileSplitter::Lines lines, qsizetype chunkBytes,
                QObject *parent = nullptr);
    ~AddressFile() override;

    State produce(TextList &out, const WorkSlice &slice) override;
    void finishWithoutWaiting() override { m_noWaiting = true; }
    UserMessage message() const override;

private:
    bool open();
    State failWith(const QString &reason);
    State end(TextList &out, TextList addresses);
    void restoreInputFlags();

    const QString m_path;
    const bool m_standardInput;
    QFile m_file;
    AddressFileSplitter m_splitter;
    QByteArray m_chunk;
    bool m_opened = false;
    bool m_noWaiting = false;
    QSocketNotifier *m_readable = nullptr; // standard input as a pipe
    int m_inputFlags = -1;                 // before it was made non-blocking
};

// Loads address files into the window's site list one after another, in the
// order asked; each file's addresses arrive together once it was read whole.
class AddressFileLoader : public SerialQueue
{
    Q_OBJECT
public:
    explicit AddressFileLoader(SiteList &list, QObject *parent = nullptr);

    void enqueue(const QString &path);

private:
    SiteList &m_list;
};
