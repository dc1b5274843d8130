#ifndef REQUESTPROFILE_P_H
#define REQUESTPROFILE_P_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// What ~/.mms/profile.conf asks of one MMS request, checked, for the request
// builders of all four transfer classes (one read of the file per request):
//
//   user_agent, profile_url   the identity values (MmsUAProf's rules)
//   uaprof_header             name of the field that carries profile_url
//                             (default "x-wap-profile")
//   [headers]                 further fields, name=value, in file order
//   connection_close          true: "Connection: close", no reuse
//
// A name must be an HTTP token and a value free of CR, LF and NUL; the fields
// the library or the HTTP client own (Host, Content-Length, Content-Type,
// Transfer-Encoding, Connection) cannot be set. Anything refused is left out
// with a warning (a refused uaprof_header gives the default name), and the
// request goes on. An empty value means no field, as for the identity values.
struct RequestProfile
{
    QString userAgent; // as sent in User-Agent; empty: none
    QString profileUrl; // as sent in the UAProf field; empty: none
    bool connectionClose = false;
    // In the order they go out: User-Agent, the UAProf field, [headers],
    // Connection. One per name (case-insensitive): a later one replaces an
    // earlier in its place. Values go out as Latin-1.
    QList<QPair<QByteArray, QString>> fields;

    static RequestProfile current();
    // The identity values on the debug log, once per request.
    void debugIdentity() const;
};

#endif // REQUESTPROFILE_P_H
