#pragma once

#include "html/Selector.h"

#include <QStringList>

#include <memory>

namespace html {

// The elements of a page that match a selector list, as the page's UTF-8
// pieces arrive: one record for each, a field for each take, in the order of
// the elements' start tags.
//
// What is known only at an element's end (:empty, :has(), :contains()) or at
// its parent's (:last-child, :nth-last-*, :only-*) is decided there; those
// may appear only in the compound that names the element taken (also inside
// :not() and :is() there), and :has() takes descendant and child arguments.
// Records wait for the ones before them; heldBytes() counts them, and
// waitingBytes() those done that wait, for an earlier record or for their
// parent's end, with the text, html and raw text they share (elements inside
// each other share one copy of each): no limit bounds these but the page's size
// (every paragraph behind the body in "body, p", every item of a list in
// "li:nth-last-child(2n)").
class ElementTaker
{
public:
    static constexpr qint64 kCaptureLimit = 16 << 20;

    ElementTaker(const SelectorList &selectors, QList<Take> takes);
    ~ElementTaker();
    void feed(QByteArrayView utf8);
    void finish();
    bool hasRecord() const;
    // The first record's fields as UTF-8, valid until it is dropped or more
    // is fed; records come in page order.
    const QList<QByteArray> &record();
    void dropRecord();
    QList<QByteArray> takeRecord(); // the record, dropped

    qint64 heldBytes() const;
    qint64 waitingBytes() const;
    QStringList notes() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace html
