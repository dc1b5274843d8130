#include "wsptables.h"

#include <QtGlobal>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#else
#include <QStringDecoder>
#endif

namespace {
// WSP content-type assignments 0x00-0x3e.
const char *const kMediaTypes[] = {
    "*/*",
    "text/*",
    "text/html",
    "text/plain",
    "text/x-hdml",
    "text/x-ttml",
    "text/x-vCalendar",
    "text/x-vCard",
    "text/vnd.wap.wml",
    "text/vnd.wap.wmlscript",
    "text/vnd.wap.wta-event",
    "multipart/*",
    "multipart/mixed",
    "multipart/form-data",
    "multipart/byteranges",
    "multipart/alternative",
    "application/*",
    "application/java-vm",
    "application/x-www-form-urlencoded",
    "application/x-hdmlc",
    "application/vnd.wap.wmlc",
    "application/vnd.wap.wmlscriptc",
    "application/vnd.wap.wta-eventc",
    "application/vnd.wap.uaprof",
    "application/vnd.wap.wtls-ca-certificate",
    "application/vnd.wap.wtls-user-certificate",
    "application/x-x509-ca-cert",
    "application/x-x509-user-cert",
    "image/*",
    "image/gif",
    "image/jpeg",
    "image/tiff",
    "image/png",
    "image/vnd.wap.wbmp",
    "application/vnd.wap.multipart.*",
    "application/vnd.wap.multipart.mixed",
    "application/vnd.wap.multipart.form-data",
    "application/vnd.wap.multipart.byteranges",
    "application/vnd.wap.multipart.alternative",
    "application/xml",
    "text/xml",
    "application/vnd.wap.wbxml",
    "application/x-x968-cross-cert",
    "application/x-x968-ca-cert",
    "application/x-x968-user-cert",
    "text/vnd.wap.si",
    "application/vnd.wap.sic",
    "text/vnd.wap.sl",
    "application/vnd.wap.slc",
    "text/vnd.wap.co",
    "application/vnd.wap.coc",
    "application/vnd.wap.multipart.related",
    "application/vnd.wap.sia",
    "text/vnd.wap.connectivity-xml",
    "application/vnd.wap.connectivity-wbxml",
    "application/pkcs7-mime",
    "application/vnd.wap.hashed-certificate",
    "application/vnd.wap.signed-certificate",
    "application/vnd.wap.cert-response",
    "application/xhtml+xml",
    "application/wml+xml",
    "text/css",
    "application/vnd.wap.mms-message",
};
const int kMediaTypeCount = int(sizeof(kMediaTypes) / sizeof(kMediaTypes[0]));
} // namespace

namespace Wsp {

QByteArray mediaTypeName(int code)
{
    if (code < 0 || code >= kMediaTypeCount)
        return QByteArray();
    return QByteArray(kMediaTypes[code]);
}

int mediaTypeCode(const QByteArray &name)
{
    for (int i = 0; i < kMediaTypeCount; ++i) {
        if (qstricmp(kMediaTypes[i], name.constData()) == 0)
            return i;
    }
    return -1;
}

QString charsetName(int mib)
{
    switch (mib) {
    case CharsetUsAscii:
        return QStringLiteral("us-ascii");
    case CharsetLatin1:
        return QStringLiteral("iso-8859-1");
    case CharsetUtf8:
        return QStringLiteral("utf-8");
    default:
        return QString::number(mib);
    }
}

int charsetMib(const QByteArray &name)
{
    QByteArray n = name.toLower();
    if (n == "us-ascii")
        return CharsetUsAscii;
    if (n == "iso-8859-1")
        return CharsetLatin1;
    if (n == "utf-8")
        return CharsetUtf8;
    bool ok = false;
    int mib = n.toInt(&ok);
    return ok ? mib : -1;
}

QString decodeText(const QByteArray &text, int mib)
{
    if (mib == CharsetLatin1)
        return QString::fromLatin1(text);
    if (mib != 0 && mib != CharsetUsAscii && mib != CharsetUtf8) {
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        if (QTextCodec *codec = QTextCodec::codecForMib(mib))
            return codec->toUnicode(text);
#else
        // Qt 6 has no QTextCodec without Core5Compat; of the IANA charsets it
        // decodes the Unicode ones, which is what phones send besides UTF-8.
        const char *name = mib == 1015 ? "UTF-16"
            : mib == 1013              ? "UTF-16BE"
            : mib == 1014              ? "UTF-16LE"
                                       : nullptr;
        if (name) {
            QStringDecoder decoder(name);
            return decoder(text);
        }
#endif
    }
    return QString::fromUtf8(text);
}

} // namespace Wsp
