#include "transfer/MediaPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

bool IsValidUid(const QString &uid)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    return uid.size() <= 64 && pattern.match(uid).hasMatch();
}

namespace {

// "IM0001;1" and "IM0001." as written by other media makers, compared as "im0001".
QString mediaName(QString name)
{
    static const QRegularExpression version(QStringLiteral(";[0-9]*$"));
    name.remove(version);
    while (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name.toCaseFolded();
}

} // namespace

QString ResolveReferencedFile(const QString &directoryFolder, const QStringList &components, Result *error)
{
    Result scratch;
    Result &failure = error ? *error : scratch;
    failure = {};
    auto refuse = [&failure](QString why) { failure = Result::failure(ErrorCode::FileNotFound, std::move(why)); };
    QString path = directoryFolder;
    bool any = false;
    for (const QString &raw : components) {
        const QString component = raw.trimmed();
        if (component.isEmpty())
            continue;
        const QString wanted = mediaName(component);
        if (component.contains(QLatin1Char('/')) || component.contains(QLatin1Char(':')) || wanted.isEmpty() || wanted == QLatin1String(".")
            || wanted == QLatin1String("..") || QDir::isAbsolutePath(component)) {
            refuse(QStringLiteral("refused: \"%1\" leaves the medium's folder").arg(components.join(QLatin1Char('\\'))));
            return {};
        }
        QString found;
        const QString exact = path + QLatin1Char('/') + component;
        if (QFileInfo::exists(exact)) {
            found = component;
        } else {
            const QStringList names = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
            for (const QString &name : names)
                if (mediaName(name) == wanted) {
                    found = name;
                    break;
                }
        }
        if (found.isEmpty()) {
            refuse(QStringLiteral("%1: no such file").arg(exact));
            return {};
        }
        path += QLatin1Char('/') + found;
        any = true;
    }
    if (!any || !QFileInfo(path).isFile()) {
        refuse(any ? QStringLiteral("%1: not a file").arg(path) : QStringLiteral("empty Referenced File ID"));
        return {};
    }
    // A symbolic link, at the end or mid-path, may lead off the medium as ".." would.
    const QString root = QFileInfo(directoryFolder).canonicalFilePath();
    const QString real = QFileInfo(path).canonicalFilePath();
    if (root.isEmpty() || real.isEmpty() || !real.startsWith(root == QLatin1String("/") ? root : root + QLatin1Char('/'))) {
        refuse(QStringLiteral("refused: \"%1\" leads to %2, outside the medium's folder %3")
                      .arg(components.join(QLatin1Char('\\')), real.isEmpty() ? path : real, root.isEmpty() ? directoryFolder : root));
        return {};
    }
    return real;
}
