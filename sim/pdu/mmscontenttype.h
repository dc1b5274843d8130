#ifndef MMSCONTENTTYPE_H
#define MMSCONTENTTYPE_H

#include <QByteArray>
#include <QList>
#include <QPair>

class WspReader;
class WspWriter;

// A Content-type-value: the media type and its parameters, with the
// well-known parameters under their lower-case names ("charset", "type",
// "start", "name", "filename") and the charset as its name ("utf-8").
class MmsContentType
{
public:
    MmsContentType() = default;
    explicit MmsContentType(const QByteArray &mediaType);

    QByteArray mediaType;
    QList<QPair<QByteArray, QByteArray>> params;

    QByteArray param(const QByteArray &name) const;
    MmsContentType &setParam(const QByteArray &name, const QByteArray &value);
    bool isMultipart() const;
    bool isValid() const { return !mediaType.isEmpty(); }
    // "image/png; name=x.png" for people to read.
    QByteArray toString() const;

    static MmsContentType read(WspReader &r);
    void write(WspWriter &w) const;
};

#endif // MMSCONTENTTYPE_H
