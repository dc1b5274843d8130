#include "wspreader.h"

#include "wsptables.h"

WspReader::WspReader(const QByteArray &data, int begin, int end)
    : m_data(data)
    , m_pos(begin)
    , m_end(end < 0 ? data.size() : end)
{
    if (m_pos < 0 || m_end > data.size() || m_pos > m_end)
        fail();
}

void WspReader::fail()
{
    m_ok = false;
    m_pos = m_end;
}

quint8 WspReader::peek()
{
    if (atEnd()) {
        fail();
        return 0;
    }
    return quint8(m_data.at(m_pos));
}

quint8 WspReader::octet()
{
    quint8 v = peek();
    if (m_ok)
        ++m_pos;
    return v;
}

QByteArray WspReader::bytes(int count)
{
    if (!m_ok || count < 0 || count > m_end - m_pos) {
        fail();
        return QByteArray();
    }
    QByteArray out = m_data.mid(m_pos, count);
    m_pos += count;
    return out;
}

quint32 WspReader::uintvar()
{
    // At most five octets carry 32 bits; a sixth continuation is malformed.
    quint64 v = 0;
    for (int i = 0; i < 5; ++i) {
        quint8 o = octet();
        if (!m_ok)
            return 0;
        v = (v << 7) | (o & 0x7f);
        if (!(o & 0x80)) {
            if (v > 0xffffffffu) {
                fail();
                return 0;
            }
            return quint32(v);
        }
    }
    fail();
    return 0;
}

int WspReader::valueLength()
{
    quint8 o = octet();
    quint32 len = o;
    if (o == 31)
        len = uintvar();
    else if (o > 31)
        fail();
    if (!m_ok || len > quint32(m_end - m_pos)) {
        fail();
        return 0;
    }
    return int(len);
}

quint64 WspReader::longInteger()
{
    quint8 n = octet();
    if (n == 0 || n > 8) { // longer values cannot be held and do not occur in MMS
        fail();
        return 0;
    }
    QByteArray b = bytes(n);
    quint64 v = 0;
    for (char c : b)
        v = (v << 8) | quint8(c);
    return v;
}

quint8 WspReader::shortInteger()
{
    quint8 o = octet();
    if (!(o & 0x80)) {
        fail();
        return 0;
    }
    return o & 0x7f;
}

quint64 WspReader::integerValue()
{
    if (peek() & 0x80)
        return shortInteger();
    return longInteger();
}

QByteArray WspReader::textString()
{
    if (!m_ok)
        return QByteArray();
    int nul = m_data.indexOf('\0', m_pos);
    if (nul < 0 || nul >= m_end) {
        fail();
        return QByteArray();
    }
    QByteArray out = m_data.mid(m_pos, nul - m_pos);
    m_pos = nul + 1;
    if (out.startsWith('\x7f'))
        out.remove(0, 1);
    return out;
}

QString WspReader::encodedString()
{
    quint8 first = peek();
    if (!m_ok)
        return QString();
    if (first > 31)
        return QString::fromUtf8(textString());
    int len = valueLength();
    WspReader inner(m_data, m_pos, m_pos + len);
    m_pos += len;
    quint64 charset = 0;
    if (inner.peek() == 0x80) // Any-charset
        inner.octet();
    else
        charset = inner.integerValue();
    QByteArray text = inner.textString();
    if (!inner.ok() || !m_ok) {
        fail();
        return QString();
    }
    return Wsp::decodeText(text, int(charset));
}

QByteArray WspReader::rawValue()
{
    int start = m_pos;
    quint8 first = peek();
    if (!m_ok)
        return QByteArray();
    if (first >= 0x80) {
        octet();
    } else if (first <= 31) {
        int len = valueLength();
        bytes(len);
    } else {
        textString();
    }
    if (!m_ok)
        return QByteArray();
    return m_data.mid(start, m_pos - start);
}
