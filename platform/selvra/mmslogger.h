#ifndef MMSLOGGER_H
#define MMSLOGGER_H

// Logging switch of the handset's MMS stack. Diagnostic lines of libtarnex are
// written only while qdebugEnabled is set; it is read before each line.
class MMSLogger
{
public:
    static bool qdebugEnabled;
};

#endif // MMSLOGGER_H
