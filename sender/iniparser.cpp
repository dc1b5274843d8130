#include "iniparser_p.h"

#include <QMap>
#include <QStringList>

#include <cctype>

// The rules below are QSettings' own (quoting, escapes, lists, %-escaped
// keys, comments, line continuations), so a file keeps meaning what it meant
// when QSettings read it.

namespace {

enum Trait { Space = 1, Special = 2 };

int traits(char c)
{
    switch (c) {
    case '\n':
    case '\r':
        return Space | Special;
    case '\t':
    case ' ':
        return Space;
    case '"':
    case ';':
    case '=':
    case '\\':
        return Special;
    default:
        return 0;
    }
}

// Finds the next logical line from `pos`: blank lines and comment lines are
// skipped; quotes may span line ends; an unquoted ';' ends the line. Sets the
// line's start, length and first unquoted '=' (-1: none); false at the end.
bool readLine(const QByteArray &data, int &pos, int &start, int &length, int &equals)
{
    const int size = data.size();
    bool inQuotes = false;
    equals = -1;
    start = pos;
    while (start < size && (traits(data.at(start)) & Space))
        ++start;

    int i = start;
    while (i < size) {
        char ch = data.at(i);
        while (!(traits(ch) & Special)) {
            if (++i == size)
                goto end;
            ch = data.at(i);
        }
        ++i;
        if (ch == '=') {
            if (!inQuotes && equals == -1)
                equals = i - 1;
        } else if (ch == '\n' || ch == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!inQuotes) {
                --i;
                goto end;
            }
        } else if (ch == '\\') {
            if (i < size) {
                const char escaped = data.at(i++);
                if (i < size) {
                    const char next = data.at(i);
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
        } else { // ';'
            if (i == start + 1) {
                while (i < size && (ch = data.at(i)) != '\n' && ch != '\r')
                    ++i;
                while (i < size && (traits(data.at(i)) & Space))
                    ++i;
                start = i;
            } else if (!inQuotes) {
                --i;
                goto end;
            }
        }
    }
end:
    length = i - start;
    pos = i;
    return length > 0;
}

// Key text: '\' stands for '/', %XX and %UXXXX for one character.
void unescapeKey(const QByteArray &key, int from, int to, QString &result)
{
    int i = from;
    while (i < to) {
        int ch = uchar(key.at(i));
        if (ch == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (ch != '%' || i == to - 1) {
            result += QLatin1Char(char(ch));
            ++i;
            continue;
        }
        int digits = 2;
        int first = i + 1;
        if (key.at(i + 1) == 'U') {
            ++first;
            digits = 4;
        }
        if (first + digits > to) {
            result += QLatin1Char('%');
            ++i;
            continue;
        }
        bool ok = false;
        ch = key.mid(first, digits).toInt(&ok, 16);
        if (!ok) {
            result += QLatin1Char('%');
            ++i;
            continue;
        }
        result += QChar(ch);
        i = first + digits;
    }
}

void chopTrailingBlanks(QString &s, int limit)
{
    int n = s.size() - 1;
    while (n >= limit && (s.at(n) == QLatin1Char(' ') || s.at(n) == QLatin1Char('\t')))
        s.truncate(n--);
}

QString decode(const char *bytes, int size, bool utf8)
{
    return utf8 ? QString::fromUtf8(bytes, size) : QString::fromLatin1(bytes, size);
}

// A value's text with its quotes and C-style escapes resolved; true when
// unquoted commas made it a list (then in `list`).
bool unescapeValue(const QByteArray &data, int from, int to, bool utf8, QString &text, QStringList &list)
{
    static const char escapes[][2]
        = { { 'a', '\a' }, { 'b', '\b' }, { 'f', '\f' }, { 'n', '\n' }, { 'r', '\r' }, { 't', '\t' },
              { 'v', '\v' }, { '"', '"' }, { '?', '?' }, { '\'', '\'' }, { '\\', '\\' } };
    bool isList = false;
    bool inQuotes = false;
    bool quoted = false;
    int i = from;
    bool skipBlanks = true;
    int chopLimit = 0;

    for (;;) {
        if (skipBlanks) {
            while (i < to && (data.at(i) == ' ' || data.at(i) == '\t'))
                ++i;
            skipBlanks = false;
        }
        chopLimit = text.size();
        bool restart = false;
        while (i < to && !restart) {
            const char c = data.at(i);
            if (c == '\\') {
                if (++i >= to)
                    goto end;
                const char e = data.at(i++);
                for (const auto &escape : escapes) {
                    if (e == escape[0]) {
                        text += QLatin1Char(escape[1]);
                        restart = true;
                        break;
                    }
                }
                if (restart)
                    break;
                const bool hex = e == 'x' && i < to && isxdigit(uchar(data.at(i)));
                if (hex || (e >= '0' && e <= '7')) {
                    // Digits of one base for as long as they come; the
                    // character is the low 16 bits.
                    quint32 value = hex ? 0 : quint32(e - '0');
                    while (i < to) {
                        const char d = data.at(i);
                        int digit = -1;
                        if (hex && isxdigit(uchar(d)))
                            digit = d <= '9' ? d - '0' : (d | 0x20) - 'a' + 10;
                        else if (!hex && d >= '0' && d <= '7')
                            digit = d - '0';
                        if (digit < 0)
                            break;
                        value = (value << (hex ? 4 : 3)) + quint32(digit);
                        ++i;
                    }
                    text += QChar(ushort(value));
                    if (i >= to)
                        goto end;
                    restart = true;
                    break;
                }
                if (e == 'x' && i >= to)
                    goto end;
                if ((e == '\n' || e == '\r') && i < to) {
                    const char next = data.at(i);
                    if ((next == '\n' || next == '\r') && next != e)
                        ++i;
                }
                chopLimit = text.size();
            } else if (c == '"') {
                ++i;
                quoted = true;
                inQuotes = !inQuotes;
                if (!inQuotes) {
                    skipBlanks = true;
                    restart = true;
                }
            } else if (c == ',' && !inQuotes) {
                if (!quoted)
                    chopTrailingBlanks(text, chopLimit);
                if (!isList) {
                    isList = true;
                    list.clear();
                }
                list.append(text);
                text.clear();
                quoted = false;
                ++i;
                skipBlanks = true;
                restart = true;
            } else {
                int j = i + 1;
                while (j < to && data.at(j) != '\\' && data.at(j) != '"' && data.at(j) != ',')
                    ++j;
                text += decode(data.constData() + i, j - i, utf8);
                i = j;
            }
        }
        if (!restart) {
            if (!quoted)
                chopTrailingBlanks(text, chopLimit);
            break;
        }
    }
end:
    if (isList)
        list.append(text);
    return isList;
}

QVariant toVariant(const QString &s)
{
    if (s.startsWith(QLatin1Char('@'))) {
        if (s.endsWith(QLatin1Char(')'))) {
            if (s.startsWith(QLatin1String("@ByteArray(")))
                return QVariant(QStringView(s).mid(11, s.size() - 12).toLatin1());
            if (s == QLatin1String("@Invalid()"))
                return QVariant();
            for (const char *type : { "@Variant(", "@DateTime(", "@Rect(", "@Size(", "@Point(" }) {
                if (s.startsWith(QLatin1String(type)))
                    return QVariant();
            }
        }
        if (s.startsWith(QLatin1String("@@")))
            return QVariant(s.mid(1));
    }
    return QVariant(s);
}

// A list stays a list of strings ("@@" read as "@") unless one item is a
// stored type; then every item, as written, is read as a value of its own.
QVariant listToVariant(const QStringList &list)
{
    QStringList strings = list;
    for (QString &s : strings) {
        if (!s.startsWith(QLatin1Char('@')))
            continue;
        if (s.size() >= 2 && s.at(1) == QLatin1Char('@')) {
            s.remove(0, 1);
            continue;
        }
        QVariantList variants;
        for (const QString &item : list)
            variants.append(toVariant(item));
        return variants;
    }
    return strings;
}

} // namespace

QVariantMap parseIniSettings(const QByteArray &data, QStringList *order)
{
    // Lines are gathered by group first (a group may appear more than once)
    // and the groups read in the order of their names.
    QMap<QString, QByteArray> groups;
    const bool utf8 = data.startsWith("\xef\xbb\xbf");
    int pos = utf8 ? 3 : 0;
    QString group;
    int groupStart = pos;
    int start = 0, length = 0, equals = 0;
    auto flush = [&](int end) {
        QByteArray &lines = groups[group];
        if (!lines.isEmpty())
            lines.append('\n');
        lines += data.mid(groupStart, end - groupStart);
    };
    while (readLine(data, pos, start, length, equals)) {
        if (data.at(start) != '[')
            continue;
        flush(start);
        const int close = data.indexOf(']', start);
        QByteArray name = (close == -1 || close >= start + length) ? data.mid(start + 1, length - 1)
                                                                   : data.mid(start + 1, close - start - 1);
        name = name.trimmed();
        group.clear();
        if (name.compare("general", Qt::CaseInsensitive) != 0) {
            if (name.compare("%general", Qt::CaseInsensitive) == 0)
                group = QString::fromLatin1(name.mid(1));
            else
                unescapeKey(name, 0, name.size(), group);
            group += QLatin1Char('/');
        }
        groupStart = pos;
    }
    flush(data.size());

    QVariantMap settings;
    for (auto g = groups.cbegin(); g != groups.cend(); ++g) {
        const QByteArray &lines = g.value();
        int linePos = 0;
        while (readLine(lines, linePos, start, length, equals)) {
            if (equals == -1)
                continue;
            int keyEnd = equals;
            while (keyEnd > start && (lines.at(keyEnd - 1) == ' ' || lines.at(keyEnd - 1) == '\t'))
                --keyEnd;
            QString key = g.key();
            unescapeKey(lines, start, keyEnd, key);
            QString text;
            QStringList list;
            const bool isList = unescapeValue(lines, equals + 1, start + length, utf8, text, list);
            if (order && !settings.contains(key))
                order->append(key);
            settings.insert(key, isList ? listToVariant(list) : toVariant(text));
        }
    }
    return settings;
}
