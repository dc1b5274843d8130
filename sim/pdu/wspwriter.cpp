#include "wspwriter.h"

#include "wsptables.h"

QByteArray WspWriter::uintvarBytes(quint32 v)
{
    QByteArray out;
    out.prepend(char(v & 0x7f));
    v >>= 7;
    while (v) {
        out.prepend(char(0x80 | (v & 0x7f)));
        v >>= 7;
    }
    return out;
}

void WspWriter::uintvar(quint32 v)
{
    m_out.append(uintvarBytes(v));
}

void WspWriter::valueLength(int len)
{
    if (len <= 30) {
        octet(quint8(len));
    } else {
        octet(31);
        uintvar(quint32(len));
    }
}

void WspWriter::longInteger(quint64 v)
{
    QByteArray b;
    do {
        b.prepend(char(v & 0xff));
        v >>= 8;
    } while (v);
    octet(quint8(b.size()));
    m_out.append(b);
}

void WspWriter::integerValue(quint64 v)
{
    if (v < 0x80)
        shortInteger(quint8(v));
    else
        longInteger(v);
}

void WspWriter::textString(const QByteArray &text)
{
    QByteArray t = text.left(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0'));
    if (!t.isEmpty() && quint8(t.at(0)) >= 0x80)
        octet(0x7f);
    m_out.append(t);
    octet(0);
}

void WspWriter::quotedString(const QByteArray &text)
{
    QByteArray t = text.left(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0'));
    octet('"');
    m_out.append(t);
    octet(0);
}

void WspWriter::encodedString(const QString &text)
{
    QByteArray utf8 = text.toUtf8();
    bool ascii = true;
    for (char c : utf8)
        ascii = ascii && quint8(c) < 0x80;
    if (ascii) {
        textString(utf8);
        return;
    }
    WspWriter inner;
    inner.integerValue(Wsp::CharsetUtf8);
    inner.textString(utf8);
    valueLength(inner.size());
    m_out.append(inner.data());
}
