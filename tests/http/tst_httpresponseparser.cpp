// The response parser on its own: bytes in, events out.
#include <QtTest>

#include "httpresponseparser.h"

class TestHttpResponseParser : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void placeholder() {}
};

QTEST_GUILESS_MAIN(TestHttpResponseParser)
#include "tst_httpresponseparser.moc"
