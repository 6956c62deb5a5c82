// Placeholder until the companion program is built: says so and ends.
#include "app/ErrorLog.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString name = QCoreApplication::applicationName();
    AppendLogLine(name + QStringLiteral(".log"), name.toLower(), LogTimestamp() + QStringLiteral(" not built yet; ending"));
    QTextStream(stderr) << name << ": not built yet\n";
    return 3;
}
