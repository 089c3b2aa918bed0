#pragma once

#include <QByteArray>
#include <QStringList>

#include <memory>

namespace html {

// A page's visible text, as its UTF-8 pieces arrive: what a browser's
// innerText gives with only the default style sheet (see TextLayout.h),
// lines ending in '\n'.
class VisibleText
{
public:
    VisibleText();
    ~VisibleText();
    void feed(QByteArrayView utf8); // cut anywhere; work in proportion to its size
    void finish();                  // the end of the page
    QByteArray take();              // the text made so far and not yet taken
    qint64 heldBytes() const;       // what is held: a tag cut by the piece, text not taken, ...
    QStringList notes() const;      // limits reached, in words

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace html
