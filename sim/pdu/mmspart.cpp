#include "mmspart.h"

#include "wspreader.h"
#include "wsptables.h"
#include "wspwriter.h"

namespace {
bool failWith(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}
} // namespace

bool MmsPart::decodeMultipart(const QByteArray &body, QList<MmsPart> *parts, QString *error)
{
    WspReader r(body);
    quint32 count = r.uintvar();
    if (!r.ok())
        return failWith(error, QStringLiteral("multipart: missing entry count"));
    // Each entry takes at least three octets; a count beyond that is a lie
    // that must not size anything.
    if (count > quint32(r.remaining() / 3 + 1))
        return failWith(error, QStringLiteral("multipart: entry count %1 larger than the body").arg(count));
    QList<MmsPart> out;
    for (quint32 i = 0; i < count; ++i) {
        quint32 headersLen = r.uintvar();
        quint32 dataLen = r.uintvar();
        if (!r.ok() || headersLen > quint32(r.remaining())
            || dataLen > quint32(r.remaining() - int(headersLen)))
            return failWith(
                error, QStringLiteral("multipart: entry %1 runs past the end of the body").arg(i));
        QByteArray headers = r.bytes(int(headersLen));
        MmsPart part;
        part.data = r.bytes(int(dataLen));

        WspReader h(headers);
        part.contentType = MmsContentType::read(h);
        while (h.ok() && !h.atEnd()) {
            quint8 field = h.peek();
            if (field >= 0x80) {
                h.octet();
                switch (field & 0x7f) {
                case Wsp::PartContentLocation:
                    part.contentLocation = h.textString();
                    break;
                case Wsp::PartContentId: {
                    QByteArray id = h.textString();
                    if (id.startsWith('"'))
                        id.remove(0, 1);
                    part.contentId = id;
                    break;
                }
                default:
                    h.rawValue();
                    break;
                }
            } else if (field >= 32) {
                h.textString(); // application header: name, then text value
                h.textString();
            } else {
                h.fail();
            }
        }
        if (!h.ok() || !part.contentType.isValid())
            return failWith(error, QStringLiteral("multipart: entry %1 has malformed headers").arg(i));
        out.append(part);
    }
    if (!r.atEnd())
        return failWith(error, QStringLiteral("multipart: %1 bytes after the last entry").arg(r.remaining()));
    if (parts)
        *parts = out;
    return true;
}

QByteArray MmsPart::encodeMultipart(const QList<MmsPart> &parts)
{
    WspWriter w;
    w.uintvar(quint32(parts.size()));
    for (const MmsPart &p : parts) {
        WspWriter h;
        p.contentType.write(h);
        if (!p.contentLocation.isEmpty()) {
            h.shortInteger(Wsp::PartContentLocation);
            h.textString(p.contentLocation);
        }
        if (!p.contentId.isEmpty()) {
            h.shortInteger(Wsp::PartContentId);
            h.quotedString(p.contentId);
        }
        w.uintvar(quint32(h.size()));
        w.uintvar(quint32(p.data.size()));
        w.bytes(h.data());
        w.bytes(p.data);
    }
    return w.data();
}
