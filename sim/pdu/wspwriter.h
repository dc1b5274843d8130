#ifndef WSPWRITER_H
#define WSPWRITER_H

#include <QByteArray>
#include <QString>

// Appends WSP primitive encodings to a byte array; the counterpart of
// WspReader.
class WspWriter
{
public:
    QByteArray data() const { return m_out; }
    int size() const { return m_out.size(); }

    void octet(quint8 v) { m_out.append(char(v)); }
    void bytes(const QByteArray &b) { m_out.append(b); }
    void uintvar(quint32 v);
    void valueLength(int len);
    void shortInteger(quint8 v) { octet(quint8(0x80 | (v & 0x7f))); }
    void longInteger(quint64 v);
    // Short-integer when it fits in seven bits, Long-integer otherwise.
    void integerValue(quint64 v);
    // Text-string: a Quote (127) before text whose first octet has the high
    // bit set, and the NUL terminator. Embedded NULs are cut: they would end
    // the string early on the other side.
    void textString(const QByteArray &text);
    void quotedString(const QByteArray &text);
    // Plain text-string for ASCII, charset-tagged UTF-8 otherwise.
    void encodedString(const QString &text);

    static QByteArray uintvarBytes(quint32 v);

private:
    QByteArray m_out;
};

#endif // WSPWRITER_H
