#ifndef WSPTABLES_H
#define WSPTABLES_H

#include <QByteArray>
#include <QString>

// Assigned numbers of WSP and of the MMS encapsulation that the codec uses.
namespace Wsp {

enum Charset { CharsetUsAscii = 3, CharsetLatin1 = 4, CharsetUtf8 = 106 };

// Well-known parameter tokens of the 1.1 encoding, which every MMS reader
// understands; 1.4 added aliases that are decoded too.
enum Parameter {
    ParamQ = 0x00,
    ParamCharset = 0x01,
    ParamLevel = 0x02,
    ParamType = 0x03,
    ParamName = 0x05,
    ParamFilename = 0x06,
    ParamRelatedType = 0x09,
    ParamStart = 0x0a,
    ParamStartInfo = 0x0b,
    ParamName14 = 0x17,
    ParamFilename14 = 0x18,
    ParamStart14 = 0x19,
    ParamStartInfo14 = 0x1a
};

// Header fields inside a multipart entry.
enum PartHeader { PartContentLocation = 0x0e, PartContentId = 0x40 };

// Media type of a well-known content-type code; empty when unassigned.
QByteArray mediaTypeName(int code);
// Well-known code of a media type (case-insensitive); -1 when it has none.
int mediaTypeCode(const QByteArray &name);

QString charsetName(int mib);
int charsetMib(const QByteArray &name);
QString decodeText(const QByteArray &text, int mib);

} // namespace Wsp

#endif // WSPTABLES_H
