#ifndef MMSPART_H
#define MMSPART_H

#include <QByteArray>
#include <QList>
#include <QString>

#include "mmscontenttype.h"

// One entry of a WSP multipart body: its content type, the two part headers
// that MMS relies on, and its data.
class MmsPart
{
public:
    MmsContentType contentType;
    QByteArray contentLocation;
    QByteArray contentId; // without the angle brackets' quoting
    QByteArray data;

    // Parses a whole multipart body. Entry lengths must add up exactly: a body
    // with bytes left over or an entry running past the end is malformed.
    static bool decodeMultipart(const QByteArray &body, QList<MmsPart> *parts, QString *error = nullptr);
    static QByteArray encodeMultipart(const QList<MmsPart> &parts);
};

#endif // MMSPART_H
