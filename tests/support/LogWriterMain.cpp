// Appends COUNT error-log lines tagged with ID, for the cross-process test.
#include "core/ErrorLog.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const QString id = QString::fromLatin1(argv[1]);
    const int count = QString::fromLatin1(argv[2]).toInt();
    const QString payload(200, QLatin1Char('x'));
    for (int i = 0; i < count; ++i)
        WriteErrorLog(i, id + QLatin1Char(':') + QString::number(i) + QLatin1Char(':') + payload, QStringLiteral(" LogWriter main"));
    return 0;
}
