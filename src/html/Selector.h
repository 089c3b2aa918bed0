#pragma once

#include "html/Tags.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

namespace html {

namespace selector {

enum class Combinator : quint8
{
    Descendant,
    Child,
    Adjacent,
    Sibling
};

struct Simple
{
    enum class Kind : quint8
    {
        Type,
        Universal,
        Id,
        Class,
        Attribute,
        Root,
        Nth,
        Empty,
        Has,
        Contains,
        Not,
        Is
    };
    enum class Operator : quint8
    {
        Exists,
        Equals,
        Includes,
        DashMatch,
        Prefix,
        Suffix,
        Substring
    };
    Kind kind = Kind::Universal;
    Operator op = Operator::Exists;
    bool caseInsensitive = false;
    bool last = false, ofType = false; // Nth: counted from the end, among its type
    int a = 0, b = 0;                  // Nth: An+B
    int id = -1;                // Nth with "of S": its counter; Has: unused; Contains: first needle
    QByteArray name;            // Type, Attribute (lower-cased)
    TagId tag = TagId::Unknown; // Type: tagId(name)
    QByteArray value;           // Id, Class, Attribute
    QList<int> args;            // complex selectors: Not, Is, Has, Nth's "of S"
    QList<QByteArray> needles;  // Contains
    QString text;               // as written, for messages
    int at = 0;                 // where, for messages
};

struct Compound
{
    QList<Simple> simples;
    int bit = -1;             // its place in an element's match bits
    bool atEnd = false;       // decided only at the element's end (:empty, :has(), :contains())
    bool atParentEnd = false; // decided only at its parent's end (:last-child, ...)
};

struct Complex
{
    QList<Compound> compounds;
    QList<Combinator> combinators;               // before compounds[1], compounds[2], ...
    Combinator leading = Combinator::Descendant; // a :has() argument's first combinator
};

struct Data
{
    QString text;
    QList<Complex> complexes; // every selector, nested ones first
    QList<int> top;           // the selectors of the list
    int bits = 0;
    int nthCounters = 0;
    int needles = 0;
    QList<int> hasArguments; // the complexes that are :has() arguments
};

} // namespace selector

// A parsed list of CSS selectors (Selectors Level 4 as far as a stream can
// decide them: see ElementTaker.h).
class SelectorList
{
public:
    static std::optional<SelectorList> parse(const QString &text, QString *problem);
    QString text() const { return d->text; }
    const selector::Data &data() const { return *d; }

private:
    std::shared_ptr<const selector::Data> d;
};

// What a matched element gives: one field of its record.
struct Take
{
    enum class Kind
    {
        Text,
        Raw,
        Html,
        Inner,
        Attribute
    };
    Kind kind = Kind::Text;
    QByteArray attribute; // for Attribute, lower-cased

    static std::optional<Take> parse(QStringView text, QString *problem);
    QString name() const;
};

} // namespace html
