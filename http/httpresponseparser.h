#ifndef HTTPRESPONSEPARSER_H
#define HTTPRESPONSEPARSER_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include "qhttpresponseheader.h"

// Parses one HTTP/1.x response from bytes as they arrive, with no socket of
// its own: bytes go in through feed(), the final header and the body pieces
// come out through the handler, the end of the stream goes in through
// finish(). Interim (1xx) responses are skipped. Body pieces point into the
// fed bytes, so the body is never copied here.
//
// It trusts nothing: status line plus headers are limited to 64 KiB and 100
// fields, chunk-size lines to 1 KiB, and malformed or contradictory framing
// is an error, never a guess.
class HttpResponseParser
{
public:
    enum Error { NoError, UnexpectedClose, InvalidHeader, WrongContentLength };
    enum BodyKind { NoBody, LengthBody, ChunkedBody, CloseDelimitedBody };

    static const int MaxHeadSize = 64 * 1024;
    static const int MaxFields = 100;
    static const int MaxChunkLine = 1024;

    class Handler
    {
    public:
        virtual ~Handler();
        // Return false to stop parsing at once (feed() then returns).
        virtual bool headerReceived(const QHttpResponseHeader &header) = 0;
        virtual bool bodyReceived(const char *data, qint64 size) = 0;
    };

    explicit HttpResponseParser(Handler *handler = nullptr);

    // Starts a new response. bodyAllowed is false for the answer to HEAD.
    void reset(bool bodyAllowed = true);
    // Consumes bytes until the response is complete, an error occurs or the
    // handler stops it; returns how many were consumed. Bytes after the end of
    // the response are left unconsumed.
    qint64 feed(const char *data, qint64 size);
    // The peer closed the connection: completes a close-delimited body, any
    // other unfinished response is an error.
    void finish();

    bool isComplete() const { return m_state == Done; }
    bool hasError() const { return m_error != NoError; }
    Error error() const { return m_error; }
    QString errorString() const { return m_errorString; }
    BodyKind bodyKind() const { return m_bodyKind; }
    qint64 contentLength() const { return m_contentLength; } // -1 when not known
    qint64 bodyBytes() const { return m_bodyBytes; }
    qint64 bytesReceived() const { return m_bytesReceived; }
    // The server lets the connection be used for another request.
    bool keepAlive() const { return m_keepAlive; }

private:
    enum State {
        StatusLine,
        Headers,
        Body,
        ChunkSize,
        ChunkData,
        ChunkDataCR,
        ChunkDataLF,
        Trailers,
        UntilClose,
        Done,
        Failed
    };

    qint64 takeLine(const char *data, qint64 size, int limit, bool *haveLine);
    bool headLine(const QByteArray &line);
    bool statusLine(const QByteArray &line);
    bool headerField(const QByteArray &line);
    bool endOfHead();
    bool chunkSizeLine(const QByteArray &line);
    bool trailerLine(const QByteArray &line);
    void fail(Error error, const char *why);

    Handler *m_handler;
    State m_state = StatusLine;
    Error m_error = NoError;
    QString m_errorString;
    bool m_bodyAllowed = true;
    bool m_stopped = false;

    QByteArray m_line;
    int m_headBytes = 0; // status lines and fields of this exchange, interim responses included
    int m_fieldCount = 0;
    QList<QPair<QString, QString>> m_fields;
    QHttpResponseHeader m_header;

    BodyKind m_bodyKind = NoBody;
    qint64 m_contentLength = -1;
    qint64 m_remaining = 0;
    qint64 m_bodyBytes = 0;
    qint64 m_bytesReceived = 0;
    bool m_keepAlive = false;
};

#endif // HTTPRESPONSEPARSER_H
