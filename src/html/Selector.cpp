#include "html/Selector.h"

#include <QRegularExpression>

namespace html {

using namespace selector;

namespace {

// Tag and attribute names are lower-cased as the tokenizer does: ASCII only.
QByteArray lowerAscii(const QString &s)
{
    QByteArray out = s.toUtf8();
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z')
            c = char(c | 0x20);
    }
    return out;
}

class Parser
{
public:
    explicit Parser(const QString &text) : m_text(text) { m_data.text = text; }

    std::optional<Data> run(QString *problem)
    {
        m_data.top = list(false);
        if (m_problem.isEmpty() && m_pos < m_text.size())
            fail(QStringLiteral("unexpected \"%1\"").arg(m_text[m_pos]), m_pos);
        if (m_problem.isEmpty())
            validateTop();
        if (!m_problem.isEmpty()) {
            if (problem)
                *problem = m_problem;
            return std::nullopt;
        }
        assignBits();
        return std::move(m_data);
    }

private:
    // ---- messages ------------------------------------------------------------
    QString where(int at) const
    {
        return at >= m_text.size() ? QStringLiteral("at its end")
                                   : QStringLiteral("at character %1").arg(at + 1);
    }
    void fail(const QString &what, int at)
    {
        if (m_problem.isEmpty())
            m_problem = QStringLiteral("The selector \"%1\" is not valid: %2 (%3).")
                            .arg(m_text, what, where(at));
    }
    void refuse(const QString &what, int at, const QString &why = {})
    {
        if (m_problem.isEmpty())
            m_problem = QStringLiteral("The selector \"%1\" is not supported: \"%2\"%3 (%4).")
                            .arg(m_text, what, why.isEmpty() ? QString() : u' ' + why, where(at));
    }
    bool failed() const { return !m_problem.isEmpty(); }

    // ---- characters ------------------------------------------------------------
    QChar peek(int ahead = 0) const
    {
        return m_pos + ahead < m_text.size() ? m_text[m_pos + ahead] : QChar();
    }
    static bool isSpace(QChar c)
    {
        return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f';
    }
    bool skipSpace()
    {
        const int from = m_pos;
        while (m_pos < m_text.size() && isSpace(m_text[m_pos]))
            ++m_pos;
        return m_pos > from;
    }
    static bool isNameStart(QChar c) { return c.isLetter() || c == u'_' || c.unicode() >= 0x80; }
    static bool isNameChar(QChar c) { return isNameStart(c) || c.isDigit() || c == u'-'; }
    bool atIdent() const
    {
        const QChar c = peek();
        if (isNameStart(c) || c == u'\\')
            return true;
        return c == u'-' && (isNameStart(peek(1)) || peek(1) == u'-' || peek(1) == u'\\');
    }

    static bool isHexDigit(QChar c)
    {
        const char16_t u = c.toLower().unicode();
        return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f');
    }

    QString escape()
    {
        ++m_pos; // the backslash
        if (m_pos >= m_text.size())
            return QStringLiteral("\uFFFD");
        int digits = 0;
        uint code = 0;
        while (digits < 6 && m_pos < m_text.size() && isHexDigit(m_text[m_pos])) {
            code = code * 16 + uint(QString(m_text[m_pos]).toUInt(nullptr, 16));
            ++m_pos;
            ++digits;
        }
        if (digits == 0)
            return QString(m_text[m_pos++]);
        if (m_pos < m_text.size() && isSpace(m_text[m_pos]))
            ++m_pos;
        if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            code = 0xFFFD;
        const char32_t c = code;
        return QString::fromUcs4(&c, 1);
    }

    QString ident()
    {
        QString out;
        while (m_pos < m_text.size()) {
            const QChar c = m_text[m_pos];
            if (c == u'\\')
                out += escape();
            else if (isNameChar(c))
                out += c, ++m_pos;
            else
                break;
        }
        return out;
    }

    QString string()
    {
        const QChar quote = m_text[m_pos++];
        QString out;
        while (m_pos < m_text.size() && m_text[m_pos] != quote) {
            if (m_text[m_pos] == u'\\') {
                if (peek(1) == u'\n') {
                    m_pos += 2;
                    continue;
                }
                out += escape();
            } else {
                out += m_text[m_pos++];
            }
        }
        if (m_pos >= m_text.size()) {
            fail(QStringLiteral("a string without its closing quote"), m_pos);
            return out;
        }
        ++m_pos;
        return out;
    }

    // ---- grammar -----------------------------------------------------------------
    QList<int> list(bool relative)
    {
        QList<int> out;
        for (;;) {
            skipSpace();
            const int c = complex(relative);
            if (failed())
                return out;
            out.append(c);
            skipSpace();
            if (peek() != u',')
                return out;
            ++m_pos;
        }
    }

    bool atCombinator() const
    {
        const QChar c = peek();
        return c == u'>' || c == u'+' || c == u'~';
    }

    Combinator combinator()
    {
        const QChar c = m_text[m_pos++];
        return c == u'>'   ? Combinator::Child
               : c == u'+' ? Combinator::Adjacent
                           : Combinator::Sibling;
    }

    int complex(bool relative)
    {
        Complex out;
        if (relative && atCombinator()) {
            const int at = m_pos;
            out.leading = combinator();
            if (out.leading != Combinator::Child)
                refuse(m_text.mid(at, 1), at, QStringLiteral("inside :has()"));
            skipSpace();
        }
        out.compounds.append(compound());
        while (!failed()) {
            const bool space = skipSpace();
            const QChar c = peek();
            if (c.isNull() || c == u',' || c == u')')
                break;
            Combinator next = Combinator::Descendant;
            if (atCombinator()) {
                next = combinator();
                skipSpace();
            } else if (!space) {
                break;
            }
            out.combinators.append(next);
            out.compounds.append(compound());
        }
        m_data.complexes.append(std::move(out));
        return int(m_data.complexes.size()) - 1;
    }

    Compound compound()
    {
        Compound out;
        const int start = m_pos;
        if (peek() == u'*') {
            ++m_pos;
            Simple s;
            s.kind = Simple::Kind::Universal;
            out.simples.append(s);
        } else if (atIdent()) {
            Simple s;
            s.kind = Simple::Kind::Type;
            s.at = m_pos;
            s.name = lowerAscii(ident());
            s.tag = tagId(s.name);
            out.simples.append(s);
        }
        if (peek() == u'|') {
            refuse(QStringLiteral("|"), m_pos, QStringLiteral("(namespaces)"));
            return out;
        }
        while (!failed()) {
            const QChar c = peek();
            const int at = m_pos;
            if (c == u'#' || c == u'.') {
                ++m_pos;
                if (!atIdent() && !(c == u'#' && isNameChar(peek()))) {
                    fail(QStringLiteral("a name was expected after \"%1\"").arg(c), m_pos);
                    break;
                }
                Simple s;
                s.kind = c == u'#' ? Simple::Kind::Id : Simple::Kind::Class;
                s.at = at;
                s.value = ident().toUtf8();
                out.simples.append(s);
            } else if (c == u'[') {
                out.simples.append(attribute());
            } else if (c == u':') {
                out.simples.append(pseudo());
            } else {
                break;
            }
        }
        if (!failed() && out.simples.isEmpty())
            fail(m_pos >= m_text.size() ? QStringLiteral("a selector was expected")
                                        : QStringLiteral("unexpected \"%1\"").arg(peek()),
                 start);
        for (const Simple &s : out.simples) {
            out.atEnd = out.atEnd || decidedAtEnd(s);
            out.atParentEnd = out.atParentEnd || decidedAtParentEnd(s);
        }
        return out;
    }

    Simple attribute()
    {
        Simple s;
        s.kind = Simple::Kind::Attribute;
        s.at = m_pos;
        ++m_pos;
        skipSpace();
        if (!atIdent()) {
            fail(QStringLiteral("an attribute name was expected"), m_pos);
            return s;
        }
        s.name = lowerAscii(ident());
        skipSpace();
        if (peek() == u'|' && peek(1) != u'=') {
            refuse(QStringLiteral("|"), m_pos, QStringLiteral("(namespaces)"));
            return s;
        }
        static const std::pair<const char16_t *, Simple::Operator> operators[] = {
            {u"=", Simple::Operator::Equals},     {u"~=", Simple::Operator::Includes},
            {u"|=", Simple::Operator::DashMatch}, {u"^=", Simple::Operator::Prefix},
            {u"$=", Simple::Operator::Suffix},    {u"*=", Simple::Operator::Substring}};
        if (peek() != u']') {
            bool found = false;
            for (const auto &[text, op] : operators) {
                const QStringView view(text);
                if (QStringView(m_text).mid(m_pos).startsWith(view)) {
                    s.op = op;
                    m_pos += int(view.size());
                    found = true;
                    break;
                }
            }
            if (!found) {
                fail(QStringLiteral("an operator or \"]\" was expected"), m_pos);
                return s;
            }
            skipSpace();
            if (peek() == u'"' || peek() == u'\'') {
                s.value = string().toUtf8();
            } else if (atIdent()) {
                s.value = ident().toUtf8();
            } else {
                fail(QStringLiteral("a value was expected"), m_pos);
                return s;
            }
            skipSpace();
            if (atIdent()) {
                const int at = m_pos;
                const QString flag = ident().toLower();
                if (flag == u"i")
                    s.caseInsensitive = true;
                else if (flag != u"s")
                    fail(QStringLiteral("\"%1\" is no attribute flag").arg(flag), at);
                skipSpace();
            }
        }
        if (peek() != u']') {
            fail(QStringLiteral("\"]\" was expected"), m_pos);
            return s;
        }
        ++m_pos;
        return s;
    }

    Simple pseudo()
    {
        Simple s;
        s.at = m_pos;
        ++m_pos;
        if (peek() == u':') {
            ++m_pos;
            const QString name = ident();
            refuse(QStringLiteral("::") + name, s.at);
            return s;
        }
        if (!atIdent()) {
            fail(QStringLiteral("a pseudo-class name was expected"), m_pos);
            return s;
        }
        const QString name = ident().toLower();
        s.text = u':' + name;
        const bool function = peek() == u'(';
        auto nth = [&](int a, int b, bool last, bool ofType) {
            s.kind = Simple::Kind::Nth;
            s.a = a;
            s.b = b;
            s.last = last;
            s.ofType = ofType;
        };
        if (!function) {
            if (name == u"root")
                s.kind = Simple::Kind::Root;
            else if (name == u"empty")
                s.kind = Simple::Kind::Empty;
            else if (name == u"first-child")
                nth(0, 1, false, false);
            else if (name == u"last-child")
                nth(0, 1, true, false);
            else if (name == u"first-of-type")
                nth(0, 1, false, true);
            else if (name == u"last-of-type")
                nth(0, 1, true, true);
            else if (name == u"only-child" || name == u"only-of-type") {
                // Both first and last: an :is() of the two.
                s.kind = Simple::Kind::Is;
                Simple first, last;
                first.kind = last.kind = Simple::Kind::Nth;
                first.b = last.b = 1;
                first.ofType = last.ofType = name == u"only-of-type";
                last.last = true;
                first.text = last.text = s.text;
                first.at = last.at = s.at;
                Complex both;
                Compound c;
                c.simples = {first, last};
                c.atParentEnd = true;
                both.compounds.append(c);
                m_data.complexes.append(both);
                s.args = {int(m_data.complexes.size()) - 1};
            } else {
                refuse(s.text, s.at);
            }
            return s;
        }
        ++m_pos; // (
        skipSpace();
        if (name == u"not" || name == u"is" || name == u"where" || name == u"has") {
            s.kind = name == u"not"   ? Simple::Kind::Not
                     : name == u"has" ? Simple::Kind::Has
                                      : Simple::Kind::Is;
            s.args = list(s.kind == Simple::Kind::Has);
        } else if (name == u"nth-child" || name == u"nth-last-child" || name == u"nth-of-type" ||
                   name == u"nth-last-of-type") {
            nth(0, 0, name.contains(u"last"), name.endsWith(u"of-type"));
            anPlusB(s);
            skipSpace();
            if (!failed() && !s.ofType && atIdent()) {
                const int at = m_pos;
                if (ident().toLower() != u"of") {
                    fail(QStringLiteral("\"of\" or \")\" was expected"), at);
                    return s;
                }
                s.args = list(false);
                s.id = m_data.nthCounters++;
            }
        } else if (name == u"contains" || name == u"-soup-contains") {
            s.kind = Simple::Kind::Contains;
            for (;;) {
                skipSpace();
                if (peek() == u'"' || peek() == u'\'')
                    s.needles.append(string().toUtf8());
                else if (atIdent())
                    s.needles.append(ident().toUtf8());
                else
                    fail(QStringLiteral("a string was expected"), m_pos);
                skipSpace();
                if (failed() || peek() != u',')
                    break;
                ++m_pos;
            }
            s.id = m_data.needles;
            m_data.needles += int(s.needles.size());
        } else {
            refuse(s.text, s.at);
            return s;
        }
        skipSpace();
        if (!failed() && peek() != u')')
            fail(QStringLiteral("\")\" was expected"), m_pos);
        else if (!failed())
            ++m_pos;
        return s;
    }

    void anPlusB(Simple &s)
    {
        // The argument up to ")" or " of", without white space inside signs.
        const int start = m_pos;
        QString arg;
        while (m_pos < m_text.size() && m_text[m_pos] != u')') {
            if (isSpace(m_text[m_pos])) {
                const int save = m_pos;
                skipSpace();
                if (peek().toLower() == u'o' && peek(1).toLower() == u'f') {
                    m_pos = save;
                    break;
                }
                continue;
            }
            arg += m_text[m_pos++].toLower();
        }
        if (arg == u"odd") {
            s.a = 2, s.b = 1;
            return;
        }
        if (arg == u"even") {
            s.a = 2, s.b = 0;
            return;
        }
        static const QRegularExpression grammar(
            QStringLiteral("^(?:([+-]?\\d*)n(?:([+-]\\d+))?|([+-]?\\d+))$"));
        const QRegularExpressionMatch match = grammar.match(arg);
        if (!match.hasMatch()) {
            fail(QStringLiteral("An+B was expected"), start);
            return;
        }
        if (match.capturedLength(3)) {
            s.a = 0;
            s.b = match.captured(3).toInt();
            return;
        }
        const QString a = match.captured(1);
        s.a = a.isEmpty() || a == u"+" ? 1 : a == u"-" ? -1 : a.toInt();
        s.b = match.captured(2).toInt();
    }

    // ---- what a stream can decide ---------------------------------------------------
    bool decidedAtEnd(const Simple &s) const
    {
        if (s.kind == Simple::Kind::Empty || s.kind == Simple::Kind::Has ||
            s.kind == Simple::Kind::Contains)
            return true;
        if (s.kind == Simple::Kind::Not || s.kind == Simple::Kind::Is) {
            for (int arg : s.args) {
                for (const Compound &c : m_data.complexes[arg].compounds) {
                    if (c.atEnd)
                        return true;
                }
            }
        }
        return false;
    }

    bool decidedAtParentEnd(const Simple &s) const
    {
        if (s.kind == Simple::Kind::Nth && s.last)
            return true;
        if (s.kind == Simple::Kind::Not || s.kind == Simple::Kind::Is) {
            for (int arg : s.args) {
                for (const Compound &c : m_data.complexes[arg].compounds) {
                    if (c.atParentEnd)
                        return true;
                }
            }
        }
        return false;
    }

    // The first simple selector in a compound that waits for an end.
    const Simple *waiting(const Compound &c) const
    {
        for (const Simple &s : c.simples) {
            if (decidedAtEnd(s) || decidedAtParentEnd(s))
                return &s;
        }
        return nullptr;
    }

    // Only the element a selector takes may wait for its end or its parent's;
    // inside :not() and :is() only without combinators; never inside :has()
    // or "of S".
    void validateTop()
    {
        for (int top : m_data.top)
            validate(top, true, QString());
    }

    void validate(int index, bool subjectAllowed, const QString &inside)
    {
        const Complex &complex = m_data.complexes[index];
        for (qsizetype i = 0; i < complex.compounds.size() && !failed(); ++i) {
            const Compound &c = complex.compounds[i];
            const bool subject = subjectAllowed && i + 1 == complex.compounds.size() &&
                                 (inside.isEmpty() || complex.compounds.size() == 1);
            if (const Simple *s = waiting(c); s && !subject) {
                const Simple &shown = innermostWaiting(*s);
                refuse(shown.text, shown.at,
                       inside.isEmpty() ? QStringLiteral("before a combinator")
                                        : QStringLiteral("inside %1").arg(inside));
                return;
            }
            for (const Simple &s : c.simples) {
                if (s.kind == Simple::Kind::Has) {
                    for (int arg : s.args)
                        validate(arg, false, QStringLiteral(":has()"));
                } else if (s.kind == Simple::Kind::Nth && !s.args.isEmpty()) {
                    for (int arg : s.args)
                        validate(arg, false, QStringLiteral("\"of\""));
                } else if (s.kind == Simple::Kind::Not || s.kind == Simple::Kind::Is) {
                    for (int arg : s.args)
                        validate(arg, subject,
                                 inside.isEmpty() ? s.text + QStringLiteral("()") : inside);
                }
            }
        }
    }

    const Simple &innermostWaiting(const Simple &s) const
    {
        if (s.kind == Simple::Kind::Not || s.kind == Simple::Kind::Is) {
            for (int arg : s.args) {
                for (const Compound &c : m_data.complexes[arg].compounds) {
                    if (const Simple *inner = waiting(c))
                        return innermostWaiting(*inner);
                }
            }
        }
        return s;
    }

    // Nested selectors get their bits before the compounds that use them.
    void assignBits()
    {
        QList<bool> done(m_data.complexes.size(), false);
        for (int top : m_data.top)
            assign(top, done);
    }

    void assign(int index, QList<bool> &done)
    {
        if (done[index])
            return;
        done[index] = true;
        for (Compound &c : m_data.complexes[index].compounds) {
            for (const Simple &s : c.simples) {
                for (int arg : s.args) {
                    assign(arg, done);
                    if (s.kind == Simple::Kind::Has && !m_data.hasArguments.contains(arg))
                        m_data.hasArguments.append(arg);
                }
            }
            c.bit = m_data.bits++;
        }
    }

    const QString &m_text;
    int m_pos = 0;
    QString m_problem;
    Data m_data;
};

} // namespace

std::optional<SelectorList> SelectorList::parse(const QString &text, QString *problem)
{
    std::optional<Data> data = Parser(text).run(problem);
    if (!data)
        return std::nullopt;
    SelectorList out;
    out.d = std::make_shared<const Data>(std::move(*data));
    return out;
}

namespace {

// As the tokenizer reads a name: white space, "/" and ">" end it, and so does
// "=" after its first character. A name holding them would match nothing.
bool canBeAttributeName(QStringView name)
{
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        if (QStringView(u" \t\n\f\r/>").contains(c) || c.isNull() || (c == u'=' && i > 0))
            return false;
    }
    return true;
}

} // namespace

std::optional<Take> Take::parse(QStringView text, QString *problem)
{
    Take take;
    const QStringView trimmed = text.trimmed();
    const QString lower = trimmed.toString().toLower();
    const auto refuse = [problem](const QString &why) {
        if (problem)
            *problem = why;
        return std::nullopt;
    };
    if (lower == u"text")
        take.kind = Kind::Text;
    else if (lower == u"raw")
        take.kind = Kind::Raw;
    else if (lower == u"html")
        take.kind = Kind::Html;
    else if (lower == u"inner")
        take.kind = Kind::Inner;
    else if (lower.startsWith(u"attr:")) {
        // The window's name box gives "attr:" and whatever was typed there.
        const QString name = trimmed.sliced(5).trimmed().toString();
        if (name.isEmpty())
            return refuse(QStringLiteral("Fill out the name of the attribute to take."));
        if (!canBeAttributeName(name))
            return refuse(QStringLiteral("The take \"%1\" is not valid: no attribute is named "
                                         "\"%2\".")
                              .arg(text, name));
        take.kind = Kind::Attribute;
        take.attribute = lowerAscii(name);
    } else {
        return refuse(QStringLiteral("The take \"%1\" is not valid: use text, raw, html, inner "
                                     "or attr:NAME.")
                          .arg(text));
    }
    return take;
}

QString Take::name() const
{
    switch (kind) {
    case Kind::Text:
        return QStringLiteral("text");
    case Kind::Raw:
        return QStringLiteral("raw");
    case Kind::Html:
        return QStringLiteral("html");
    case Kind::Inner:
        return QStringLiteral("inner");
    case Kind::Attribute:
        return QStringLiteral("attr:") + QString::fromUtf8(attribute);
    }
    return {};
}

} // namespace html
