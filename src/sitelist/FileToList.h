#pragma once

#include "model/SerialQueue.h"
#include "model/UserMessage.h"

#include <QByteArrayView>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <utility>

class SiteList;

// Cuts the bytes of an address file into pieces, fed in chunks of any size.
// A line ends at CR, at CR LF or at the end of the file, and a final line end
// starts no further line; inside a line every LF splits off a piece, and every
// piece is kept, empty ones too. Bytes are UTF-8; invalid ones become U+FFFD
// and a byte-order mark stays in the text as U+FEFF.
class AddressFileSplitter
{
public:
    // No browser takes a longer address; a longer piece means the file is not
    // a list of addresses, and holding it whole could exhaust memory.
    static constexpr qsizetype maxPieceLength = 2 * 1024 * 1024;

    void feed(QByteArrayView bytes);
    // True once a piece grew past maxPieceLength. The splitter then takes
    // nothing more and finish() hands over nothing.
    bool overlong() const { return m_overlong; }
    // Hands over the pieces cut so far, in file order.
    QStringList takePieces() { return std::exchange(m_pieces, {}); }
    // Ends the file and hands over every piece left, in file order.
    QStringList finish();

private:
    void split(QStringView text);

    QByteArray m_carry; // start of a UTF-8 sequence the next chunk completes
    QString m_partial;  // the piece cut so far, not yet ended
    QStringList m_pieces;
    bool m_afterCr = false;    // a following LF belongs to that CR
    bool m_atLineStart = true; // nothing since the last line end (or the start)
    bool m_any = false;
    bool m_overlong = false;
};

// Reads and splits an address file one chunk at a time, so that the work can
// be spread over slices of the event loop.
class AddressFileReader
{
public:
    explicit AddressFileReader(const QString &path);
    // False, with the reason in error, when the file cannot be opened.
    bool open(QString *error);
    // Reads the next chunk; false once the whole file is read or reading failed.
    bool step();
    // After step() returned false: every piece in file order, before AddHttp;
    // no value and a reason in error when reading failed or a line is too long.
    std::optional<QStringList> finish(QString *error);

private:
    QFile m_file;
    AddressFileSplitter m_splitter;
    QByteArray m_chunk;
    bool m_failed = false;
};

// Loads one address file on the event loop, reading in slices so the window
// stays usable; its addresses reach the list in one batch once the whole file
// was read, or not at all. finished() follows either way, with why the file
// could not be read.
class AddressFileLoad : public QueuedJob
{
    Q_OBJECT
public:
    AddressFileLoad(SiteList &list, const QString &path, QObject *parent = nullptr);
    ~AddressFileLoad() override;

    void start() override;
    // Ends the load at once; the list gets none of the file.
    void stop() override;

private:
    void advance();
    void fail(const QString &reason);

    SiteList &m_list;
    QString m_path;
    AddressFileReader m_reader;
    std::optional<QStringList> m_addresses; // set once the file is read
    qsizetype m_normalised = 0;             // addresses already through AddHttp
    bool m_stopped = false;
};

// Loads address files one after another, in the order asked.
class AddressFileLoader : public SerialQueue
{
    Q_OBJECT
public:
    explicit AddressFileLoader(SiteList &list, QObject *parent = nullptr);

    void enqueue(const QString &path);

private:
    SiteList &m_list;
};
