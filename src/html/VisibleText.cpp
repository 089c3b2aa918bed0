#include "html/VisibleText.h"

#include "html/TextLayout.h"
#include "html/Tokenizer.h"
#include "html/TreeBuilder.h"

namespace html {

struct VisibleText::Private : TreeSink
{
    Notes notes;
    TextLayout layout;
    TreeBuilder builder{*this, notes, false};
    Tokenizer tokenizer{builder, notes};
    bool finished = false;

    Private() { builder.setTokenizer(&tokenizer); }
    void elementStarted(const ElementStart &element) override { layout.elementStarted(element); }
    void text(QByteArrayView text) override { layout.text(text); }
    void comment(QByteArrayView, bool, bool) override {}
    void elementEnded(const ElementEnd &) override { layout.elementEnded(); }
};

VisibleText::VisibleText() : d(std::make_unique<Private>()) {}

VisibleText::~VisibleText() = default;

void VisibleText::feed(QByteArrayView utf8)
{
    if (!d->finished)
        d->tokenizer.feed(utf8);
}

void VisibleText::finish()
{
    if (std::exchange(d->finished, true))
        return;
    d->tokenizer.finish();
    d->layout.finish();
}

QByteArray VisibleText::take()
{
    return d->layout.take();
}

qint64 VisibleText::heldBytes() const
{
    return d->tokenizer.heldBytes() + d->builder.heldBytes() + d->layout.heldBytes();
}

QStringList VisibleText::notes() const
{
    return d->notes.list();
}

} // namespace html
