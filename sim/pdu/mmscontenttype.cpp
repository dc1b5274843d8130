#include "mmscontenttype.h"

#include "wspreader.h"
#include "wsptables.h"
#include "wspwriter.h"

MmsContentType::MmsContentType(const QByteArray &type)
    : mediaType(type)
{
}

QByteArray MmsContentType::param(const QByteArray &name) const
{
    for (const auto &p : params) {
        if (p.first == name)
            return p.second;
    }
    return QByteArray();
}

MmsContentType &MmsContentType::setParam(const QByteArray &name, const QByteArray &value)
{
    for (auto &p : params) {
        if (p.first == name) {
            p.second = value;
            return *this;
        }
    }
    params.append(qMakePair(name, value));
    return *this;
}

bool MmsContentType::isMultipart() const
{
    return mediaType.toLower().startsWith("application/vnd.wap.multipart.")
        || mediaType.toLower().startsWith("multipart/");
}

QByteArray MmsContentType::toString() const
{
    QByteArray out = mediaType;
    for (const auto &p : params)
        out += "; " + p.first + '=' + p.second;
    return out;
}

namespace {

QByteArray readMedia(WspReader &r)
{
    quint8 first = r.peek();
    if (first >= 0x80 || first <= 30) {
        quint64 code = r.integerValue();
        QByteArray name = Wsp::mediaTypeName(int(code));
        if (name.isEmpty())
            name = "application/x-wsp-" + QByteArray::number(code);
        return name;
    }
    return r.textString();
}

// Value of a parameter whose type this codec does not know: Integer-value or
// Text-value, kept as text.
QByteArray readUntypedValue(WspReader &r)
{
    quint8 first = r.peek();
    if (first >= 0x80 || first <= 30)
        return QByteArray::number(r.integerValue());
    if (first == 0) { // No-value
        r.octet();
        return QByteArray();
    }
    QByteArray t = r.textString();
    if (t.startsWith('"'))
        t.remove(0, 1);
    return t;
}

void readParam(WspReader &r, MmsContentType &ct)
{
    quint8 first = r.peek();
    if (first >= 0x80 || first <= 30) {
        quint64 token = r.integerValue();
        switch (token) {
        case Wsp::ParamCharset: {
            if (r.peek() == 0x80) { // Any-charset
                r.octet();
                ct.params.append(QPair<QByteArray, QByteArray>("charset", "*"));
            } else if (r.peek() >= 0x80 || r.peek() <= 30) {
                ct.params.append(QPair<QByteArray, QByteArray>(
                    "charset", Wsp::charsetName(int(r.integerValue())).toLatin1()));
            } else {
                ct.params.append(QPair<QByteArray, QByteArray>("charset", r.textString()));
            }
            return;
        }
        case Wsp::ParamRelatedType:
            ct.params.append(QPair<QByteArray, QByteArray>("type", readMedia(r)));
            return;
        case Wsp::ParamType:
            ct.params.append(QPair<QByteArray, QByteArray>("type", QByteArray::number(r.integerValue())));
            return;
        case Wsp::ParamStart:
        case Wsp::ParamStart14:
            ct.params.append(QPair<QByteArray, QByteArray>("start", readUntypedValue(r)));
            return;
        case Wsp::ParamStartInfo:
        case Wsp::ParamStartInfo14:
            ct.params.append(QPair<QByteArray, QByteArray>("start-info", readUntypedValue(r)));
            return;
        case Wsp::ParamName:
        case Wsp::ParamName14:
            ct.params.append(QPair<QByteArray, QByteArray>("name", readUntypedValue(r)));
            return;
        case Wsp::ParamFilename:
        case Wsp::ParamFilename14:
            ct.params.append(QPair<QByteArray, QByteArray>("filename", readUntypedValue(r)));
            return;
        default:
            ct.params.append(
                QPair<QByteArray, QByteArray>("param-" + QByteArray::number(token), readUntypedValue(r)));
            return;
        }
    }
    QByteArray name = r.textString();
    ct.params.append(QPair<QByteArray, QByteArray>(name.toLower(), readUntypedValue(r)));
}

} // namespace

MmsContentType MmsContentType::read(WspReader &r)
{
    MmsContentType ct;
    quint8 first = r.peek();
    if (!r.ok())
        return ct;
    if (first >= 0x80) {
        ct.mediaType = readMedia(r);
    } else if (first > 31) {
        ct.mediaType = r.textString();
    } else {
        int len = r.valueLength();
        int end = r.pos() + len;
        if (!r.ok())
            return MmsContentType();
        // The general form is bounded by its length: a parameter running past
        // it is malformed, not something to read from the following bytes.
        const int start = r.pos();
        QByteArray copy = r.bytes(len);
        WspReader inner(copy);
        ct.mediaType = readMedia(inner);
        while (inner.ok() && !inner.atEnd())
            readParam(inner, ct);
        if (!inner.ok() || r.pos() != end || start + len != end)
            r.fail();
    }
    if (!r.ok() || ct.mediaType.isEmpty())
        return MmsContentType();
    return ct;
}

void MmsContentType::write(WspWriter &w) const
{
    int code = Wsp::mediaTypeCode(mediaType);
    if (params.isEmpty()) {
        if (code >= 0)
            w.shortInteger(quint8(code));
        else
            w.textString(mediaType);
        return;
    }
    WspWriter inner;
    if (code >= 0)
        inner.shortInteger(quint8(code));
    else
        inner.textString(mediaType);
    for (const auto &p : params) {
        if (p.first == "charset") {
            int mib = Wsp::charsetMib(p.second);
            inner.shortInteger(Wsp::ParamCharset);
            if (p.second == "*")
                inner.octet(0x80);
            else if (mib >= 0)
                inner.integerValue(quint64(mib));
            else
                inner.textString(p.second);
        } else if (p.first == "type") {
            inner.shortInteger(Wsp::ParamRelatedType);
            int t = Wsp::mediaTypeCode(p.second);
            if (t >= 0)
                inner.shortInteger(quint8(t));
            else
                inner.textString(p.second);
        } else if (p.first == "start") {
            inner.shortInteger(Wsp::ParamStart);
            inner.textString(p.second);
        } else if (p.first == "start-info") {
            inner.shortInteger(Wsp::ParamStartInfo);
            inner.textString(p.second);
        } else if (p.first == "name") {
            inner.shortInteger(Wsp::ParamName);
            inner.textString(p.second);
        } else if (p.first == "filename") {
            inner.shortInteger(Wsp::ParamFilename);
            inner.textString(p.second);
        } else {
            inner.textString(p.first);
            inner.textString(p.second);
        }
    }
    w.valueLength(inner.size());
    w.bytes(inner.data());
}
