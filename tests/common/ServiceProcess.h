#pragma once
// The tovistats-service program as a real process for the tests: its own data folder, a port of
// its own (it is started with --port 0 and says which it took), the server code QX1 registered;
// and plain HTTP/1.1 requests to it over a socket.
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>

namespace tovi::testing {

struct Reply {
    int status = 0;                        // 0: no answer, the connection was cut
    QMap<QByteArray, QByteArray> headers;  // names in small letters
    QByteArray body;
};

inline Reply Parse(const QByteArray& raw) {
    Reply reply;
    const qsizetype headEnd = raw.indexOf("\r\n\r\n");
    if (headEnd < 0) return reply;
    const QList<QByteArray> lines = raw.left(headEnd).split('\n');
    reply.status = lines.value(0).split(' ').value(1).toInt();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            reply.headers[lines[i].left(colon).trimmed().toLower()] = lines[i].mid(colon + 1).trimmed();
    }
    reply.body = raw.mid(headEnd + 4);
    return reply;
}

class StatsServiceProcess {
public:
    explicit StatsServiceProcess(const QStringList& extraArguments = {}) {
        Run({"--add-server", "QX1"});
        m_process.setProgram(QStringLiteral(TOVI_SERVICE_PATH));
        m_process.setArguments(QStringList{"--data-dir", m_dir.path(), "--port", "0"} + extraArguments);
        m_process.start();
        QRegularExpression listening(QStringLiteral("Listening on http://127\\.0\\.0\\.1:(\\d+)/"));
        QByteArray out;
        while (m_process.waitForReadyRead(10000)) {
            out += m_process.readAllStandardOutput();
            const auto match = listening.match(QString::fromLatin1(out));
            if (match.hasMatch()) {
                port = match.captured(1).toUShort();
                break;
            }
        }
    }
    ~StatsServiceProcess() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    QByteArray Run(const QStringList& arguments, int* exitCode = nullptr) {
        QProcess run;
        run.start(QStringLiteral(TOVI_SERVICE_PATH), QStringList{"--data-dir", m_dir.path()} + arguments);
        run.waitForFinished();
        if (exitCode) *exitCode = run.exitCode();
        return run.readAllStandardOutput();
    }
    Reply Send(const QByteArray& request) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000)) return {};
        socket.write(request);
        // The service may keep the connection open: the answer ends where its length says.
        QByteArray raw;
        auto complete = [&raw] {
            const Reply reply = Parse(raw);
            return reply.status != 0 &&
                   reply.body.size() >= reply.headers.value("content-length").toLongLong();
        };
        while (!complete() && socket.state() == QAbstractSocket::ConnectedState &&
               socket.waitForReadyRead(10000))
            raw += socket.readAll();
        raw += socket.readAll();
        return Parse(raw);
    }
    Reply Post(const char* path, const QByteArray& body, const QByteArray& extraHeaders = {}) {
        return Send("POST " + QByteArray(path) +
                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                    "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\n" + extraHeaders + "\r\n" + body);
    }
    Reply Get(const QByteArray& target) {
        return Send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    }
    // Sends `head` and then up to `bodyBytes` of body; answers whether the service cut the
    // connection before all of it went, without answering.
    bool CutWhileSending(const QByteArray& head, qint64 bodyBytes) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000)) return false;
        socket.write(head);
        const QByteArray chunk(64 * 1024, 'A');
        for (qint64 sent = 0; sent < bodyBytes; sent += chunk.size()) {
            if (socket.write(chunk) < 0) break;
            if (!socket.waitForBytesWritten(5000)) break;
        }
        while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(5000)) {
        }
        return socket.state() != QAbstractSocket::ConnectedState && Parse(socket.readAll()).status == 0;
    }
    QString DatabasePath() const { return m_dir.filePath(QStringLiteral("tovistats-service.db")); }
    QProcess& Process() { return m_process; }

    quint16 port = 0;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

}  // namespace tovi::testing
