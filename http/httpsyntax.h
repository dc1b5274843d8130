#ifndef HTTPSYNTAX_H
#define HTTPSYNTAX_H

#include <QByteArray>
#include <QString>

// The pieces of HTTP/1.1 syntax that the request writer, the response parser
// and the settings checks all need, kept in one place so that what one of
// them lets through the others read the same way.
namespace HttpSyntax {

// A method or field name: a token (RFC 9110), so nothing that could end the
// line or split the field.
bool isToken(const QByteArray &s);

// A CR, LF or NUL in a field value would end the line early.
bool hasLineBreakOrNul(const QString &s);
bool hasLineBreakOrNul(const QByteArray &s);

// A host name or address literal that can stand in a Host field and in an
// absolute URL without changing either's structure.
bool isValidHost(const QString &host);

// The host as it is written in a Host field or a URL's authority: an IPv6
// literal in brackets, or its colons would read as a port.
QString hostForUrl(const QString &host);

} // namespace HttpSyntax

#endif // HTTPSYNTAX_H
