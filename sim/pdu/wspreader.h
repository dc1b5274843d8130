#ifndef WSPREADER_H
#define WSPREADER_H

#include <QByteArray>
#include <QString>

// Reads the WSP primitive encodings that MMS PDUs are made of. Every read is
// bounded by the end given at construction; a read past it, or an encoding
// that breaks its own rules, puts the reader into a failed state in which
// every further read returns an empty value. Callers check ok() once at the
// end of a structure instead of after every primitive.
class WspReader
{
public:
    explicit WspReader(const QByteArray &data, int begin = 0, int end = -1);

    bool ok() const { return m_ok; }
    bool atEnd() const { return !m_ok || m_pos >= m_end; }
    int pos() const { return m_pos; }
    int end() const { return m_end; }
    int remaining() const { return m_ok ? m_end - m_pos : 0; }
    void fail();

    quint8 peek();
    quint8 octet();
    QByteArray bytes(int count);
    quint32 uintvar();
    // Short-length (0-30) or Length-quote + uintvar; checked against what is left.
    int valueLength();
    quint64 longInteger();
    quint64 integerValue();
    quint8 shortInteger();
    // Text-string up to its NUL, with a leading Quote (127) removed.
    QByteArray textString();
    // Text of an Encoded-string-value, decoded by its charset.
    QString encodedString();
    // The raw bytes of one header value, whatever its type: used to skip or to
    // keep fields this codec has no typed view of.
    QByteArray rawValue();

private:
    QByteArray m_data; // shared, so a reader may outlive the array it was given
    int m_pos;
    int m_end;
    bool m_ok = true;
};

#endif // WSPREADER_H
