#include "httpresponseparser.h"

#include "httpsyntax.h"

#include <cstring>
#include <limits>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray trimmedBlanks(const QByteArray &s)
{
    int from = 0, to = s.size();
    while (from < to && isBlank(s.at(from)))
        ++from;
    while (to > from && isBlank(s.at(to - 1)))
        --to;
    return s.mid(from, to - from);
}

// Comma-separated list items of every field named key, trimmed, lower case.
QList<QByteArray> listItems(const QList<QPair<QString, QString>> &fields, const char *key)
{
    QList<QByteArray> out;
    for (const auto &field : fields) {
        if (field.first.compare(QLatin1String(key), Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArray &item : field.second.toLatin1().split(',')) {
            const QByteArray t = trimmedBlanks(item).toLower();
            if (!t.isEmpty())
                out << t;
        }
    }
    return out;
}

} // namespace

HttpResponseParser::Handler::~Handler() = default;

HttpResponseParser::HttpResponseParser(Handler *handler)
    : m_handler(handler)
{
}

void HttpResponseParser::reset(bool bodyAllowed)
{
    m_state = StatusLine;
    m_error = NoError;
    m_errorString.clear();
    m_bodyAllowed = bodyAllowed;
    m_stopped = false;
    m_line.clear();
    m_headBytes = 0;
    m_fieldCount = 0;
    m_fields.clear();
    m_header = QHttpResponseHeader();
    m_bodyKind = NoBody;
    m_contentLength = -1;
    m_remaining = 0;
    m_bodyBytes = 0;
    m_bytesReceived = 0;
    m_keepAlive = false;
}

void HttpResponseParser::fail(Error error, const char *why)
{
    m_state = Failed;
    m_error = error;
    m_errorString = QString::fromLatin1(why);
}

// Appends bytes up to and including the next LF to m_line, refusing to grow
// it past limit. Returns the bytes taken, or -1 when the line is too long.
// A complete line is left in m_line without its CR LF or LF.
qint64 HttpResponseParser::takeLine(const char *data, qint64 size, int limit, bool *haveLine)
{
    const char *lf = static_cast<const char *>(std::memchr(data, '\n', size_t(size)));
    const qint64 n = lf ? (lf - data) + 1 : size;
    *haveLine = false;
    if (n > limit)
        return -1;
    m_line.append(data, int(n));
    if (lf) {
        *haveLine = true;
        m_line.chop(1);
        if (m_line.endsWith('\r'))
            m_line.chop(1);
    }
    return n;
}

qint64 HttpResponseParser::feed(const char *data, qint64 size)
{
    qint64 pos = 0;
    m_stopped = false;
    while (pos < size && !m_stopped && m_state != Done && m_state != Failed) {
        const char *p = data + pos;
        const qint64 avail = size - pos;
        switch (m_state) {
        case StatusLine:
        case Headers:
        case Trailers:
        case ChunkSize: {
            const bool chunkLine = m_state == ChunkSize;
            const int limit = chunkLine ? MaxChunkLine - m_line.size() : MaxHeadSize - m_headBytes;
            bool haveLine;
            const qint64 n = takeLine(p, avail, limit, &haveLine);
            if (n < 0) {
                fail(InvalidHeader, chunkLine ? "chunk-size line too long" : "response header too large");
                break;
            }
            pos += n;
            if (!chunkLine)
                m_headBytes += int(n);
            if (!haveLine)
                break;
            const QByteArray line = m_line;
            m_line.clear();
            if (m_state == ChunkSize)
                chunkSizeLine(line);
            else if (m_state == Trailers)
                trailerLine(line);
            else
                headLine(line);
            break;
        }
        case Body:
        case ChunkData:
        case UntilClose: {
            const qint64 n = m_state == UntilClose ? avail : qMin(avail, m_remaining);
            pos += n;
            m_bodyBytes += n;
            m_remaining -= n;
            if (m_state == Body && m_remaining == 0)
                m_state = Done;
            else if (m_state == ChunkData && m_remaining == 0)
                m_state = ChunkDataCR;
            if (m_handler && !m_handler->bodyReceived(p, n))
                m_stopped = true;
            break;
        }
        case ChunkDataCR:
        case ChunkDataLF:
            if (*p == '\r' && m_state == ChunkDataCR) {
                m_state = ChunkDataLF;
            } else if (*p == '\n') {
                m_state = ChunkSize;
            } else {
                fail(InvalidHeader, "chunk data not followed by a line end");
                break;
            }
            ++pos;
            break;
        case Done:
        case Failed:
            break;
        }
    }
    m_bytesReceived += pos;
    return pos;
}

void HttpResponseParser::finish()
{
    switch (m_state) {
    case Done:
    case Failed:
        break;
    case UntilClose:
        m_state = Done;
        break;
    case StatusLine:
    case Headers:
        fail(UnexpectedClose, "connection closed before the response header was complete");
        break;
    default:
        fail(WrongContentLength, "connection closed before the response body was complete");
        break;
    }
}

bool HttpResponseParser::headLine(const QByteArray &line)
{
    if (HttpSyntax::hasLineBreakOrNul(line)) {
        fail(InvalidHeader, "control character in the response header");
        return false;
    }
    if (m_state == StatusLine)
        return line.isEmpty() || statusLine(line); // blank lines before a status line are tolerated
    if (line.isEmpty())
        return endOfHead();
    if (isBlank(line.at(0))) {
        // Folded continuation of the previous field.
        if (m_fields.isEmpty()) {
            fail(InvalidHeader, "continuation line without a field");
            return false;
        }
        const QByteArray more = trimmedBlanks(line);
        if (!more.isEmpty()) {
            QString &value = m_fields.last().second;
            if (!value.isEmpty())
                value += QLatin1Char(' ');
            value += QString::fromLatin1(more);
        }
        return true;
    }
    return headerField(line);
}

bool HttpResponseParser::statusLine(const QByteArray &line)
{
    // HTTP/<digit>.<digit> <3 digits>[ <reason>]
    const char *s = line.constData();
    const int n = line.size();
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (n < 12 || std::strncmp(s, "HTTP/1.", 7) != 0 || !digit(s[7]) || s[8] != ' ') {
        fail(InvalidHeader, "malformed status line");
        return false;
    }
    int i = 8;
    while (i < n && s[i] == ' ')
        ++i;
    if (i + 3 > n || !digit(s[i]) || !digit(s[i + 1]) || !digit(s[i + 2]) || s[i] == '0'
        || (i + 3 < n && s[i + 3] != ' ')) {
        fail(InvalidHeader, "malformed status code");
        return false;
    }
    const int code = (s[i] - '0') * 100 + (s[i + 1] - '0') * 10 + (s[i + 2] - '0');
    const QString reason = QString::fromLatin1(trimmedBlanks(line.mid(i + 3)));
    m_header.setStatusLine(code, reason, 1, s[7] - '0');
    m_fields.clear();
    m_fieldCount = 0;
    m_state = Headers;
    return true;
}

bool HttpResponseParser::headerField(const QByteArray &line)
{
    const int colon = line.indexOf(':');
    if (colon <= 0) {
        fail(InvalidHeader, "malformed header field");
        return false;
    }
    if (!HttpSyntax::isToken(QByteArray::fromRawData(line.constData(), colon))) {
        fail(InvalidHeader, "malformed header field name");
        return false;
    }
    if (++m_fieldCount > MaxFields) {
        fail(InvalidHeader, "too many header fields");
        return false;
    }
    m_fields.append(qMakePair(QString::fromLatin1(line.constData(), colon),
        QString::fromLatin1(trimmedBlanks(line.mid(colon + 1)))));
    return true;
}

bool HttpResponseParser::endOfHead()
{
    const int code = m_header.statusCode();
    if (code < 200) {
        // Interim response: the real one follows. Its bytes stay counted, so
        // an endless stream of them still hits the header limit.
        m_state = StatusLine;
        m_fields.clear();
        return true;
    }
    m_header.setValues(m_fields);

    // Content-Length: plain digits; several values must all agree.
    qint64 length = -1;
    for (const QByteArray &item : listItems(m_fields, "content-length")) {
        qint64 v = 0;
        for (char c : item) {
            if (c < '0' || c > '9' || v > (std::numeric_limits<qint64>::max() - 9) / 10) {
                fail(InvalidHeader, "invalid Content-Length");
                return false;
            }
            v = v * 10 + (c - '0');
        }
        if (length >= 0 && v != length) {
            fail(InvalidHeader, "conflicting Content-Length values");
            return false;
        }
        length = v;
    }
    for (const auto &field : m_fields) {
        if (field.first.compare(QLatin1String("content-length"), Qt::CaseInsensitive) == 0
            && field.second.trimmed().isEmpty()) {
            fail(InvalidHeader, "empty Content-Length");
            return false;
        }
    }

    QList<QByteArray> codings = listItems(m_fields, "transfer-encoding");
    codings.removeAll("identity");

    if (!m_bodyAllowed || code == 204 || code == 304) {
        m_bodyKind = NoBody;
    } else if (!codings.isEmpty()) {
        // A transfer coding overrides Content-Length; one that does not end
        // in chunked leaves only the close of the connection as the end.
        m_bodyKind = codings.last() == "chunked" ? ChunkedBody : CloseDelimitedBody;
    } else if (length >= 0) {
        m_bodyKind = LengthBody;
        m_contentLength = length;
        m_remaining = length;
    } else {
        m_bodyKind = CloseDelimitedBody;
    }

    const QList<QByteArray> connection = listItems(m_fields, "connection");
    if (m_header.minorVersion() >= 1)
        m_keepAlive = !connection.contains("close");
    else
        m_keepAlive = connection.contains("keep-alive") && !connection.contains("close");
    if (m_bodyKind == CloseDelimitedBody)
        m_keepAlive = false;

    switch (m_bodyKind) {
    case NoBody:
        m_state = Done;
        break;
    case LengthBody:
        m_state = length == 0 ? Done : Body;
        break;
    case ChunkedBody:
        m_state = ChunkSize;
        break;
    case CloseDelimitedBody:
        m_state = UntilClose;
        break;
    }
    if (m_handler && !m_handler->headerReceived(m_header))
        m_stopped = true;
    return true;
}

bool HttpResponseParser::chunkSizeLine(const QByteArray &line)
{
    const int semicolon = line.indexOf(';');
    const QByteArray digits = trimmedBlanks(semicolon < 0 ? line : line.left(semicolon));
    if (digits.isEmpty()) {
        fail(InvalidHeader, "malformed chunk-size line");
        return false;
    }
    qint64 size = 0;
    for (char c : digits) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else {
            fail(InvalidHeader, "malformed chunk size");
            return false;
        }
        if (size > (std::numeric_limits<qint64>::max() >> 4)) {
            fail(InvalidHeader, "chunk size too large");
            return false;
        }
        size = (size << 4) | v;
    }
    if (size == 0) {
        // Trailer fields get a header budget of their own.
        m_state = Trailers;
        m_headBytes = 0;
        m_fieldCount = 0;
    } else {
        m_state = ChunkData;
        m_remaining = size;
    }
    return true;
}

// Trailer fields are checked for form and limits, then dropped: nothing in
// this library needs them.
bool HttpResponseParser::trailerLine(const QByteArray &line)
{
    if (line.isEmpty()) {
        m_state = Done;
        return true;
    }
    if (HttpSyntax::hasLineBreakOrNul(line)) {
        fail(InvalidHeader, "control character in a trailer");
        return false;
    }
    if (isBlank(line.at(0)))
        return true;
    if (line.indexOf(':') <= 0) {
        fail(InvalidHeader, "malformed trailer field");
        return false;
    }
    if (++m_fieldCount > MaxFields) {
        fail(InvalidHeader, "too many trailer fields");
        return false;
    }
    return true;
}
