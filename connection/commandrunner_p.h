#ifndef COMMANDRUNNER_P_H
#define COMMANDRUNNER_P_H

#include <QString>
#include <QStringList>

// Runs `program` with `arguments` as its argument list (no shell), its input
// and output on /dev/null, and blocks the calling thread until it has ended
// or `timeoutMs` have passed. Returns its exit code, or -1 when it could not
// be started, died from a signal, or was still running at the limit (it is
// then killed and reaped): such a run configured nothing.
//
// The child is spawned without copying this process's address space, which
// in a large Qt process costs more than the program's own run.
int runProgram(const QString &program, const QStringList &arguments, int timeoutMs);

#endif // COMMANDRUNNER_P_H
